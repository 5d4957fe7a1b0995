// The contexts this layer hands out: the public Windows struct first, our
// bookkeeping after it. Callers see only the public part.
#ifndef TKVCERT_PLATFORM_POSIX_CERT_CONTEXT_H_
#define TKVCERT_PLATFORM_POSIX_CERT_CONTEXT_H_

#include <memory>
#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

struct StoreData;

struct CertificateContext : CERT_CONTEXT {
  std::vector<BYTE> der;             // what pbCertEncoded points into
  std::shared_ptr<StoreData> store;  // set for contexts enumerated from a store
  size_t file_index = 0;             // that file's place in the store's listing
  size_t block_index = 0;            // which certificate block within that file
};

struct CrlContext : CRL_CONTEXT {
  std::vector<BYTE> der;
};

PCCERT_CONTEXT NewCertificateContext(std::vector<BYTE> der);
PCCRL_CONTEXT NewCrlContext(std::vector<BYTE> der);

inline CertificateContext* Impl(PCCERT_CONTEXT context) {
  return static_cast<CertificateContext*>(const_cast<CERT_CONTEXT*>(context));
}

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CERT_CONTEXT_H_
