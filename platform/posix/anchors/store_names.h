// The names of a store's certificates, read quietly: no warning, no context
// handed out, nothing changed. What a run looks at once it has ended, to
// tell the admin which name a removal may have meant.
#ifndef TKVCERT_PLATFORM_POSIX_STORE_NAMES_H_
#define TKVCERT_PLATFORM_POSIX_STORE_NAMES_H_

#include <functional>
#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

// Calls `each` with the simple display name, the DER and the anchor file
// (relative to the anchors directory) of every certificate block in
// `files[first]` and the files after it, as a removal's scan listed them; a
// certificate kept in several files comes once per file. Blocks whose name
// cannot be read are passed over, as the scan passes them. With
// `distribution_too`, the scan's places past the files are those of the
// distribution's certificates that its refresh trusts, and those come too,
// with the file (below the root) that holds each.
using NamedCertificate =
    std::function<void(const std::wstring& name, const std::vector<BYTE>& der, const std::string& file)>;
void ForEachStoreName(const StoreLocation& location, const std::vector<std::string>& files, size_t first,
                      bool distribution_too, const NamedCertificate& each);

// The names nearest to one that matched nothing, for a person to pick from:
// first those that differ only in ASCII case or in white space (runs,
// leading, trailing), then those that begin or end with it (a name given
// unquoted arrives as its first word), then the nearest by edit distance,
// if near enough to be a slip. Offered one at a time, so a large store costs no memory.
class NameSuggestions {
 public:
  NameSuggestions(const std::wstring& sought, size_t most);
  void Offer(const std::wstring& name);
  std::vector<std::wstring> Closest() const;

 private:
  struct Candidate {
    size_t rank;  // 0 for the same letters, 1 for a name it begins or ends, else 2 + the edit distance
    std::wstring name;
    bool operator<(const Candidate& other) const {
      return rank != other.rank ? rank < other.rank : name < other.name;
    }
  };
  std::wstring sought_;
  std::wstring folded_;
  size_t most_;
  size_t max_distance_;
  std::vector<Candidate> best_;  // sorted, at most `most_`
  // Reused from one name to the next: a scan offers every name of the store.
  std::wstring folded_name_;
  std::vector<size_t> distance_row_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_STORE_NAMES_H_
