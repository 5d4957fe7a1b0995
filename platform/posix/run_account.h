// The Linux layer's own account of a run: what the front end said it was
// asked, and what the layer's calls learned on the way, kept quietly until
// the run ends and then told to the admin on standard error.
#ifndef TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_
#define TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/store_layout.h"
#include "platform/posix/store_names.h"
#include "platform/posix/system_store.h"
#include "platform/posix/wincrypt_posix.h"
#include "platform/run_account.h"

namespace tkv {

struct RunAccount {
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
};

// The one account of this process.
RunAccount& Account();

// A name a store's enumeration read, as the removal's scan asked for it.
void NoteStoreName(const std::wstring& name);
// An anchor file the enumeration read and found no certificate in.
void NoteFileWithoutCertificate(const std::string& relative);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_RUN_ACCOUNT_H_
