// The Linux layer's own account of a run: what the front end said it was
// asked, and what the layer's calls learned on the way, kept quietly until
// the run ends and then told to the admin on standard error.
#ifndef TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_
#define TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/anchors/store_names.h"
#include "platform/posix/api/system_store.h"
#include "platform/posix/wincrypt_posix.h"
#include "platform/run_account.h"

namespace tkv {

// What TKVCERT_UNINSTALL_BY asks a removal to select by.
enum class SelectBy { kName, kSha1, kSha256 };

// One "Error :" or "Warning :" line the front end printed.
struct ReportedLine {
  std::string message;
  bool warning = false;
  bool with_last_error = false;
  DWORD last_error = 0;
};

struct RunAccount {
  // The settings, read before anything is opened.
  int report_fd = -1;  // TKVCERT_REPORT; -1 for none
  bool dry_run = false;
  SelectBy select_by = SelectBy::kName;
  int arguments = 0;

  bool requested = false;
  RunCommand command = RunCommand::kInstall;
  std::wstring parameter;
  // The store the command opened, for a quiet look at it afterwards.
  std::shared_ptr<const StoreLocation> store;
  // A query: the certificate a file held, and how many more it held.
  std::vector<BYTE> queried;
  size_t certificates_passed_over = 0;
  // A removal's scan: the names it read, offered as they pass, and the
  // anchor files it found no certificate in.
  std::unique_ptr<NameSuggestions> suggestions;
  size_t names_seen = 0;
  std::vector<std::string> files_without_certificates;
  // A deletion: the certificate, the anchor files it was taken from, and
  // the scan it came from, with the place in its listing where it met it.
  std::vector<BYTE> removed;
  std::vector<std::string> removed_from;
  std::shared_ptr<const StoreData> removed_in;
  size_t removed_at = 0;
  // An addition that a local anchor already held: that anchor.
  std::string already_held_by;
  // A removal's certificates of the name, the removed one included, when
  // the run has looked (0 when it has not).
  size_t sharing_name = 0;

  // What changed (or, in a dry run, would change).
  bool anchors_changed = false;
  bool bundle_changed = false;
  bool finished_cut_off_change = false;
  std::vector<std::string> browser_files_changed;
  // What was said: every line on standard error, those of hooks and
  // browsers also as warnings, and the front end's own lines.
  std::vector<std::string> messages;
  std::vector<std::string> warnings;
  std::vector<ReportedLine> reported;
  bool refused = false;  // a setting did not hold: nothing was done
  bool ended = false;
};

// The one account of this process.
RunAccount& Account();

// A name a store's enumeration read, as the removal's scan asked for it.
void NoteStoreName(const std::wstring& name);
// An anchor file the enumeration read and found no certificate in.
void NoteFileWithoutCertificate(const std::string& relative);

// Whether this run only decides what it would change (TKVCERT_DRY_RUN).
inline bool DryRun() { return Account().dry_run; }

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_
