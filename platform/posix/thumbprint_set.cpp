#include "platform/posix/thumbprint_set.h"

#include <openssl/sha.h>

#include <cstring>

namespace tkv {

void ThumbprintSet::Clear(size_t expected) {
  size_t size = 16;
  while (size < expected * 2) size *= 2;
  slots_.assign(size, 0);
  count_ = 0;
}

bool ThumbprintSet::Insert(const std::vector<BYTE>& der) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(der.data(), der.size(), digest);
  uint64_t key = 0;
  memcpy(&key, digest, sizeof key);
  if (key == 0) key = 1;  // 0 marks an empty slot
  if ((count_ + 1) * 2 > slots_.size()) Grow();
  return InsertKey(key);
}

bool ThumbprintSet::InsertKey(uint64_t key) {
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(key) & mask;; i = (i + 1) & mask) {
    if (slots_[i] == key) return false;
    if (slots_[i] == 0) {
      slots_[i] = key;
      ++count_;
      return true;
    }
  }
}

void ThumbprintSet::Grow() {
  std::vector<uint64_t> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
  count_ = 0;
  for (const uint64_t key : old) {
    if (key != 0) InsertKey(key);
  }
}

}  // namespace tkv
