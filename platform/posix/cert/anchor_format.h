// How one certificate is kept in an anchors directory: a PEM file named by
// the SHA-1 thumbprint of its DER in upper-case hex, plus ".crt".
#ifndef TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_
#define TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_

#include <openssl/types.h>

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

std::string AnchorFileName(const std::vector<BYTE>& der);

// The digest of `der` (EVP_sha1(), EVP_sha256()) in upper-case hex, as
// thumbprints are shown; "" when it cannot be made.
std::string Thumbprint(const std::vector<BYTE>& der, const EVP_MD* digest_type);
// Any bytes in upper-case hex.
std::string UpperHex(const BYTE* data, size_t size);
std::string PemCertificate(const std::vector<BYTE>& der);

// One certificate found in an anchor file.
struct AnchorBlock {
  size_t begin = 0;  // the block's bytes in the file, line end included,
  size_t end = 0;    // so that the file can be rewritten without it
  bool decoded = false;    // false: its text is not a certificate's encoding
  std::vector<BYTE> der;   // the certificate's DER when decoded
};

// The certificates of an anchor file, in order: every PEM block labelled as
// a certificate, or the whole file when it holds DER and no PEM at all.
// Other blocks (keys, CRLs) and text around the blocks are passed over.
std::vector<AnchorBlock> ParseAnchorFile(const std::vector<BYTE>& contents);
// The same into `blocks`, whose buffers are reused: a scan parses every
// anchor of the store one after the other.
void ParseAnchorFile(const BYTE* data, size_t size, std::vector<AnchorBlock>* blocks);

// The certificate of one PEM block (its BEGIN line to its END line): the
// first object of its decoded body; empty when that is not one. A block laid
// out as PEM writers lay it out is decoded line by line, without libcrypto's
// PEM reader; any other goes to that reader.
std::vector<BYTE> DecodeCertificateBlock(const BYTE* text, size_t size);

// The same through libcrypto's PEM reader alone: what the quick way must
// always agree with.
std::vector<BYTE> DecodeCertificateBlockByPemReader(const BYTE* text, size_t size);

// Whether a label names a certificate block.
bool IsCertificateLabel(const std::string& label);

// One PEM block of a text as the anchors' reader finds it: from its BEGIN
// line to the end of its END line, or to the end of the text when it has
// none. A BEGIN line without a label's closing dashes starts no block.
struct PemBlock {
  const BYTE* begin = nullptr;
  const BYTE* end = nullptr;
  const BYTE* label = nullptr;
  size_t label_length = 0;
  const BYTE* body = nullptr;        // the line after the BEGIN line
  const BYTE* end_marker = nullptr;  // "-----END <label>-----"; null when there is none
  const BYTE* first_dash = nullptr;  // the first '-' at or after `body`; null when none
  bool IsCertificate() const;
};

// The PEM blocks of a text, in order: the one scanner of the anchors and of
// the bundle, so that the store's check of the bundle reads it as the
// anchors are read.
class PemBlockScanner {
 public:
  PemBlockScanner(const BYTE* data, size_t size);
  // Whether the text holds any BEGIN line at all.
  bool HasAny() const { return next_ != nullptr; }
  // The next block, or false after the last.
  bool Next(PemBlock* block);

 private:
  const BYTE* next_;  // where the next BEGIN line starts
  const BYTE* end_;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_
