// The quick readers against the full decoders they stand in for, on any
// bytes. The scan reads an anchor's PEM block line by line and its name
// straight from the subject's DER, each only where it can be sure; libcrypto's
// PEM reader and d2i_X509_NAME are the reference, and the answers must be
// the same in every case: the same blocks, the same certificates, the same
// names and the same failures.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/cert/certificate_name.h"

namespace {

void CheckName(const BYTE* der, size_t size) {
  std::wstring quick = L"stale";
  std::wstring full = L"stale";
  const DWORD quick_code = tkv::SimpleDisplayName(der, size, &quick);
  const DWORD full_code = tkv::SimpleDisplayNameByFullDecode(der, size, &full);
  TKV_FUZZ_CHECK(quick_code == full_code);
  TKV_FUZZ_CHECK(quick == full);
}

// The blocks as the PEM reader alone would have them.
void CheckBlocks(const std::vector<BYTE>& text) {
  const std::vector<tkv::AnchorBlock> blocks = tkv::ParseAnchorFile(text);
  for (const tkv::AnchorBlock& block : blocks) {
    TKV_FUZZ_CHECK(block.begin < block.end && block.end <= text.size());
    TKV_FUZZ_CHECK(block.decoded == !block.der.empty());
    if (block.begin == 0 && block.end == text.size() && !text.empty() && text[0] == 0x30) {
      continue;  // the whole file read as DER: no PEM to compare with
    }
    const std::vector<BYTE> reference =
        tkv::DecodeCertificateBlockByPemReader(text.data() + block.begin, block.end - block.begin);
    TKV_FUZZ_CHECK(block.der == reference);
    if (block.decoded) CheckName(block.der.data(), block.der.size());
  }
  // Reused buffers give what fresh ones give.
  std::vector<tkv::AnchorBlock> reused(3);
  reused[0].der.assign(700, 0x5A);
  reused[1].decoded = true;
  tkv::ParseAnchorFile(text.data(), text.size(), &reused);
  TKV_FUZZ_CHECK(reused.size() == blocks.size());
  for (size_t i = 0; i < blocks.size(); ++i) {
    TKV_FUZZ_CHECK(reused[i].begin == blocks[i].begin && reused[i].end == blocks[i].end &&
                   reused[i].decoded == blocks[i].decoded && reused[i].der == blocks[i].der);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckName(data, size);
  const std::vector<BYTE> text(data, data + size);
  CheckBlocks(text);
  TKV_FUZZ_CHECK(tkv::DecodeCertificateBlock(data, size) ==
                 tkv::DecodeCertificateBlockByPemReader(data, size));
  return 0;
}
