// libcrypto as the tool uses it: without a configuration file. The tool runs
// as root, and the file (OPENSSL_CONF, from the caller's environment, or the
// system's) can change which algorithms answer and load provider modules
// into the process; the tool needs none of it. Linked into the tool itself,
// so that this runs before main and before any libcrypto call.
#include <openssl/crypto.h>

namespace {

const bool kCryptoSetUp = OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;

}  // namespace
