// CertEnumCertificatesInStore and CertDeleteCertificateFromStore for the
// anchors directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/posix/anchors/anchor_listing.h"
#include "platform/posix/anchors/anchor_trouble.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/api/cert_context.h"
#include "platform/posix/api/process.h"
#include "platform/posix/api/system_store.h"
#include "platform/posix/base/last_error.h"
#include "platform/posix/change/store_change.h"

namespace tkv {
namespace {

// A dry run's scan sees the anchors as its changes would leave them.
std::vector<std::string> ListAnchors(StoreData& store) {
  if (!store.dry) return ListAnchorFiles(store.location, store.anchors_fd.get());
  store.dry->view.ForgetListing();
  return store.dry->view.Files();
}

DWORD ReadAnchor(const StoreData& store, const std::string& relative, std::vector<BYTE>* contents) {
  if (store.dry) return store.dry->view.Read(relative, contents);
  return ReadAnchorFile(store.location, store.anchors_fd.get(), relative, contents);
}

// Reads one anchor into the store's buffers, which a scan reuses from one
// file to the next. An unreadable, vanished or oversized file holds no
// certificate we can see.
void ReadAnchorBlocks(StoreData& store, const std::string& relative) {
  if (ReadAnchor(store, relative, &store.contents) != ERROR_SUCCESS) {
    store.parsed_blocks.clear();
    return;
  }
  ParseAnchorFile(store.contents.data(), store.contents.size(), &store.parsed_blocks);
  // A key beside a certificate is copied into the bundle everyone reads.
  static constexpr char kKeyMark[] = "PRIVATE KEY-----";
  if (store.parsed_blocks.empty() ||
      memmem(store.contents.data(), store.contents.size(), kKeyMark, sizeof kKeyMark - 1) != nullptr) {
    RunListener().TroubledFile(relative, TroubleOf(store.contents));
  }
}

// Whether `der` (block `block` of file `file`) was handed out already, from
// an earlier copy: the candidates its key finds are compared byte for byte,
// those of the file being walked from memory, those of an earlier file by
// reading it again.
bool HandedOutBefore(StoreData& store, const std::vector<BYTE>& der, size_t file, size_t block, uint32_t key) {
  return store.handed_out.AnyCandidate(key, [&](size_t earlier) {
    const AnchorBlock* begin = store.parsed_blocks.data();
    const AnchorBlock* end = begin + block;
    if (earlier != file || file >= store.listing->size()) {
      if (ReadAnchor(store, (*store.listing)[earlier], &store.candidate_contents) != ERROR_SUCCESS) {
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
PCCERT_CONTEXT NewStoreContext(const std::shared_ptr<StoreData>& store, const std::vector<BYTE>& der, size_t file,
                               size_t block, CertificateContext* recycled) {
  CertificateContext* context = recycled;
  if (context == nullptr) {
    context = Impl(NewCertificateContext(der));
  } else {
    context->der.assign(der.begin(), der.end());
    context->pbCertEncoded = context->der.data();
    context->cbCertEncoded = static_cast<DWORD>(context->der.size());
  }
  context->store = store;
  context->hCertStore = nullptr;
  context->file_index = file;
  context->block_index = block;
  return context;
}

// The bundle's certificates that no anchor the scan read, and no file of
// the distribution's set, yielded.
void ReadBundleOnly(StoreData& store) {
  store.bundle_read = true;
  std::vector<std::vector<BYTE>> bundle;
  if (BundleCertificates(*store.location.root, store.location.layout->bundle, &bundle) != ERROR_SUCCESS) return;
  std::set<std::vector<BYTE>> in_set;
  for (const DistributionCertificate& certificate : store.distribution) in_set.insert(certificate.der);
  const size_t after_anchors = store.listing->size();
  for (std::vector<BYTE>& der : bundle) {
    if (store.dry && !store.dry->view.published().Shows(der, true)) continue;
    if (in_set.count(der) != 0 || HandedOutBefore(store, der, after_anchors, 0, HandedOutSet::KeyOf(der))) continue;
    store.bundle_only.push_back(std::move(der));
  }
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
    store->listing = std::make_shared<const std::vector<std::string>>(ListAnchors(*store));
    store->parsed_file = SIZE_MAX;
    store->handed_out.Clear(store->listing->size());
    store->distribution_read = false;
    store->bundle_read = false;
    store->bundle_only.clear();
  } else {
    file = Impl(pPrevCertContext)->file_index;
    block = Impl(pPrevCertContext)->block_index + 1;
    // A distribution certificate, or one of the bundle's, is one to a place.
    if (file >= store->listing->size()) ++file, block = 0;
    recycled = Impl(pPrevCertContext);
  }
  const size_t files = store->listing->size();
  for (; file < files; ++file, block = 0) {
    if (store->parsed_file != file) {
      ReadAnchorBlocks(*store, (*store->listing)[file]);
      store->parsed_file = file;
    }
    for (; block < store->parsed_blocks.size(); ++block) {
      const AnchorBlock& found = store->parsed_blocks[block];
      // A block that does not decode is still handed out, with no bytes, so
      // the name read fails and the broken anchor is reported, not hidden.
      if (!found.decoded) return NewStoreContext(store, found.der, file, block, recycled);
      // The store is keyed by thumbprint: the first copy stands for the rest.
      const uint32_t key = HandedOutSet::KeyOf(found.der);
      if (HandedOutBefore(*store, found.der, file, block, key)) continue;
      store->handed_out.Record(key, file);
      return NewStoreContext(store, found.der, file, block, recycled);
    }
  }
  // Then what the distribution's set brings, unless an anchor holds it too.
  if (!store->distribution_read) {
    ReadDistributionSet(store->location, /*distrusted_too=*/false, &store->distribution);
    store->distribution_read = true;
  }
  for (; file - files < store->distribution.size(); ++file) {
    const std::vector<BYTE>& der = store->distribution[file - files].der;
    if (HandedOutBefore(*store, der, file, 0, HandedOutSet::KeyOf(der))) continue;
    return NewStoreContext(store, der, file, 0, recycled);
  }
  if (!store->bundle_read) ReadBundleOnly(*store);
  const size_t before_bundle = files + store->distribution.size();
  if (file - before_bundle < store->bundle_only.size()) {
    return NewStoreContext(store, store->bundle_only[file - before_bundle], file, 0, recycled);
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
  StoreData& store = *context->store;
  if (store.read_only) return Fail(ERROR_ACCESS_DENIED);
  Command& command = *store.command;
  // Every copy of it goes, found afresh (under the lock, for real): a copy
  // gone since it was enumerated answers CRYPT_E_NOT_FOUND.
  ChangeOutcome outcome;
  const DWORD deleted =
      ChangeStore(command, store.location, &store.refresh, ChangeKind::kRemove, context->der, store.dry.get(), &outcome);
  StoreEvents& events = RunListener();
  events.Changed(outcome);
  if (deleted != ERROR_SUCCESS) return Fail(deleted);
  events.Removed(context->der, store.listing, context->file_index);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
