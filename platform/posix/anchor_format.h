// How one certificate is kept in an anchors directory: a PEM file named by
// the SHA-1 thumbprint of its DER in upper-case hex, plus ".crt".
#ifndef TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_
#define TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_

#include <string>
#include <vector>

#include "platform/posix/wincrypt_posix.h"

namespace tkv {

std::string AnchorFileName(const std::vector<BYTE>& der);
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

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_FORMAT_H_
