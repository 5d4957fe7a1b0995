// CertEnumCertificatesInStore and CertDeleteCertificateFromStore for the
// anchors directory.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/anchor_directory.h"
#include "platform/posix/cert_context.h"
#include "platform/posix/file_reader.h"
#include "platform/posix/last_error.h"
#include "platform/posix/system_store.h"

namespace tkv {
namespace {

bool EndsWith(const char* text, const char* suffix) {
  const size_t length = strlen(text);
  const size_t n = strlen(suffix);
  return length >= n && memcmp(text + length - n, suffix, n) == 0;
}

// Whether a listed entry is a regular file, or a link to one. Anything else
// (a directory, a FIFO, a device, a dangling link) holds no certificate the
// scan could read, and leaving it out here lets every file that stays be
// opened without being looked up first.
bool ListsRegularFile(DIR* dir, const dirent& entry) {
  switch (entry.d_type) {
    case DT_REG:
      return true;
    case DT_LNK:
    case DT_UNKNOWN: {  // some file systems do not say
      struct stat st;
      return fstatat(dirfd(dir), entry.d_name, &st, 0) == 0 && S_ISREG(st.st_mode);
    }
    default:
      return false;
  }
}

// Anchor files in byte order of their names. Hidden files (our own
// temporaries among them) and subdirectories are not anchors.
std::vector<std::string> ListAnchorFiles(const StoreLocation& location) {
  std::vector<std::string> names;
  DIR* dir = opendir(location.anchors_dir.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '\0' || name[0] == '.') continue;
    if (!EndsWith(name, location.layout->anchor_extension)) continue;
    if (!ListsRegularFile(dir, *entry)) continue;
    names.emplace_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string AnchorPath(const StoreData& store, const std::string& name) {
  return store.location.anchors_dir + "/" + name;
}

// An unreadable, vanished or oversized file holds no certificate we can see.
std::vector<AnchorBlock> ReadAnchorFile(const std::string& path) {
  std::vector<BYTE> contents;
  if (ReadListedRegularFile(path, TKV_MAX_CERTIFICATE_FILE_SIZE, &contents) != ERROR_SUCCESS) {
    return {};
  }
  return ParseAnchorFile(contents);
}

PCCERT_CONTEXT NewStoreContext(const std::shared_ptr<StoreData>& store, size_t file,
                               size_t block) {
  const AnchorBlock& found = store->parsed_blocks[block];
  // A block that does not decode is still handed out, with no bytes, so the
  // name read fails and the broken anchor is reported instead of hidden.
  CertificateContext* context = Impl(NewCertificateContext(found.der));
  context->store = store;
  context->hCertStore = nullptr;
  context->file_name = store->listing[file];
  context->file_index = file;
  context->block_index = block;
  return context;
}

// The file's text without the block that holds `der`; ERROR_SUCCESS and
// *rest set, *now_empty when no other certificate remains in it.
DWORD RemoveBlock(const std::vector<BYTE>& contents, const std::vector<BYTE>& der,
                  size_t expected_index, std::string* rest, bool* now_empty) {
  const std::vector<AnchorBlock> blocks = ParseAnchorFile(contents);
  auto matches = [&](const AnchorBlock& b) { return b.decoded && b.der == der; };
  size_t index = expected_index;
  if (index >= blocks.size() || !matches(blocks[index])) {
    auto it = std::find_if(blocks.begin(), blocks.end(), matches);
    if (it == blocks.end()) return CRYPT_E_NOT_FOUND;  // changed since it was enumerated
    index = static_cast<size_t>(it - blocks.begin());
  }
  *now_empty = blocks.size() == 1;
  rest->assign(contents.begin(), contents.begin() + static_cast<long>(blocks[index].begin));
  rest->append(contents.begin() + static_cast<long>(blocks[index].end), contents.end());
  return ERROR_SUCCESS;
}

}  // namespace
}  // namespace tkv

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext) {
  using namespace tkv;
  StoreHandle* handle = HandleFrom(hCertStore);
  if (handle == nullptr) {
    CertFreeCertificateContext(pPrevCertContext);
    Fail(E_INVALIDARG);
    return nullptr;
  }
  const std::shared_ptr<StoreData>& store = handle->data;
  size_t file = 0;
  size_t block = 0;
  if (pPrevCertContext == nullptr) {
    store->listing = ListAnchorFiles(store->location);
    store->parsed_file = SIZE_MAX;
  } else {
    file = Impl(pPrevCertContext)->file_index;
    block = Impl(pPrevCertContext)->block_index + 1;
    CertFreeCertificateContext(pPrevCertContext);
  }
  for (; file < store->listing.size(); ++file, block = 0) {
    if (store->parsed_file != file) {
      store->parsed_blocks = ReadAnchorFile(AnchorPath(*store, store->listing[file]));
      store->parsed_file = file;
    }
    if (block < store->parsed_blocks.size()) return NewStoreContext(store, file, block);
  }
  Fail(CRYPT_E_NOT_FOUND);
  return nullptr;
}

// Always releases the context, whether the deletion succeeds or not.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  using namespace tkv;
  if (pCertContext == nullptr) return Fail(E_INVALIDARG);
  std::unique_ptr<CertificateContext> context(Impl(pCertContext));
  if (!context->store || context->der.empty()) return Fail(E_INVALIDARG);
  const StoreData& store = *context->store;
  const BOOL deleted = ChangeStore(store, [&](AnchorChange& change) -> DWORD {
    std::vector<BYTE> contents;
    if (DWORD code = ReadRegularFile(AnchorPath(store, context->file_name),
                                     TKV_MAX_CERTIFICATE_FILE_SIZE, &contents)) {
      return code == ERROR_FILE_NOT_FOUND ? CRYPT_E_NOT_FOUND : code;
    }
    std::string rest;
    bool now_empty = false;
    if (DWORD code = RemoveBlock(contents, context->der, context->block_index, &rest, &now_empty)) {
      return code;
    }
    return now_empty ? change.Remove(context->file_name) : change.Replace(context->file_name, rest);
  });
  if (deleted) SetLastError(ERROR_SUCCESS);
  return deleted;
}
