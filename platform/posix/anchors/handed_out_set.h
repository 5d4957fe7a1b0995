// The certificates an enumeration has handed out, so that a certificate kept
// in several files is one entry of the store, as in a store keyed by
// thumbprint: the first copy stands for the rest.
//
// Eight bytes a certificate, so that a scan's memory stays close to its
// listing's: a 32-bit key, from the standard library's hash of its DER, and
// the index of the file it was read from. Equal keys only make candidates;
// the enumeration then compares the certificates byte for byte, reading the
// earlier file again. So two distinct certificates are never taken for one,
// and no certificate is run through SHA-1 just to be counted: a scan hashes
// each certificate in a fraction of the time that takes. Among 100,000
// distinct certificates, keys meet by chance a few times, each costing one
// file read.
#ifndef TKVCERT_PLATFORM_POSIX_HANDED_OUT_SET_H_
#define TKVCERT_PLATFORM_POSIX_HANDED_OUT_SET_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

class HandedOutSet {
 public:
  static uint32_t KeyOf(const std::vector<BYTE>& der);

  void Clear(size_t expected);
  void Record(uint32_t key, size_t file);

  // Calls `same(file)` for the file of each certificate recorded with `key`
  // until it returns true: whether one did.
  template <typename Same>
  bool AnyCandidate(uint32_t key, Same same) const {
    if (slots_.empty()) return false;
    const size_t mask = slots_.size() - 1;
    for (size_t i = key & mask; slots_[i] != 0; i = (i + 1) & mask) {
      if (static_cast<uint32_t>(slots_[i] >> 32) == key &&
          same(static_cast<size_t>(static_cast<uint32_t>(slots_[i]) - 1))) {
        return true;
      }
    }
    return false;
  }

 private:
  void Grow();
  void Put(uint64_t slot);

  // Open addressing: the key in the high half, the file index plus one in
  // the low half, so that 0 marks an empty slot.
  std::vector<uint64_t> slots_;
  size_t count_ = 0;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_HANDED_OUT_SET_H_
