// The distribution's own CA certificates, which its refresh puts in the
// bundle after nothing but its own choice, and the family's own way of
// distrusting one: a "!" before the lines of etc/ca-certificates.conf that
// name it (Debian, Ubuntu, Alpine: both refreshes skip such lines, and
// Debian keeps them across upgrades), or a copy in the blocklist that
// p11-kit's refresh reads (Fedora, Arch, openSUSE). Nothing else is
// changed: an admin's other lines and files stay as they are, byte for byte.
#ifndef TKVCERT_PLATFORM_POSIX_ANCHORS_DISTRIBUTION_SET_H_
#define TKVCERT_PLATFORM_POSIX_ANCHORS_DISTRIBUTION_SET_H_

#include <string>
#include <vector>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/atomic_file.h"
#include "platform/posix/base/unique_fd.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

struct DistributionCertificate {
  std::vector<BYTE> der;
  std::string file;  // below the root
  bool distrusted = false;
};

// The certificates of the distribution's set that its refresh trusts, in
// the order it writes them into the bundle (the conf's order; a p11-kit
// family's files in byte order), each once; with `distrusted_too`, those
// the family distrusts as well, marked. A set that is missing is empty.
// `unread`, when given, gets the set's files (the conf too) that the
// refresh reads and the tool cannot.
DWORD ReadDistributionSet(const StoreLocation& location, bool distrusted_too,
                          std::vector<DistributionCertificate>* set, std::vector<UnreadFile>* unread = nullptr);

// The certificate of the set that is `der`, one the family distrusts too:
// whether the set holds it.
bool FindInDistributionSet(const StoreLocation& location, const std::vector<BYTE>& der,
                           DistributionCertificate* found);

// One file that distrusting a certificate, or trusting it again, writes or
// takes away.
struct DistrustEdit {
  std::string dir;  // below the root
  std::string name;
  bool remove = false;
  NewFile file;       // what goes there, unless it is removed
  std::string shown;  // what changed, as a person reads it: the path, and a conf's new line
  std::string planned_on;  // a rewrite: the text it was made from, which must still be there
};

// The edits by which the family stops trusting `der` (`distrust`), or
// trusts it again: none when it already does as asked. ERROR_ACCESS_DENIED,
// with `why` for a line that begins "refusing ", for a file that cannot be
// changed soundly (another user's, a mount outside the root's layout, a
// blocklist file or a conf line's file that holds other certificates too).
DWORD PlanDistrust(const StoreLocation& location, const std::vector<BYTE>& der, bool distrust,
                   std::vector<DistrustEdit>* edits, std::string* why);

// The edits made, each durable when it returns and undoable until Commit().
// Destroying it without Commit() puts back what it changed, unless another
// changed it since. The files are
// written in their own directories (a conf in etc/ is on no file system
// the anchors' staging need share), under names that begin with a dot.
class DistrustChange {
 public:
  explicit DistrustChange(const StoreLocation& location) : location_(location) {}
  DistrustChange(const DistrustChange&) = delete;
  DistrustChange& operator=(const DistrustChange&) = delete;
  ~DistrustChange() {
    std::string ignored;
    Rollback(&ignored);
  }

  DWORD Apply(const DistrustEdit& edit, std::string* why);
  bool changed() const { return !undo_.empty(); }
  void Commit() { undo_.clear(); }
  DWORD Rollback(std::string* failure);

 private:
  struct Undo {
    UniqueFd dir;
    std::string name;
    bool existed = false;
    NewFile old;
    std::string wrote;  // put back only while it is still what was written
  };
  const StoreLocation& location_;
  std::vector<Undo> undo_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHORS_DISTRIBUTION_SET_H_
