#include "platform/posix/anchors/store_names.h"

#include <algorithm>

#include "platform/posix/anchors/distribution_set.h"
#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/cert/certificate_name.h"

namespace tkv {

void ForEachStoreName(const StoreLocation& location, const std::vector<std::string>& files, size_t first,
                      bool distribution_too, const NamedCertificate& each) {
  const UniqueFd anchors = OpenAnchorsDirectory(location);
  if (!anchors) return;
  std::vector<BYTE> contents;
  std::vector<AnchorBlock> blocks;
  std::wstring name;
  if (distribution_too) {
    std::vector<DistributionCertificate> set;
    ReadDistributionSet(location, /*distrusted_too=*/false, &set);
    for (size_t i = first > files.size() ? first - files.size() : 0; i < set.size(); ++i) {
      if (SimpleDisplayName(set[i].der.data(), set[i].der.size(), &name) == ERROR_SUCCESS) {
        each(name, set[i].der, set[i].file);
      }
    }
  }
  for (size_t i = first; i < files.size(); ++i) {
    const std::string& file = files[i];
    if (ReadAnchorFile(location, anchors.get(), file, &contents) != ERROR_SUCCESS) continue;
    ParseAnchorFile(contents.data(), contents.size(), &blocks);
    for (const AnchorBlock& block : blocks) {
      if (!block.decoded ||
          SimpleDisplayName(block.der.data(), block.der.size(), &name) != ERROR_SUCCESS) {
        continue;
      }
      each(name, block.der, file);
    }
  }
}

namespace {

bool IsAsciiSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

// The name as a person reads it: ASCII letters in one case (the locale
// plays no part), white space trimmed and each run of it one space.
void Fold(const std::wstring& name, std::wstring* out) {
  std::wstring& folded = *out;
  folded.clear();
  bool space = false;
  for (wchar_t c : name) {
    if (IsAsciiSpace(c)) {
      space = !folded.empty();
      continue;
    }
    if (space) folded += L' ';
    space = false;
    folded += (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  }
}

std::wstring Folded(const std::wstring& name) {
  std::wstring folded;
  Fold(name, &folded);
  return folded;
}

// Levenshtein's distance, or `limit` + 1 once it is sure to exceed `limit`.
// What both share at the start and the end costs nothing and is passed over
// first: a store's names often differ only in a number at the end.
size_t EditDistance(const std::wstring& a_whole, const std::wstring& b_whole, size_t limit,
                    std::vector<size_t>* scratch) {
  const wchar_t* a = a_whole.data();
  const wchar_t* b = b_whole.data();
  size_t a_size = a_whole.size();
  size_t b_size = b_whole.size();
  const size_t gap = a_size > b_size ? a_size - b_size : b_size - a_size;
  if (gap > limit) return limit + 1;
  while (a_size > 0 && b_size > 0 && *a == *b) ++a, ++b, --a_size, --b_size;
  while (a_size > 0 && b_size > 0 && a[a_size - 1] == b[b_size - 1]) --a_size, --b_size;
  std::vector<size_t>& row = *scratch;
  row.resize(b_size + 1);
  for (size_t j = 0; j <= b_size; ++j) row[j] = j;
  for (size_t i = 1; i <= a_size; ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    size_t row_best = row[0];
    for (size_t j = 1; j <= b_size; ++j) {
      const size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
      row_best = std::min(row_best, row[j]);
    }
    if (row_best > limit) return limit + 1;
  }
  return row[b_size];
}

}  // namespace

NameSuggestions::NameSuggestions(const std::wstring& sought, size_t most)
    : sought_(sought), folded_(Folded(sought)), most_(most),
      // A slip of a few letters, or of up to half a short name's.
      max_distance_(std::max<size_t>(3, folded_.size() / 2)) {}

void NameSuggestions::Offer(const std::wstring& name) {
  if (name == sought_ || most_ == 0) return;
  Fold(name, &folded_name_);
  const size_t n = folded_.size();
  // A name given unquoted reaches the tool as its first word only.
  const bool affix = n > 0 && folded_name_.size() > n &&
                     (folded_name_.compare(0, n, folded_) == 0 ||
                      folded_name_.compare(folded_name_.size() - n, n, folded_) == 0);
  size_t rank = 0;
  if (folded_name_ != folded_ && affix) {
    rank = 1;
  } else if (folded_name_ != folded_) {
    // Once enough are found, only one as near or nearer counts.
    size_t limit = max_distance_;
    if (best_.size() == most_) {
      if (best_.back().rank < 2) return;
      limit = std::min(limit, best_.back().rank - 2);
    }
    const size_t distance = EditDistance(folded_, folded_name_, limit, &distance_row_);
    if (distance > limit) return;
    rank = 2 + distance;
  }
  Candidate candidate{rank, name};
  if (best_.size() == most_ && !(candidate < best_.back())) return;
  const auto at = std::lower_bound(best_.begin(), best_.end(), candidate);
  if (at != best_.end() && at->name == name) return;  // a twin, or a copy in another file
  best_.insert(at, std::move(candidate));
  if (best_.size() > most_) best_.pop_back();
}

std::vector<std::wstring> NameSuggestions::Closest() const {
  std::vector<std::wstring> names;
  for (const Candidate& candidate : best_) names.push_back(candidate.name);
  return names;
}

}  // namespace tkv
