#include "platform/posix/cert/anchor_format.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tkv {

std::string UpperHex(const BYTE* data, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  size_t length = 0;
  if (OPENSSL_buf2hexstr_ex(hex.data(), hex.size(), &length, data, size, '\0') != 1) return "";
  hex.resize(size * 2);
  return hex;
}

std::string Thumbprint(const std::vector<BYTE>& der, const EVP_MD* digest_type) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &digest_length, digest_type, nullptr) != 1) return "";
  return UpperHex(digest, digest_length);
}

std::string AnchorFileName(const std::vector<BYTE>& der) {
  const std::string thumbprint = Thumbprint(der, EVP_sha1());
  return thumbprint.empty() ? "" : thumbprint + ".crt";
}

std::string PemCertificate(const std::vector<BYTE>& der) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio(bio.get(), "CERTIFICATE", "", der.data(),
                            static_cast<long>(der.size())) <= 0) {
    return "";
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace tkv

namespace tkv {
namespace {

constexpr char kBegin[] = "-----BEGIN ";
constexpr char kEnd[] = "-----END ";
constexpr char kDashes[] = "-----";
constexpr size_t kBeginLength = sizeof kBegin - 1;
constexpr size_t kEndLength = sizeof kEnd - 1;
constexpr size_t kDashesLength = sizeof kDashes - 1;

bool IsCertificateLabel(const BYTE* label, size_t length) {
  const auto is = [&](const char* name) {
    return length == strlen(name) && memcmp(label, name, length) == 0;
  };
  return is("CERTIFICATE") || is("TRUSTED CERTIFICATE") || is("X509 CERTIFICATE");
}

// memmem and memchr: a scan reads every anchor file, and these are several
// times quicker than the generic algorithms.
const BYTE* Find(const BYTE* from, const BYTE* end, const void* what, size_t length) {
  if (from >= end) return nullptr;
  return static_cast<const BYTE*>(memmem(from, static_cast<size_t>(end - from), what, length));
}

// The first "-----" from `from`: memchr for each '-', quicker than memmem.
const BYTE* FindDashes(const BYTE* from, const BYTE* end) {
  for (const BYTE* at = from; at < end; ++at) {
    at = static_cast<const BYTE*>(memchr(at, '-', static_cast<size_t>(end - at)));
    if (at == nullptr || static_cast<size_t>(end - at) < kDashesLength) return nullptr;
    if (memcmp(at, kDashes, kDashesLength) == 0) return at;
  }
  return nullptr;
}

const BYTE* LineEnd(const BYTE* from, const BYTE* end) {
  if (from >= end) return end;
  const void* newline = memchr(from, '\n', static_cast<size_t>(end - from));
  return newline == nullptr ? end : static_cast<const BYTE*>(newline) + 1;
}

// The first "-----END <label>-----" from `from`, found without building the
// marker: each '-' (memchr, much quicker than memmem over a Base64 body that
// holds none) is tried as the start of "-----END ", the label and dashes.
// `*first_dash` is set to the first '-' at or after `body`, where the block's
// body starts.
const BYTE* FindEndMarker(const BYTE* from, const BYTE* end, const BYTE* label, size_t length,
                          const BYTE* body, const BYTE** first_dash) {
  const size_t marker = kEndLength + length + kDashesLength;
  *first_dash = nullptr;
  for (const BYTE* at = from; at < end; ++at) {
    if (*at != '-') {
      at = static_cast<const BYTE*>(memchr(at, '-', static_cast<size_t>(end - at)));
      if (at == nullptr) return nullptr;
    }
    if (*first_dash == nullptr && at >= body) *first_dash = at;
    if (static_cast<size_t>(end - at) < marker) return nullptr;
    if (memcmp(at, kEnd, kEndLength) == 0 && memcmp(at + kEndLength, label, length) == 0 &&
        memcmp(at + kEndLength + length, kDashes, kDashesLength) == 0) {
      return at;
    }
  }
  return nullptr;
}

// The length of the one encoded object that `data` starts with, without
// whatever may follow it (the trust settings of a "TRUSTED CERTIFICATE");
// 0 when it is no object.
size_t FirstObjectLength(const unsigned char* data, long size) {
  const unsigned char* p = data;
  long length = 0;
  int tag = 0;
  int cls = 0;
  const int ret = ASN1_get_object(&p, &length, &tag, &cls, size);
  if ((ret & 0x80) != 0 || tag != V_ASN1_SEQUENCE) return 0;
  if (ret == 0x21) {
    // An indefinite length (BER, which the installation accepts) ends only
    // at its end mark, nested ones counted: a generic decode finds it.
    p = data;
    ASN1_TYPE* object = d2i_ASN1_TYPE(nullptr, &p, size);
    if (object == nullptr) return 0;
    ASN1_TYPE_free(object);
    return static_cast<size_t>(p - data);
  }
  return static_cast<size_t>(p + length - data);
}

struct EncodeCtxFree {
  void operator()(EVP_ENCODE_CTX* ctx) const { EVP_ENCODE_CTX_free(ctx); }
};

// A Base64 line as every PEM writer makes it: 64 characters, 48 bytes.
constexpr size_t kFullLine = 64;
constexpr int kFullLineBytes = 48;

// The quick path: a block laid out as PEM writers lay it out, decoded line
// by line straight into `der`. The BEGIN line is "-----BEGIN <label>-----";
// every line of the body is 1 to 64 characters and starts with a printable
// one (so none is blank, which would end a header); only the last may be
// short or hold padding; then comes "-----END <label>-----" (each line
// ended by LF or CR LF). The lines of 64 characters go to EVP_DecodeBlock,
// which takes nothing but Base64 digits, and the last line to
// EVP_DecodeUpdate, which deals with the padding. For such a block
// libcrypto's PEM reader decodes the same digits in the same groups of
// four, so the bytes are the same. False when the block is laid out any
// other way or does not decode: then the PEM reader decides. `end_line`,
// when the caller knows it, is the first '-' after the BEGIN line.
bool DecodeCanonicalBlock(const BYTE* text, size_t size, std::vector<BYTE>* der,
                          const BYTE* end_line = nullptr) {
  const BYTE* const end = text + size;
  if (size < kBeginLength || memcmp(text, kBegin, kBeginLength) != 0) return false;
  const BYTE* label = text + kBeginLength;
  const BYTE* label_end = FindDashes(label, end);
  if (label_end == nullptr) return false;
  const size_t label_length = static_cast<size_t>(label_end - label);
  if (!IsCertificateLabel(label, label_length)) return false;
  const BYTE* line = label_end + kDashesLength;
  if (line < end && *line == '\r') ++line;
  if (line >= end || *line != '\n') return false;
  const BYTE* const body = line + 1;
  // The body holds no '-': the first one starts the END line.
  if (end_line == nullptr) {
    end_line = static_cast<const BYTE*>(memchr(body, '-', static_cast<size_t>(end - body)));
  }
  if (end_line == nullptr || end_line <= body || end_line[-1] != '\n') return false;
  const BYTE* after = end_line + kEndLength;
  if (static_cast<size_t>(end - end_line) < kEndLength + label_length + kDashesLength ||
      memcmp(end_line, kEnd, kEndLength) != 0 || memcmp(after, label, label_length) != 0 ||
      memcmp(after + label_length, kDashes, kDashesLength) != 0) {
    return false;
  }
  after += label_length + kDashesLength;
  if (after < end && *after == '\r') ++after;
  if (after < end && *after != '\n') return false;

  // Padding may only end the body: the last line decodes it.
  const BYTE* const padding =
      static_cast<const BYTE*>(memchr(body, '=', static_cast<size_t>(end_line - body)));
  // The full lines' digits, gathered without their line ends, go to one
  // EVP_DecodeBlock call; the last line to EVP_DecodeUpdate.
  static thread_local std::vector<BYTE> digits;
  digits.clear();
  const BYTE* last = nullptr;
  size_t last_length = 0;
  for (const BYTE* at = body; at < end_line;) {
    // A full line is looked at where its end must be, not searched for.
    const BYTE* newline = at + kFullLine;
    if (newline < end_line && *newline == '\r') ++newline;
    if (newline >= end_line || *newline != '\n') {
      newline = static_cast<const BYTE*>(memchr(at, '\n', static_cast<size_t>(end_line - at)));
    }
    const BYTE* next = newline + 1;
    size_t length = static_cast<size_t>(newline - at);
    if (length > 0 && at[length - 1] == '\r') --length;
    if (length == 0 || length > kFullLine || *at <= ' ') return false;
    if (length == kFullLine && (padding == nullptr || padding >= at + kFullLine)) {
      digits.insert(digits.end(), at, at + kFullLine);
    } else {
      if (next != end_line) return false;  // a short line or padding ends the body
      last = at;
      last_length = length;
    }
    at = next;
  }
  der->resize(static_cast<size_t>(end_line - body) / 4 * 3 + 3);
  BYTE* out = der->data();
  if (!digits.empty()) {
    const int expected = static_cast<int>(digits.size() / kFullLine) * kFullLineBytes;
    if (EVP_DecodeBlock(out, digits.data(), static_cast<int>(digits.size())) != expected) {
      return false;
    }
    out += expected;
  }
  if (last != nullptr) {
    static thread_local std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxFree> ctx(EVP_ENCODE_CTX_new());
    if (!ctx) return false;
    EVP_DecodeInit(ctx.get());
    int decoded = 0;
    int tail = 0;
    if (EVP_DecodeUpdate(ctx.get(), out, &decoded, last, static_cast<int>(last_length)) < 0 ||
        EVP_DecodeFinal(ctx.get(), out + decoded, &tail) < 0) {
      return false;
    }
    out += decoded + tail;
  }
  const size_t object = FirstObjectLength(der->data(), static_cast<long>(out - der->data()));
  if (object == 0) return false;
  der->resize(object);
  return true;
}

// Decodes one certificate block into `der`, quickly when it is laid out as
// PEM writers lay it out; empty when it does not decode.
void DecodeBlockInto(const BYTE* text, size_t size, std::vector<BYTE>* der,
                     const BYTE* end_line = nullptr) {
  if (DecodeCanonicalBlock(text, size, der, end_line)) return;
  *der = DecodeCertificateBlockByPemReader(text, size);
}

}  // namespace

bool IsCertificateLabel(const std::string& label) {
  return IsCertificateLabel(reinterpret_cast<const BYTE*>(label.data()), label.size());
}

std::vector<BYTE> DecodeCertificateBlockByPemReader(const BYTE* text, size_t size) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text, static_cast<int>(size)),
                                                BIO_free);
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* body = nullptr;
  long length = 0;
  std::vector<BYTE> der;
  if (bio && PEM_read_bio(bio.get(), &name, &header, &body, &length) == 1) {
    der.assign(body, body + FirstObjectLength(body, length));
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(body);
  return der;
}

