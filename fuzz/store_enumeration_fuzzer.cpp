// The removal scan over an anchors directory whose files hold any bytes:
// CertOpenStore with the tool's arguments, then CertEnumCertificatesInStore
// and CertGetNameStringW as store/trust_store.cpp calls them. The scan must
// end, hand out well-formed contexts, and leave the directory as it was.
// The same bytes, read as a refreshed bundle, must hold exactly the
// certificates the anchors' own reader finds in them.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/posix/cert/anchor_format.h"
#include "platform/posix/anchors/trust_bundle.h"
#include "platform/posix/wincrypt_posix.h"
#include "store/trust_store.h"

namespace {

constexpr DWORD kNameBufferSize = 4096;  // as store/trust_store.cpp starts with

std::string& Root() {
  static std::string root;
  return root;
}
std::string AnchorsDir() { return Root() + "/usr/local/share/ca-certificates"; }
std::string RefreshMarker() { return Root() + "/refresh-ran"; }

void Write(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out.flush()) tkv::fuzz::Fail(__FILE__, __LINE__, ("cannot write " + path).c_str());
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> DirectoryNames() {
  std::vector<std::string> names;
  DIR* dir = opendir(AnchorsDir().c_str());
  TKV_FUZZ_CHECK(dir != nullptr);
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::string AnchorName(size_t index) { return "anchor" + std::to_string(index) + ".crt"; }

void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(Root(), ignored);
}

// The same steps as the tool's name read: a fixed buffer first, the whole
// name when it may not have fitted.
bool ReadName(PCCERT_CONTEXT certificate, std::vector<WCHAR>* buffer) {
  buffer->assign(kNameBufferSize, L'#');
  DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                    buffer->data(), kNameBufferSize);
  TKV_FUZZ_CHECK(length <= kNameBufferSize);
  if (length == kNameBufferSize) {
    const DWORD needed = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0,
                                            nullptr, nullptr, 0);
    TKV_FUZZ_CHECK(needed >= kNameBufferSize);
    buffer->assign(needed, L'#');
    length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                buffer->data(), needed);
    TKV_FUZZ_CHECK(length == needed);
  }
  if (length == 0) {
    TKV_FUZZ_CHECK(GetLastError() == CRYPT_E_ASN1_CORRUPT);
    return false;
  }
  TKV_FUZZ_CHECK((*buffer)[length - 1] == L'\0');
  return true;
}

// The bundle check skips blocks by their first bytes; it must still agree
// with a full decode of every block, for every certificate in sight.
void CheckBundleReader(const std::vector<std::string>& texts) {
  std::vector<std::vector<std::vector<BYTE>>> found(texts.size());
  std::vector<std::vector<BYTE>> candidates;
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::vector<BYTE> bytes(texts[i].begin(), texts[i].end());
    for (const tkv::AnchorBlock& block : tkv::ParseAnchorFile(bytes)) {
      if (!block.decoded) continue;
      found[i].push_back(block.der);
      candidates.push_back(block.der);
    }
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    // A file without PEM is read whole as DER by the anchors' reader; a
    // bundle is PEM text.
    if (texts[i].find("-----BEGIN ") == std::string::npos) continue;
    const auto* text = reinterpret_cast<const BYTE*>(texts[i].data());
    for (const std::vector<BYTE>& der : candidates) {
      const bool expected = std::find(found[i].begin(), found[i].end(), der) != found[i].end();
      TKV_FUZZ_CHECK(tkv::BundleTextHolds(text, texts[i].size(), der) == expected);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/tkvcert-fuzz-root-XXXXXX";
  TKV_FUZZ_CHECK(mkdtemp(&pattern[0]) != nullptr);
  Root() = pattern;
  atexit(RemoveRoot);
  std::filesystem::create_directories(AnchorsDir());
  std::filesystem::create_directories(Root() + "/usr/sbin");
  std::filesystem::create_directories(Root() + "/etc");
  Write(Root() + "/etc/ca-certificates.conf", "");  // tells Debian's layout from others'
  // The store is found only where its refresh command is. A scan must never
  // run it; if one does, the mark it leaves is a finding.
  const std::string refresh = Root() + "/usr/sbin/update-ca-certificates";
  Write(refresh, "#!/bin/sh\n: > '" + RefreshMarker() + "'\nexit 0\n");
  TKV_FUZZ_CHECK(chmod(refresh.c_str(), 0755) == 0);
  TKV_FUZZ_CHECK(setenv("TKVCERT_SYSROOT", Root().c_str(), 1) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < tkv::fuzz::kMaxAnchorFiles; ++i) unlink((AnchorsDir() + "/" + AnchorName(i)).c_str());
  const std::vector<std::string> files = tkv::fuzz::SplitIntoFiles(data, size);
  std::vector<std::string> expected_names;
  for (size_t i = 0; i < files.size(); ++i) {
    Write(AnchorsDir() + "/" + AnchorName(i), files[i]);
    expected_names.push_back(AnchorName(i));
  }

  HCERTSTORE store = CertOpenStore(TKV_STORE_PROVIDER, TKV_STORE_ENCODING, TKV_STORE_CRYPT_PROV,
                                   TKV_STORE_FLAGS, TKV_STORE_NAME);
  TKV_FUZZ_CHECK(store != nullptr);
  std::vector<WCHAR> name;
  size_t contexts = 0;
  PCCERT_CONTEXT certificate = nullptr;
  while ((certificate = CertEnumCertificatesInStore(store, certificate)) != nullptr) {
    // Each certificate takes at least a byte of some file; more is a scan
    // that does not move on.
    TKV_FUZZ_CHECK(++contexts <= size + files.size());
    TKV_FUZZ_CHECK(certificate->pbCertEncoded != nullptr || certificate->cbCertEncoded == 0);
    TKV_FUZZ_CHECK(certificate->cbCertEncoded <= size);
    ReadName(certificate, &name);
  }
  TKV_FUZZ_CHECK(GetLastError() == CRYPT_E_NOT_FOUND);
  TKV_FUZZ_CHECK(CertCloseStore(store, 0));

  TKV_FUZZ_CHECK(DirectoryNames() == expected_names);
  for (size_t i = 0; i < files.size(); ++i) {
    TKV_FUZZ_CHECK(Read(AnchorsDir() + "/" + AnchorName(i)) == files[i]);
  }
  TKV_FUZZ_CHECK(access(RefreshMarker().c_str(), F_OK) != 0);
  std::vector<std::string> texts = files;
  texts.emplace_back(reinterpret_cast<const char*>(data), size);
  CheckBundleReader(texts);
  return 0;
}
