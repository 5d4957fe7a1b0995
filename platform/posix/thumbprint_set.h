// The certificates an enumeration has handed out, by thumbprint, so that a
// certificate kept in several files is one entry of the store. Eight bytes a
// certificate (the first 64 bits of its SHA-1, a chance of about 1 in 10^9
// of a false match among 100,000 distinct certificates), so that a scan's
// memory stays close to its listing's.
#ifndef TKVCERT_PLATFORM_POSIX_THUMBPRINT_SET_H_
#define TKVCERT_PLATFORM_POSIX_THUMBPRINT_SET_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

class ThumbprintSet {
 public:
  void Clear(size_t expected);
  // False when the certificate was inserted before.
  bool Insert(const std::vector<BYTE>& der);

 private:
  void Grow();
  bool InsertKey(uint64_t key);

  std::vector<uint64_t> slots_;  // open addressing; 0 marks an empty slot
  size_t count_ = 0;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_THUMBPRINT_SET_H_