std::vector<BYTE> DecodeCertificateBlock(const BYTE* text, size_t size) {
  std::vector<BYTE> der;
  DecodeBlockInto(text, size, &der);
  return der;
}

bool PemBlock::IsCertificate() const { return IsCertificateLabel(label, label_length); }

PemBlockScanner::PemBlockScanner(const BYTE* data, size_t size)
    : next_(Find(data, data + size, kBegin, kBeginLength)), end_(data + size) {}

bool PemBlockScanner::Next(PemBlock* block) {
  while (next_ != nullptr) {
    const BYTE* at = next_;
    const BYTE* label = at + kBeginLength;
    const BYTE* label_end = FindDashes(label, end_);
    const BYTE* line_end = LineEnd(at, end_);
    if (label_end == nullptr || label_end > line_end) {
      next_ = Find(line_end, end_, kBegin, kBeginLength);
      continue;
    }
    block->begin = at;
    block->label = label;
    block->label_length = static_cast<size_t>(label_end - label);
    block->body = line_end;
    block->end_marker =
        FindEndMarker(label_end, end_, label, block->label_length, line_end, &block->first_dash);
    block->end = block->end_marker == nullptr ? end_ : LineEnd(block->end_marker, end_);
    next_ = Find(block->end, end_, kBegin, kBeginLength);
    return true;
  }
  return false;
}

