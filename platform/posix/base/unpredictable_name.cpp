#include "platform/posix/base/unpredictable_name.h"

#include <openssl/crypto.h>
#include <sys/random.h>
#include <sys/types.h>

namespace tkv {

std::string UnpredictableHex() {
  unsigned char random[12];
  // The kernel's generator: OpenSSL's would first seed itself, which costs
  // more than the rest of an install.
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return "";
  char text[sizeof random * 2 + 1];
  size_t length = 0;
  if (OPENSSL_buf2hexstr_ex(text, sizeof text, &length, random, sizeof random, '\0') != 1) {
    return "";
  }
  return text;
}

}  // namespace tkv
