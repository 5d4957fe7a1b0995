#include "platform/posix/anchors/handed_out_set.h"

#include <functional>
#include <string_view>

namespace tkv {

uint32_t HandedOutSet::KeyOf(const std::vector<BYTE>& der) {
  const size_t hash = std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
  return static_cast<uint32_t>(static_cast<uint64_t>(hash) ^ (static_cast<uint64_t>(hash) >> 32));
}

void HandedOutSet::Clear(size_t expected) {
  size_t size = 16;
  while (size * 3 < expected * 4) size *= 2;
  slots_.assign(size, 0);
  count_ = 0;
}

void HandedOutSet::Record(uint32_t key, size_t file) {
  if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
  // A listing of 2^32 files would not fit in memory: the index always does.
  Put(static_cast<uint64_t>(key) << 32 | static_cast<uint32_t>(file + 1));
}

void HandedOutSet::Put(uint64_t slot) {
  const size_t mask = slots_.size() - 1;
  size_t i = static_cast<uint32_t>(slot >> 32) & mask;
  while (slots_[i] != 0) i = (i + 1) & mask;
  slots_[i] = slot;
  ++count_;
}

void HandedOutSet::Grow() {
  std::vector<uint64_t> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 16 : old.size() * 2, 0);
  count_ = 0;
  for (const uint64_t slot : old) {
    if (slot != 0) Put(slot);
  }
}

}  // namespace tkv
