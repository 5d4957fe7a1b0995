// CertOpenStore, CertCloseStore and CertAddCertificateContextToStore for the
// local machine's "Root" store.
#include "platform/posix/api/system_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <cerrno>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/api/process.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/ownership.h"
#include "platform/posix/change/hook_announcements.h"

namespace tkv {
namespace {

// System store names are case-insensitive on Windows.
bool IsRootStoreName(LPCWSTR name) {
  const wchar_t* expected = L"root";
  for (; *name != L'\0' && *expected != L'\0'; ++name, ++expected) {
    if (towlower(static_cast<wint_t>(*name)) != static_cast<wint_t>(*expected)) return false;
  }
  return *name == L'\0' && *expected == L'\0';
}

}  // namespace

StoreHandle* HandleFrom(HCERTSTORE store) {
  auto* handle = static_cast<StoreHandle*>(store);
  return handle != nullptr && handle->magic == StoreHandle::kMagic ? handle : nullptr;
}

namespace {

// Says what a check of the root refused, and why.
DWORD Refused(const Command& command, const std::string& why, DWORD code) {
  if (code == ERROR_ACCESS_DENIED && !why.empty()) command.Complain("refusing " + why);
  return code;
}

// What the tool runs for an image root: its refresh, and each hook that
// the refresh or the tool runs. Whoever else could change one would run it
// next time the machine changes what it trusts.
DWORD CheckProgramsTrusted(const Command& command, const StoreLocation& location) {
  if (!location.refresh_inside_root) return ERROR_SUCCESS;
  const RootDirectory& root = *location.root;
  std::vector<std::string> programs = {location.refresh_path.substr(1)};
  if (location.layout->hooks_dir != nullptr) {
    for (const std::string& hook : ListHooks(root, location.layout->hooks_dir)) programs.push_back(hook);
  }
  for (const std::string& program : programs) {
    if (DWORD code = root.CheckTrusted(program)) {
      command.Complain("not running " + root.DisplayPath(program) +
                       ": another user owns it or may change it, or a directory above it");
      return code;
    }
  }
  return ERROR_SUCCESS;
}

// Image roots: every directory the store reads from or writes to, the
// programs it would run there, and everything the anchors' tree reaches,
// must be root's alone: what another user could change under the lock
// could change what the machine trusts.
DWORD CheckRootTrusted(const Command& command, const StoreLocation& location) {
  const StoreLayout& layout = *location.layout;
  const RootDirectory& root = *location.root;
  if (!root.checks_ownership()) return ERROR_SUCCESS;
  std::vector<std::string> paths = {layout.anchors_dir, BundleDirectoryOf(layout)};
  for (const char* path : {layout.marker, layout.distribution_cas, layout.hooks_dir}) {
    if (path != nullptr) paths.emplace_back(path);
  }
  std::string why;
  for (const std::string& path : paths) {
    if (DWORD code = root.CheckTrusted(path, &why)) return Refused(command, why, code);
  }
  if (DWORD code = CheckProgramsTrusted(command, location)) return code;
  const UniqueFd anchors = OpenAnchorsDirectory(location);
  if (!anchors) return ERROR_SUCCESS;
  return Refused(command, why, CheckTreeTrusted(root, layout.anchors_dir, anchors.get(), &why));
}

bool HasRecordedChange(int anchors_fd) {
  const std::string record =
      std::string(LockedAnchorDirectory::kStagingName) + "/" + LockedAnchorDirectory::kRecordName;
  struct stat st;
  return fstatat(anchors_fd, record.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_size > 0;
}

// As Windows refuses a non-administrator the machine's Root store for
// writing: a caller who could not change the anchors must not be told that
// an unreadable directory is an empty store.
DWORD CheckCallerMayChange(const Command& command, const StoreLocation& location, int anchors_fd, bool read_only) {
  const int wanted = read_only ? (R_OK | X_OK) : (R_OK | W_OK | X_OK);
  if (faccessat(anchors_fd, ".", wanted, AT_EACCESS) == 0 || errno == EROFS) return ERROR_SUCCESS;
  const int error = errno;
  struct stat st;
  if ((error == EACCES || error == EPERM) && fstat(anchors_fd, &st) == 0) {
    command.Complain("uid " + std::to_string(geteuid()) + " may not " + (read_only ? "read " : "change ") +
                     location.anchors_path() + " (owned by uid " + std::to_string(st.st_uid) + ", " + ModeText(st) +
                     "): the machine's trust is root's to change");
  }
  return ErrorFromErrno(error);
}

}  // namespace

DWORD OpenSystemStore(bool read_only, StoreData* data, ChangeOutcome* cut_off) {
  Command& command = *data->command;
  std::shared_ptr<const RootDirectory> root;
  std::string refusal;
  if (DWORD code = RootDirectory::Open(command.settings().sysroot, &root, &refusal)) {
    if (code != ERROR_PATH_NOT_FOUND && code != ERROR_FILE_NOT_FOUND) return Refused(command, refusal, code);
    command.Complain("there is no directory " + command.settings().sysroot + " (TKVCERT_SYSROOT) to stand for /");
    return ERROR_FILE_NOT_FOUND;
  }
  if (DWORD code = LocateStore(root, &data->location)) {
    command.Complain("no trust store found in " + root->path() + ": " + WhatEachFamilyLacks(*root) +
                     "; the family's ca-certificates package makes them");
    return code;
  }
  if (DWORD code = CheckRootTrusted(command, data->location)) return code;
  data->anchors_fd = OpenAnchorsDirectory(data->location);
  if (!data->anchors_fd) return ErrorFromErrno(errno);
  if (DWORD code = CheckCallerMayChange(command, data->location, data->anchors_fd.get(), read_only)) return code;
  data->read_only = read_only;
  if (!read_only && command.settings().dry_run) {
    data->dry = std::make_unique<DryRun>(DryRun{AnchorView(data->location, data->anchors_fd.get()), false});
  }
  if (read_only || !HasRecordedChange(data->anchors_fd.get())) return ERROR_SUCCESS;
  // Before a removal finds nothing to remove, or an install finds its
  // certificate there already, what a cut-off run left is finished.
  return FinishCutOffChange(command, data->location, &data->refresh, data->dry.get(), cut_off);
}

}  // namespace tkv

using tkv::Fail;

HCERTSTORE CertOpenStore(LPCSTR lpszStoreProvider, DWORD dwEncodingType,
                         HCRYPTPROV_LEGACY hCryptProv, DWORD dwFlags, const void* pvPara) {
  constexpr DWORD kKnownFlags = CERT_SYSTEM_STORE_LOCATION_MASK | CERT_STORE_OPEN_EXISTING_FLAG |
                                CERT_STORE_READONLY_FLAG;
  if (lpszStoreProvider != CERT_STORE_PROV_SYSTEM_W || hCryptProv != 0 || pvPara == nullptr ||
      (dwFlags & ~kKnownFlags) != 0 ||
      (dwFlags & CERT_SYSTEM_STORE_LOCATION_MASK) != CERT_SYSTEM_STORE_LOCAL_MACHINE) {
    Fail(E_INVALIDARG);
    return nullptr;
  }
  (void)dwEncodingType;  // ignored for system stores, as on Windows
  if (!tkv::IsRootStoreName(static_cast<LPCWSTR>(pvPara))) {
    Fail((dwFlags & CERT_STORE_OPEN_EXISTING_FLAG) ? ERROR_FILE_NOT_FOUND : E_INVALIDARG);
    return nullptr;
  }

  tkv::StoreEvents& events = tkv::RunListener();
  auto data = std::make_shared<tkv::StoreData>();
  // The command's clock starts here.
  data->command = std::make_shared<tkv::Command>(tkv::SettingsForStore(), events);
  tkv::ChangeOutcome cut_off;
  const DWORD code = tkv::OpenSystemStore((dwFlags & CERT_STORE_READONLY_FLAG) != 0, data.get(), &cut_off);
  events.Changed(cut_off);
  if (code != ERROR_SUCCESS) {
    Fail(code);
    return nullptr;
  }
  events.StoreOpened(std::make_shared<const tkv::StoreLocation>(data->location));
  auto* handle = new tkv::StoreHandle();
  handle->data = std::move(data);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

tkv::StoreData::~StoreData() {
  if (!refresh.sandbox.session || !command) return;
  const std::string left = refresh.sandbox.session->limits.Leave();
  if (!left.empty()) command->Complain("cannot remove the sandbox's cgroups " + left + "; a later run removes them");
}

BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags) {
  (void)dwFlags;
  if (hCertStore == nullptr) return TRUE;
  tkv::StoreHandle* handle = tkv::HandleFrom(hCertStore);
  if (handle == nullptr) return Fail(E_INVALIDARG);
  handle->magic = 0;
  delete handle;
  return TRUE;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pCertContext,
                                      DWORD dwAddDisposition, PCCERT_CONTEXT* ppStoreContext) {
  if (ppStoreContext != nullptr) *ppStoreContext = nullptr;
  tkv::StoreHandle* handle = tkv::HandleFrom(hCertStore);
  // The store is keyed by thumbprint, so every disposition but "new" ends
  // with one copy; no other is asked for by the tool.
  if (handle == nullptr || pCertContext == nullptr || ppStoreContext != nullptr ||
      dwAddDisposition != CERT_STORE_ADD_ALWAYS) {
    return Fail(E_INVALIDARG);
  }
  tkv::StoreData& store = *handle->data;
  if (store.read_only) return Fail(ERROR_ACCESS_DENIED);
  const std::vector<BYTE> der(pCertContext->pbCertEncoded, pCertContext->pbCertEncoded + pCertContext->cbCertEncoded);
  tkv::Command& command = *store.command;
  tkv::ChangeOutcome outcome;
  const DWORD code =
      tkv::ChangeStore(command, store.location, &store.refresh, tkv::ChangeKind::kAdd, der, store.dry.get(), &outcome);
  tkv::RunListener().Changed(outcome);
  if (code != ERROR_SUCCESS) return Fail(code);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