void ParseAnchorFile(const BYTE* data, size_t size, std::vector<AnchorBlock>* blocks) {
  size_t count = 0;
  // Filled in place: a scan parses every anchor into the same blocks, whose
  // buffers stay allocated from one file to the next.
  const auto next_block = [&]() -> AnchorBlock& {
    if (count == blocks->size()) blocks->emplace_back();
    return (*blocks)[count++];
  };
  PemBlockScanner scanner(data, size);
  if (!scanner.HasAny()) {
    if (size > 0 && data[0] == V_ASN1_SEQUENCE + V_ASN1_CONSTRUCTED) {
      AnchorBlock& block = next_block();
      block.begin = 0;
      block.end = size;
      const size_t object = FirstObjectLength(data, static_cast<long>(size));
      block.der.assign(data, data + object);
      block.decoded = object != 0;
    }
    blocks->resize(count);
    return;
  }
  for (PemBlock pem; scanner.Next(&pem);) {
    if (!pem.IsCertificate()) continue;
    AnchorBlock& block = next_block();
    block.begin = static_cast<size_t>(pem.begin - data);
    block.end = static_cast<size_t>(pem.end - data);
    const size_t length = static_cast<size_t>(pem.end - pem.begin);
    // The END marker found is where the quick way's body ends when no
    // other '-' comes before it; otherwise that way would fail anyway.
    if (pem.end_marker != nullptr && pem.first_dash == pem.end_marker) {
      DecodeBlockInto(pem.begin, length, &block.der, pem.end_marker);
    } else {
      block.der = DecodeCertificateBlockByPemReader(pem.begin, length);
    }
    block.decoded = !block.der.empty();
  }
  blocks->resize(count);
}

std::vector<AnchorBlock> ParseAnchorFile(const std::vector<BYTE>& contents) {
  std::vector<AnchorBlock> blocks;
  ParseAnchorFile(contents.data(), contents.size(), &blocks);
  return blocks;
}

}  // namespace tkv
