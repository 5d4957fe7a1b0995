#include "platform/posix/store_names.h"

#include <algorithm>

#include "platform/posix/anchor_format.h"
#include "platform/posix/anchor_listing.h"
#include "platform/posix/certificate_name.h"

namespace tkv {

void ForEachStoreName(const StoreLocation& location, const std::string& first_file,
                      const NamedCertificate& each) {
  const UniqueFd anchors = OpenAnchorsDirectory(location);
  if (!anchors) return;
  std::vector<BYTE> contents;
  std::vector<AnchorBlock> blocks;
  std::wstring name;
  for (const std::string& file : ListAnchorFiles(location, anchors.get())) {
    if (file < first_file) continue;  // the listing is in byte order
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
std::wstring Folded(const std::wstring& name) {
  std::wstring folded;
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
  return folded;
}

// Levenshtein's distance, or `limit` + 1 once it is sure to exceed `limit`.
size_t EditDistance(const std::wstring& a, const std::wstring& b, size_t limit) {
  const size_t gap = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  if (gap > limit) return limit + 1;
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    size_t row_best = row[0];
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
      row_best = std::min(row_best, row[j]);
    }
    if (row_best > limit) return limit + 1;
  }
  return row[b.size()];
}

}  // namespace

NameSuggestions::NameSuggestions(const std::wstring& sought, size_t most)
    : sought_(sought), folded_(Folded(sought)), most_(most),
      // A slip of a few letters, or of up to half a short name's.
      max_distance_(std::max<size_t>(3, folded_.size() / 2)) {}

void NameSuggestions::Offer(const std::wstring& name) {
  if (name == sought_ || most_ == 0) return;
  const std::wstring folded = Folded(name);
  const size_t rank = folded == folded_ ? 0 : 1 + EditDistance(folded_, folded, max_distance_);
  if (rank > max_distance_ + 1) return;
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
