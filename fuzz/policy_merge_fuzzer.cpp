// A browser policy file's text, whatever an admin (or anyone who could write
// it) left there, through the two readers that parse it: the Firefox merge
// and the check for another Chromium file setting the tool's key. Neither may
// crash on it, however deep, large or badly encoded; a merged file must parse,
// load the module as Firefox reads it, and differ from the input only by the
// tool's entry; and a refusal must be for the reason it gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "platform/posix/browsers/chromium_policy.h"
#include "platform/posix/browsers/firefox_policy.h"
#include "platform/posix/browsers/policy_file.h"

namespace {

using Json = nlohmann::ordered_json;
using tkv::FirefoxMerge;

constexpr char kModule[] = "/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so";

// The deepest nesting of arrays and objects in JSON text, counted over the
// whole text, strings (and, with `comments`, comments) skipped: at least the
// depth the parser meets in whatever valid start the text has, and exactly
// that for valid text.
int TextDepth(const std::string& text, bool comments) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (comments && c == '/' && next == '/') {
      i = std::min(text.find_first_of("\n\r", i + 2), text.size());
    } else if (comments && c == '/' && next == '*') {
      const size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 1;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// The depth of a parsed document, walked without recursion.
int DocumentDepth(const Json& document) {
  int deepest = 0;
  std::vector<std::pair<const Json*, int>> pending = {{&document, 0}};
  while (!pending.empty()) {
    const auto [value, depth] = pending.back();
    pending.pop_back();
    if (!value->is_structured()) continue;
    deepest = std::max(deepest, depth + 1);
    for (const Json& child : *value) pending.emplace_back(&child, depth + 1);
  }
  return deepest;
}

// Parses text whose depth is known to be within the limit.
Json Parse(const std::string& text, bool comments) {
  return Json::parse(text, nullptr, /*allow_exceptions=*/false, comments);
}

// Where Firefox looks for devices: "Add" when "Add" or "Delete" is there,
// else every name straight under SecurityDevices. Null when there is none.
const Json* Devices(const Json& document) {
  if (!document.is_object() || !document.contains("policies")) return nullptr;
  const Json& policies = document["policies"];
  if (!policies.is_object() || !policies.contains("SecurityDevices")) return nullptr;
  const Json& devices = policies["SecurityDevices"];
  if (!devices.is_object()) return nullptr;
  if (!devices.contains("Add") && !devices.contains("Delete")) return &devices;
  if (!devices.contains("Add") || !devices["Add"].is_object()) return nullptr;
  return &devices["Add"];
}

bool LoadsModule(const Json& document) {
  const Json* devices = Devices(document);
  if (devices == nullptr) return false;
  for (const Json& path : *devices) {
    if (path.is_string() && path.get<std::string>() == kModule) return true;
  }
  return false;
}

// The document less the tool's entry, and less the objects on its way that
// are then empty (or null, which the merge replaces): what no merge may
// change.
Json WithoutOurEntry(Json document) {
  if (!document.is_object() || !document.contains("policies")) return document;
  Json& policies = document["policies"];
  if (policies.is_object() && policies.contains("SecurityDevices")) {
    Json& devices = policies["SecurityDevices"];
    if (devices.is_object()) {
      const bool new_form = devices.contains("Add") || devices.contains("Delete");
      if (!new_form) devices.erase(tkv::kFirefoxDeviceName);
      if (new_form && devices.contains("Add") && devices["Add"].is_object()) {
        devices["Add"].erase(tkv::kFirefoxDeviceName);
      }
      if (devices.contains("Add") && (devices["Add"].is_null() || devices["Add"].empty())) {
        devices.erase("Add");
      }
    }
    if (devices.is_null() || (devices.is_object() && devices.empty())) {
      policies.erase("SecurityDevices");
    }
  }
  if (policies.is_null() || (policies.is_object() && policies.empty())) document.erase("policies");
  return document;
}

void CheckFirefoxMerge(const std::string& text) {
  std::string merged = "untouched";
  const FirefoxMerge result = tkv::MergeFirefoxPolicies(text, kModule, &merged);
  TKV_FUZZ_CHECK((result == FirefoxMerge::kMerged) == (merged != "untouched"));
  if (result == FirefoxMerge::kTooDeep) {
    TKV_FUZZ_CHECK(TextDepth(text, /*comments=*/false) > tkv::kMaxPolicyDepth);
    return;
  }
  // The JSON library stops at a NUL byte as at the end of the text; the
  // browsers refuse it.
  const bool has_nul = text.find('\0') != std::string::npos;
  if (result == FirefoxMerge::kUnparseable) {
    TKV_FUZZ_CHECK(has_nul || (!text.empty() && !Json::accept(text)));
    return;
  }
  TKV_FUZZ_CHECK(!has_nul);
  // Parsed: the document was no deeper than the limit.
  const Json original = text.empty() ? Json::object() : Parse(text, false);
  TKV_FUZZ_CHECK(!original.is_discarded());
  TKV_FUZZ_CHECK(DocumentDepth(original) <= tkv::kMaxPolicyDepth);
  switch (result) {
    case FirefoxMerge::kUnchanged:
      TKV_FUZZ_CHECK(LoadsModule(original));
      return;
    case FirefoxMerge::kUnexpected:
      TKV_FUZZ_CHECK(!LoadsModule(original));
      return;
    default:
      break;
  }
  const Json written = Parse(merged, false);
  TKV_FUZZ_CHECK(written.is_object());
  TKV_FUZZ_CHECK(LoadsModule(written));
  TKV_FUZZ_CHECK(WithoutOurEntry(written) == WithoutOurEntry(original));
  // The next run finds its entry and writes nothing.
  std::string again = "untouched";
  TKV_FUZZ_CHECK(tkv::MergeFirefoxPolicies(merged, kModule, &again) == FirefoxMerge::kUnchanged);
}

void CheckChromiumKey(const std::string& text) {
  for (const char* key : tkv::kChromiumKeys) {
    const bool sets = tkv::SetsChromiumPolicyKey(text, key);
    const bool names_key = text.find(std::string("\"") + key + "\"") != std::string::npos;
    // Text too deep, or not JSON: judged by whether it names the key. Only
    // text within the limit is parsed here (a document 100,000 deep would
    // make the target crawl).
    if (text.find('\0') != std::string::npos || TextDepth(text, /*comments=*/true) > tkv::kMaxPolicyDepth) {
      TKV_FUZZ_CHECK(sets == names_key);
      continue;
    }
    const Json document = Parse(text, /*comments=*/true);
    if (document.is_discarded()) {
      TKV_FUZZ_CHECK(sets == names_key);
      continue;
    }
    TKV_FUZZ_CHECK(DocumentDepth(document) <= tkv::kMaxPolicyDepth);
    TKV_FUZZ_CHECK(sets == (document.is_object() && document.contains(key)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckFirefoxMerge(text);
  CheckChromiumKey(text);
  return 0;
}
