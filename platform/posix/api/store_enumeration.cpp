// CertEnumCertificatesInStore and CertDeleteCertificateFromStore for the
// anchors directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/anchors/anchor_directory.h"
#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/base/complaint.h"
#include "platform/posix/base/file_reader.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/base/root_directory.h"
#include "platform/posix/account/run_account.h"
#include "platform/posix/change/store_change.h"
#include "platform/posix/change/store_publish.h"
#include "platform/posix/api/system_store.h"

namespace tkv {
namespace {

// Reads one anchor into the store's buffers, which a scan reuses from one
// file to the next. An unreadable, vanished or oversized file holds no
// certificate we can see.
void ReadAnchorBlocks(StoreData& store, const std::string& relative) {
  if (ReadAnchorFile(store.location, store.anchors_fd.get(), relative, &store.contents) !=
      ERROR_SUCCESS) {
    store.parsed_blocks.clear();
    return;
  }
  ParseAnchorFile(store.contents.data(), store.contents.size(), &store.parsed_blocks);
  if (store.parsed_blocks.empty()) NoteFileWithoutCertificate(relative);
}

// Whether the certificate of block `block` of file `file` was handed out
// already, from an earlier copy: the candidates its key finds are compared
// byte for byte, those of the file being walked from memory, those of an
// earlier file by reading it again.
bool HandedOutBefore(StoreData& store, size_t file, size_t block, uint32_t key) {
  const std::vector<BYTE>& der = store.parsed_blocks[block].der;
  return store.handed_out.AnyCandidate(key, [&](size_t earlier) {
    const AnchorBlock* begin = store.parsed_blocks.data();
    const AnchorBlock* end = begin + block;
    if (earlier != file) {
      if (ReadAnchorFile(store.location, store.anchors_fd.get(), store.listing[earlier],
                         &store.candidate_contents) != ERROR_SUCCESS) {
        return false;
      }
      ParseAnchorFile(store.candidate_contents.data(), store.candidate_contents.size(),
                      &store.candidate_blocks);
      begin = store.candidate_blocks.data();
      end = begin + store.candidate_blocks.size();
    }
    for (const AnchorBlock* other = begin; other != end; ++other) {
      if (other->decoded && other->der == der) return true;
    }
    return false;
  });
}

// `recycled`, the context the caller gave back, is refilled instead of being
// freed and another allocated: a scan hands out one context per anchor.
PCCERT_CONTEXT NewStoreContext(const std::shared_ptr<StoreData>& store, size_t file,
                               size_t block, CertificateContext* recycled) {
  const AnchorBlock& found = store->parsed_blocks[block];
  // A block that does not decode is still handed out, with no bytes, so the
  // name read fails and the broken anchor is reported instead of hidden.
  CertificateContext* context = recycled;
  if (context == nullptr) {
    context = Impl(NewCertificateContext(found.der));
  } else {
    context->der.assign(found.der.begin(), found.der.end());
    context->pbCertEncoded = context->der.data();
    context->cbCertEncoded = static_cast<DWORD>(context->der.size());
  }
  context->store = store;
  context->hCertStore = nullptr;
  context->file_index = file;
  context->block_index = block;
  return context;
}

// A copy found under the lock: the file, its text, and its blocks.
struct Copy {
  std::string relative;
  std::vector<BYTE> contents;
  std::vector<AnchorBlock> blocks;
};

// The file's text without the blocks that hold `der`.
std::string WithoutCertificate(const Copy& copy, const std::vector<BYTE>& der) {
  std::string rest;
  size_t from = 0;
  for (const AnchorBlock& block : copy.blocks) {
    if (!block.decoded || block.der != der) continue;
    rest.append(copy.contents.begin() + static_cast<long>(from),
                copy.contents.begin() + static_cast<long>(block.begin));
    from = block.end;
  }
  rest.append(copy.contents.begin() + static_cast<long>(from), copy.contents.end());
  return rest;
}

// The other certificate blocks of a file, and nothing else: what stays of a
// file that is not the store's when it is written as one of the store's.
// A key or anything else kept beside the certificates stays where it was.
// A block that does not decode is dropped too: no client trusts it, and
// one with no END line runs to the end of the file, over whatever follows.
std::string OtherCertificates(const Copy& copy, const std::vector<BYTE>& der) {
  std::string rest;
  for (const AnchorBlock& block : copy.blocks) {
    if (!block.decoded || block.der == der) continue;
    rest.append(copy.contents.begin() + static_cast<long>(block.begin),
                copy.contents.begin() + static_cast<long>(block.end));
  }
  return rest;
}

bool OnlyCertificate(const Copy& copy, const std::vector<BYTE>& der) {
  for (const AnchorBlock& block : copy.blocks) {
    if (!block.decoded || block.der != der) return false;
  }
  return true;
}

// What stays of a copy reached through a link, as a file of the store's in
// the link's place: the target's other certificates, readable by no one
// the target's mode and group keep out, writable by its owner alone,
// executable by no one.
DWORD LinkedRest(const StoreLocation& location, const Copy& copy, const std::vector<BYTE>& der,
                 AnchorFile* rest) {
  const UniqueFd target = location.root->OpenBelow(
      std::string(location.layout->anchors_dir) + "/" + copy.relative, O_PATH | O_CLOEXEC);
  struct stat st;
  if (!target || fstat(target.get(), &st) != 0) return ErrorFromErrno(errno);
  rest->contents = OtherCertificates(copy, der);
  rest->mode = st.st_mode & 0644;
  rest->gid = st.st_gid;
  return ERROR_SUCCESS;
}

// Takes one copy out of the anchors tree. A copy under a link goes with the
// link, never through it: the link's target is not the store's to change,
// so its other certificates stay as a file in the link's place. A copy in a
// directory reached through a link is refused: removing that link would
// take whatever else it holds with it. A file of the store's own that holds
// other certificates is rewritten in place with its mode and owner, and all
// but the certificate's blocks as they were: it gains no reader, and an
// admin's notes beside them stay; one that holds only this certificate goes.
DWORD RemoveCopy(const StoreLocation& location, int anchors_fd, AnchorChange& change,
                 const Copy& copy, const std::vector<BYTE>& der) {
  const size_t slash = copy.relative.rfind('/');
  UniqueFd parent;
  if (slash != std::string::npos) {
    parent = OpenBeneathWithoutLinks(anchors_fd, copy.relative.substr(0, slash),
                                     O_RDONLY | O_DIRECTORY);
    if (!parent && (errno == ELOOP || errno == EXDEV)) {
      Complain("cannot remove the copy in " + location.anchors_path() + "/" + copy.relative +
               ": a linked directory leads to it, and removing the link would take all it holds");
      return ERROR_ACCESS_DENIED;
    }
    if (!parent) return ErrorFromErrno(errno);
    const std::string below = std::string(location.layout->anchors_dir) + "/" + copy.relative.substr(0, slash);
    if (location.root->CheckWritable(parent.get(), below) != ERROR_SUCCESS) {
      Complain("cannot remove the copy in " + location.anchors_path() + "/" + copy.relative + ": " +
               location.root->refusal());
      return ERROR_ACCESS_DENIED;
    }
  }
  const int dir_fd = parent ? parent.get() : anchors_fd;
  const std::string name = copy.relative.substr(slash == std::string::npos ? 0 : slash + 1);
  struct stat st;
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return ErrorFromErrno(errno);
  if (OnlyCertificate(copy, der)) return change.Remove(dir_fd, name);
  AnchorFile rest;
  if (S_ISLNK(st.st_mode)) {
    if (DWORD code = LinkedRest(location, copy, der, &rest)) return code;
    if (rest.contents.empty()) return change.Remove(dir_fd, name);  // no other certificate
  } else {
    rest.contents = WithoutCertificate(copy, der);
    rest.mode = st.st_mode & 07777;
    rest.uid = st.st_uid;
    rest.gid = st.st_gid;
  }
  return change.Replace(dir_fd, name, rest);
}

// Every copy of `der` that the refresh reads, found afresh under the lock.
std::vector<Copy> FindCopies(const StoreData& store, int anchors_fd, const std::vector<BYTE>& der) {
  std::vector<Copy> copies;
  for (const std::string& relative : ListAnchorFiles(store.location, anchors_fd)) {
    Copy copy{relative, {}, {}};
    if (ReadAnchorFile(store.location, anchors_fd, relative, &copy.contents) != ERROR_SUCCESS) {
      continue;
    }
    copy.blocks = ParseAnchorFile(copy.contents);
    for (const AnchorBlock& block : copy.blocks) {
      if (block.decoded && block.der == der) {
        copies.push_back(std::move(copy));
        break;
      }
    }
  }
  return copies;
}

// Every copy of `der` taken out, as one change; the files they were in.
DWORD DeleteCopies(const StoreData& store, const std::vector<BYTE>& der, std::vector<std::string>* taken_from) {
  return ChangeStore(store.location, der, [&](int anchors_fd, AnchorChange& change, ExpectedTrust* expected) {
    const std::vector<Copy> copies = FindCopies(store, anchors_fd, der);
    if (copies.empty()) return static_cast<DWORD>(CRYPT_E_NOT_FOUND);  // gone since it was enumerated
    for (const Copy& copy : copies) taken_from->push_back(copy.relative);
    expected->removed.push_back(der);
    for (const Copy& copy : copies) {
      if (DWORD code = RemoveCopy(store.location, anchors_fd, change, copy, der)) return code;
    }
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
}

// The same decided and not done: no lock, no file and no program touched.
DWORD DecideDeletion(const StoreData& store, const std::vector<BYTE>& der, std::vector<std::string>* taken_from) {
  for (const Copy& copy : FindCopies(store, store.anchors_fd.get(), der)) taken_from->push_back(copy.relative);
  if (taken_from->empty()) return CRYPT_E_NOT_FOUND;
  Account().anchors_changed = Account().bundle_changed = true;
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
  CertificateContext* recycled = nullptr;
  if (pPrevCertContext == nullptr) {
    store->listing = ListAnchorFiles(store->location, store->anchors_fd.get());
    store->parsed_file = SIZE_MAX;
    store->handed_out.Clear(store->listing.size());
  } else {
    file = Impl(pPrevCertContext)->file_index;
    block = Impl(pPrevCertContext)->block_index + 1;
    recycled = Impl(pPrevCertContext);
  }
  for (; file < store->listing.size(); ++file, block = 0) {
    if (store->parsed_file != file) {
      ReadAnchorBlocks(*store, store->listing[file]);
      store->parsed_file = file;
    }
    for (; block < store->parsed_blocks.size(); ++block) {
      const AnchorBlock& found = store->parsed_blocks[block];
      if (!found.decoded) return NewStoreContext(store, file, block, recycled);
      // The store is keyed by thumbprint: the first copy stands for the rest.
      const uint32_t key = HandedOutSet::KeyOf(found.der);
      if (HandedOutBefore(*store, file, block, key)) continue;
      store->handed_out.Record(key, file);
      return NewStoreContext(store, file, block, recycled);
    }
  }
  CertFreeCertificateContext(recycled);
  Fail(CRYPT_E_NOT_FOUND);
  return nullptr;
}

BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT pCertContext) {
  using namespace tkv;
  if (pCertContext == nullptr) return Fail(E_INVALIDARG);
  std::unique_ptr<CertificateContext> context(Impl(pCertContext));
  if (!context->store || context->der.empty()) return Fail(E_INVALIDARG);
  const StoreData& store = *context->store;
  if (store.read_only) return Fail(ERROR_ACCESS_DENIED);
  std::vector<std::string> taken_from;
  const DWORD deleted = DryRun() ? DecideDeletion(store, context->der, &taken_from)
                                 : DeleteCopies(store, context->der, &taken_from);
  if (deleted != ERROR_SUCCESS) return Fail(deleted);
  Account().removed = context->der;
  Account().removed_from = std::move(taken_from);
  Account().removed_in = context->store;
  Account().removed_at = context->file_index;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
