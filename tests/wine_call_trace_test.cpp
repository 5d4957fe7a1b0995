// The Windows build, call by call: tkvcert.exe runs under Wine with the
// relay trace on, and the calls its own module makes into crypt32, into
// kernel32's GetLastError and into msvcrt (arguments, output, exit) are
// compared, in order and with their arguments, with a table for each
// scenario. What the API calls must be cannot be seen from the Linux build,
// whose certificate layer is our own; this is where it is checked.
//
// How the trace is narrowed. The prefix, which is this test's own, names in
// HKCU\Software\Wine\Debug the functions to trace (RelayInclude) and the
// modules whose calls are traced (RelayFromInclude: the tool's executables,
// and crypt32 so that the file its query opens shows), and only the tool's
// own run has WINEDEBUG=+relay. Of what is traced, only calls made from the
// executable's image are the tool's (each relay line gives the caller's
// address); what crypt32 calls inside them serves only to read a string
// argument that the relay shows as an address.
//
// Failures that Wine cannot be made to give by the environment come from
// probe builds: the tool's own objects linked with one crypt32 call changed
// (tests/trace_probe_*.cpp say which and why). A store that refuses to open
// needs no probe: its registry key is left readable only, as the machine's
// Root store is for a user who is not an administrator.
//
// Wine keeps deletions from the Root store in memory only, so a removal is
// checked by the calls it makes, never by the store afterwards.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/ci_skip.h"
#include "tests/support/sandbox.h"

namespace tkv::testing {
namespace {

// ---------------------------------------------------------------------------
// The relay trace.

// One argument as the relay prints it: the value, and for a string argument
// its text, escaped as Wine escapes it ("\n" stays backslash and n).
struct Arg {
  uint64_t value = 0;
  bool has_text = false;
  bool wide = false;
  std::string text;
};

struct RelayLine {
  bool is_call = false;  // else a return
  std::string name;      // "crypt32.CertOpenStore": module in lower case
  std::vector<Arg> args;
  uint64_t retval = 0;
  uint64_t caller = 0;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// "crypt32.CertOpenStore" with the module's letters as Wine prints them.
std::string CallName(const std::string& printed) {
  const size_t dot = printed.find('.');
  return Lower(printed.substr(0, dot)) + printed.substr(dot);
}

// Arguments: "0000000a,00000000,140026180" and string arguments as
// "1400263a0 L\"Error : %s\\n\"" (a string cut short ends in "...").
std::vector<Arg> ParseArgs(const std::string& text) {
  std::vector<Arg> args;
  size_t i = 0;
  while (i < text.size()) {
    Arg arg;
    const size_t hex_end = text.find_first_not_of("0123456789abcdefABCDEF", i);
    arg.value = std::stoull(text.substr(i, hex_end - i), nullptr, 16);
    i = hex_end == std::string::npos ? text.size() : hex_end;
    if (i < text.size() && text[i] == ' ') {
      ++i;
      if (text[i] == 'L') {
        arg.wide = true;
        ++i;
      }
      ++i;  // the opening quote
      const size_t start = i;
      while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
      arg.has_text = true;
      arg.text = text.substr(start, i - start);
      ++i;  // the closing quote
      while (i < text.size() && text[i] == '.') ++i;
    }
    args.push_back(arg);
    if (i < text.size() && text[i] == ',') ++i;
  }
  return args;
}

// "0024:Call crypt32.CertOpenStore(0000000a,...,140026180) ret=140001a27"
// "0024:Ret  crypt32.CertOpenStore() retval=010a9250 ret=140001a27"
std::vector<RelayLine> ParseRelay(const std::string& trace) {
  std::vector<RelayLine> lines;
  std::istringstream in(trace);
  for (std::string text; std::getline(in, text);) {
    const size_t call = text.find(":Call ");
    const size_t ret = text.find(":Ret  ");
    const size_t caller = text.rfind(" ret=");
    if ((call != 4 && ret != 4) || caller == std::string::npos) continue;
    RelayLine line;
    line.is_call = call == 4;
    const size_t name_start = 10;
    const size_t open = text.find('(', name_start);
    if (open == std::string::npos) continue;
    const std::string name = text.substr(name_start, open - name_start);
    if (name.find('.') == std::string::npos || name.find(' ') != std::string::npos) continue;
    line.name = CallName(name);
    line.caller = std::stoull(text.substr(caller + 5), nullptr, 16);
    if (line.is_call) {
      line.args = ParseArgs(text.substr(open + 1, caller - 1 - (open + 1)));
    } else {
      const size_t retval = text.find(" retval=", open);
      if (retval == std::string::npos) continue;
      line.retval = std::stoull(text.substr(retval + 8), nullptr, 16);
    }
    lines.push_back(line);
  }
  return lines;
}

// ---------------------------------------------------------------------------
// The executable's image: its size, and the strings it holds, for arguments
// that point into it (the store's name) and that the relay prints as
// addresses.

class PeImage {
 public:
  explicit PeImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const uint32_t pe = U32(0x3c);
    const uint32_t sections = U16(pe + 6);
    const uint32_t optional = pe + 24;
    size_ = U32(optional + 56);
    for (uint32_t s = 0; s < sections; ++s) {
      const uint32_t at = optional + U16(pe + 20) + s * 40;
      sections_.push_back({U32(at + 12), U32(at + 8), U32(at + 20), U32(at + 16)});
    }
  }
  uint32_t size() const { return size_; }

  // The UTF-16 string at an offset into the loaded image, escaped as the
  // relay escapes strings, or "" when the offset is in no section's data.
  std::string WideStringAt(uint64_t offset) const {
    for (const Section& s : sections_) {
      if (offset < s.address || offset >= s.address + std::min(s.virtual_size, s.raw_size))
        continue;
      std::string text;
      for (size_t at = s.raw + (offset - s.address); at + 1 < bytes_.size(); at += 2) {
        const unsigned c = static_cast<unsigned char>(bytes_[at]) |
                           static_cast<unsigned>(static_cast<unsigned char>(bytes_[at + 1])) << 8;
        if (c == 0) return text;
        text += Escaped(c);
      }
    }
    return "";
  }

 private:
  struct Section {
    uint64_t address, virtual_size, raw, raw_size;
  };
  static std::string Escaped(unsigned c) {
    switch (c) {
      case '\n':
        return "\\n";
      case '\r':
        return "\\r";
      case '\t':
        return "\\t";
      case '"':
        return "\\\"";
      case '\\':
        return "\\\\";
      default:
        break;
    }
    if (c >= 0x20 && c < 0x7f) return std::string(1, static_cast<char>(c));
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\x%04x", c);
    return escaped;
  }
  uint32_t U16(size_t at) const {
    return static_cast<unsigned char>(bytes_.at(at)) | static_cast<unsigned char>(bytes_.at(at + 1))
                                                           << 8;
  }
  uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }

  std::string bytes_;
  uint32_t size_ = 0;
  std::vector<Section> sections_;
};

// ---------------------------------------------------------------------------
// The tool's calls, as the tables name them.

struct Call {
  std::string name;
  std::vector<Arg> args;
  bool returned = false;
  uint64_t retval = 0;
  // Strings that calls made inside this one were given, by address: the
  // file name crypt32's query passes on when it opens the file.
  std::map<uint64_t, Arg> inner_strings;
};

// The tool's output, whatever msvcrt functions make it, is one step a
// line: write(L"<wide format>") or write("<narrow format or line>"). A
// wide line is formatted with _vsnwprintf and written with fwrite (so that a
// character the code page cannot carry does not end it); the write is the
// fwrite, named by the format it was made from.
std::vector<Call> WithOutputAsWrites(const std::vector<Call>& calls) {
  std::vector<Call> steps;
  Arg pending;
  auto write = [&steps](Arg text) {
    Call call;
    call.name = "write";
    call.args = {text};
    steps.push_back(call);
  };
  for (const Call& call : calls) {
    const std::string& name = call.name;
    if (name == "msvcrt.vwprintf" || name == "msvcrt.wprintf" || name == "msvcrt.vprintf" ||
        name == "msvcrt.printf") {
      write(call.args.at(0));
    } else if (name == "msvcrt.puts") {
      Arg line = call.args.at(0);
      line.text += "\\n";
      write(line);
    } else if (name == "msvcrt._vsnwprintf") {
      pending = call.args.at(2);
    } else if (name == "msvcrt.fwrite") {
      write(pending);
      pending = Arg();
    } else {
      steps.push_back(call);
    }
  }
  return steps;
}

// The calls made from the executable's image, in order; calls made inside
// them from elsewhere (crypt32's own) are dropped but for the strings they
// show.
std::vector<Call> ToolCalls(const std::vector<RelayLine>& lines, uint64_t base, uint64_t size) {
  std::vector<Call> calls;
  std::vector<size_t> open;  // the tool's calls that have not returned
  for (const RelayLine& line : lines) {
    const bool from_tool = line.caller >= base && line.caller < base + size;
    if (line.is_call && from_tool) {
      Call call;
      call.name = line.name;
      call.args = line.args;
      open.push_back(calls.size());
      calls.push_back(call);
    } else if (line.is_call && !open.empty()) {
      for (const Arg& arg : line.args) {
        if (arg.has_text) calls[open.back()].inner_strings[arg.value] = arg;
      }
    } else if (!line.is_call && from_tool) {
      while (!open.empty() && calls[open.back()].name != line.name) open.pop_back();
      if (open.empty()) continue;
      calls[open.back()].returned = true;
      calls[open.back()].retval = line.retval;
      open.pop_back();
    }
  }
  return WithOutputAsWrites(calls);
}

std::string Render(const Call& call) {
  std::string text = call.name + "(";
  for (size_t i = 0; i < call.args.size(); ++i) {
    char value[24];
    snprintf(value, sizeof value, "%#llx", static_cast<unsigned long long>(call.args[i].value));
    if (i > 0) text += ", ";
    const Arg& arg = call.args[i];
    if (call.name != "write") text += value;
    if (arg.has_text)
      text += std::string(call.name == "write" ? "" : " ") + (arg.wide ? "L\"" : "\"") + arg.text +
              "\"";
  }
  text += ")";
  if (call.returned) {
    char value[24];
    snprintf(value, sizeof value, " -> %#llx", static_cast<unsigned long long>(call.retval));
    text += value;
  }
  return text;
}

// ---------------------------------------------------------------------------
// The tables, and matching a trace against one.
//
// A step reads as the call it stands for: "module.Function(arg, ...) -> ret".
// An argument is
//   *            anything
//   ptr, NULL    any non-zero value, zero
//   4, 0x3ffe    that number
//   L"Root"      a pointer to that text ("..." for narrow text), as the relay
//                shows it, or as the executable's image or a call made
//                inside this one shows what the address holds
//   $store       the value bound to the name, NULL while it is unbound
//   @cert        any non-zero value, bound to the name
// and the result (after " -> ", anything when left out) is a number, !0 for
// any non-zero value, or $name for a non-zero value bound to the name.
// Each({...}) is a group of steps that comes any number of times, zero
// included.

struct Expected {
  std::string source;
  std::string name;
  std::vector<std::string> args;
  std::string result;
};

Expected ParseExpected(const std::string& source) {
  Expected e;
  e.source = source;
  const size_t open = source.find('(');
  const size_t close = source.rfind(')');
  e.name = source.substr(0, open);
  const size_t arrow = source.find(" -> ", close);
  if (arrow != std::string::npos) e.result = source.substr(arrow + 4);
  const std::string args = source.substr(open + 1, close - open - 1);
  size_t i = 0;
  while (i < args.size()) {
    size_t end = i;
    while (end < args.size() && args[end] != ',') {
      if (args[end] == '"') {
        for (++end; end < args.size() && args[end] != '"'; end += args[end] == '\\' ? 2 : 1) {
        }
      }
      ++end;
    }
    e.args.push_back(args.substr(i, end - i));
    i = end + 1;
    while (i < args.size() && args[i] == ' ') ++i;
  }
  return e;
}

struct Step {
  std::string call;                // one call, or
  std::vector<std::string> group;  // a group that comes any number of times
};

Step Each(std::vector<std::string> group) { return Step{"", std::move(group)}; }

using Bindings = std::map<std::string, uint64_t>;

class Matcher {
 public:
  Matcher(const std::vector<Call>& calls, const PeImage& image, uint64_t base)
      : calls_(calls), image_(image), base_(base) {}

  bool Matches(const std::vector<Step>& steps) {
    steps_.clear();
    for (const Step& step : steps) {
      std::vector<Expected> parsed;
      if (step.group.empty()) parsed.push_back(ParseExpected(step.call));
      for (const std::string& s : step.group) parsed.push_back(ParseExpected(s));
      steps_.push_back({!step.group.empty(), parsed});
    }
    return Match(0, 0, Bindings());
  }

  // Where the match got furthest before it failed, for the report.
  std::string Failure() const {
    std::ostringstream out;
    out << "the calls match the table up to call #" << furthest_ << ", where the table asks for\n  "
        << furthest_expected_ << "\nbut the trace has\n  "
        << (furthest_ < calls_.size() ? Render(calls_[furthest_]) : "no more calls") << "\n";
    return out.str();
  }

 private:
  struct ParsedStep {
    bool repeated;
    std::vector<Expected> calls;
  };

  std::string TextAt(const Call& call, const Arg& arg) const {
    if (arg.has_text) return (arg.wide ? "L\"" : "\"") + arg.text + "\"";
    const auto inner = call.inner_strings.find(arg.value);
    if (inner != call.inner_strings.end()) {
      return (inner->second.wide ? "L\"" : "\"") + inner->second.text + "\"";
    }
    if (arg.value >= base_ && arg.value < base_ + image_.size()) {
      return "L\"" + image_.WideStringAt(arg.value - base_) + "\"";
    }
    return "";
  }

  bool MatchArg(const std::string& token, const Call& call, const Arg& arg, Bindings* bound) const {
    if (token == "*") return true;
    if (token == "ptr") return arg.value != 0;
    if (token == "NULL") return arg.value == 0;
    if (token[0] == '$') return arg.value == (bound->count(token) ? bound->at(token) : 0);
    if (token[0] == '@') {
      (*bound)["$" + token.substr(1)] = arg.value;
      return arg.value != 0;
    }
    if (token[0] == '"' || token[0] == 'L') return TextAt(call, arg) == token;
    // A number of the table is a DWORD or flags: the low half of its slot.
    // Passed on the stack (the fifth argument on), its high half is whatever
    // the caller's stack held, which the relay trace prints too.
    const uint64_t wanted = std::stoull(token, nullptr, 0);
    return wanted <= 0xFFFFFFFFu ? (arg.value & 0xFFFFFFFFu) == wanted : arg.value == wanted;
  }

  bool MatchCall(const Expected& e, const Call& call, Bindings* bound) const {
    if (e.name != call.name || e.args.size() != call.args.size()) return false;
    for (size_t i = 0; i < e.args.size(); ++i) {
      if (!MatchArg(e.args[i], call, call.args[i], bound)) return false;
    }
    if (e.result.empty() || e.result == "*") return true;
    if (!call.returned) return false;
    if (e.result == "!0") return call.retval != 0;
    if (e.result[0] == '$') {
      (*bound)[e.result] = call.retval;
      return call.retval != 0;
    }
    return call.retval == std::stoull(e.result, nullptr, 0);
  }

  void Note(size_t at, const Expected& e) {
    if (at >= furthest_) {
      furthest_ = at;
      furthest_expected_ = e.source;
    }
  }

  bool Match(size_t step, size_t at, Bindings bound) {
    if (step == steps_.size()) {
      if (at == calls_.size()) return true;
      Note(at, Expected{"(no more calls)", "", {}, ""});
      return false;
    }
    const ParsedStep& s = steps_[step];
    if (!s.repeated) {
      if (at < calls_.size() && MatchCall(s.calls[0], calls_[at], &bound)) {
        return Match(step + 1, at + 1, bound);
      }
      Note(at, s.calls[0]);
      return false;
    }
    // As many rounds of the group as the calls allow, then fewer.
    std::vector<std::pair<size_t, Bindings>> rounds = {{at, bound}};
    for (;;) {
      size_t next = rounds.back().first;
      Bindings after = rounds.back().second;
      bool whole = true;
      for (const Expected& e : s.calls) {
        if (next >= calls_.size() || !MatchCall(e, calls_[next], &after)) {
          Note(next, e);
          whole = false;
          break;
        }
        ++next;
      }
      if (!whole) break;
      rounds.push_back({next, after});
    }
    for (auto round = rounds.rbegin(); round != rounds.rend(); ++round) {
      if (Match(step + 1, round->first, round->second)) return true;
    }
    return false;
  }

  const std::vector<Call>& calls_;
  const PeImage& image_;
  uint64_t base_;
  std::vector<ParsedStep> steps_;
  size_t furthest_ = 0;
  std::string furthest_expected_;
};

// ---------------------------------------------------------------------------
// Running the tool under Wine, on this test's prefix.

const char* const kTraced =
    "crypt32.*;kernel32.GetLastError;kernel32.CreateFileW;msvcrt.__wgetmainargs;"
    "msvcrt.vwprintf;msvcrt.wprintf;msvcrt.vprintf;msvcrt.printf;msvcrt.puts;"
    "msvcrt._vsnwprintf;msvcrt.fwrite;msvcrt.exit";
const char* const kTool = "tkvcert.exe";
const char* const kReadOnlyStoreProbe = "tkvcert_readonly_store.exe";
const char* const kUnreadableNameProbe = "tkvcert_unreadable_name.exe";
const char* const kRootKey = "Software\\Microsoft\\SystemCertificates\\Root";

std::string Env(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? "" : value;
}

std::string WindowsDir() { return Env("TKVCERT_TRACE_WINDOWS_DIR"); }

std::string Hex(unsigned char byte) {
  char text[3];
  snprintf(text, sizeof text, "%02X", byte);
  return text;
}

std::string Thumbprint(const Bytes& der) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(der.data(), der.size(), digest, &size, EVP_sha1(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) hex += Hex(digest[i]);
  return hex;
}

RunResult Wine(const std::vector<std::string>& args, const std::string& cwd = "") {
  std::vector<std::string> argv = {"wine"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, cwd);
}

std::string WithUnixLineEnds(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  }
  return out;
}

constexpr int kTimedOut = 124;  // timeout(1)'s status

// At most the start of a long text, for a failure's message.
std::string Shown(const std::string& text) {
  return text.size() <= 2000
             ? text
             : text.substr(0, 2000) + "... (" + std::to_string(text.size()) + " bytes)";
}

struct Traced {
  RunResult run;
  std::vector<Call> calls;
  uint64_t base = 0;
};

Traced RunTraced(const std::string& program, const std::vector<std::string>& args,
                 const std::string& cwd) {
  const std::string exe = WindowsDir() + "/" + program;
  // A run that never ends (a scan that loops) fails here, not at the
  // test's time limit: a whole run takes well under a second.
  std::vector<std::string> argv = {"timeout", "20", "env", "WINEDEBUG=+relay,+loaddll",
                                   "wine",    exe};
  argv.insert(argv.end(), args.begin(), args.end());
  Traced traced;
  traced.run = RunProgram(argv, cwd);
  traced.run.out = WithUnixLineEnds(traced.run.out);
  if (traced.run.status == kTimedOut) return traced;
  // "...:build_module Loaded L\"Z:\\...\\tkvcert.exe\" at 0000000140000000: native"
  const std::string loaded = "\\\\" + program + "\" at ";
  const size_t at = traced.run.err.find(loaded);
  if (at == std::string::npos) return traced;
  traced.base = std::stoull(traced.run.err.substr(at + loaded.size()), nullptr, 16);
  const PeImage image(exe);
  traced.calls = ToolCalls(ParseRelay(traced.run.err), traced.base, image.size());
  return traced;
}

// One run of the tool, and every call it must make, in order.
struct Scenario {
  const char* name;
  std::vector<std::string> args;
  std::vector<Step> calls;
  std::string out;  // standard output, checked when given
  int status;
  const char* program = kTool;
  std::vector<Bytes> store = {};  // put in the store first
  bool store_read_only = false;   // its registry key readable only
};

class WineCallTrace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (WindowsDir().empty()) return;
    setenv("WINEPREFIX", Env("TKVCERT_TRACE_WINEPREFIX").c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    ASSERT_EQ(RunProgram({WINE_PREFIX_SETUP, Env("WINEPREFIX")}).status, 0);
    // Kept running between the runs: a server started by a traced run would
    // start Wine's services traced too.
    ASSERT_EQ(RunProgram({"wineserver", "-p30"}).status, 0);
    const std::string debug_key = "HKCU\\Software\\Wine\\Debug";
    std::string from =
        std::string(kTool) + ";" + kReadOnlyStoreProbe + ";" + kUnreadableNameProbe + ";crypt32";
    ASSERT_EQ(Wine({"reg", "add", debug_key, "/v", "RelayInclude", "/d", kTraced, "/f"}).status, 0);
    ASSERT_EQ(Wine({"reg", "add", debug_key, "/v", "RelayFromInclude", "/d", from, "/f"}).status,
              0);
    ASSERT_EQ(
        Wine({"reg", "add", "HKLM\\" + std::string(kRootKey) + "\\Certificates", "/f"}).status, 0);
    const RunResult acl = Wine({WindowsDir() + "/registry_key_dacl.exe", kRootKey});
    ASSERT_EQ(acl.status, 0) << acl.err;
    root_key_acl_ = acl.out.substr(0, acl.out.find_first_of("\r\n"));
  }

  static void TearDownTestSuite() {
    if (!WindowsDir().empty()) RunProgram({"wineserver", "-k"});
  }

  void SetUp() override {
    if (WindowsDir().empty()) TKV_SKIP("TKVCERT_TRACE_WINDOWS_DIR names no Windows build");
  }

  void Check(const Scenario& s) {
    SCOPED_TRACE(s.name);
    for (const Bytes& der : s.store) Remember(der);
    if (s.store_read_only) {
      ASSERT_EQ(Wine({WindowsDir() + "/registry_key_dacl.exe", kRootKey, "D:(A;;KR;;;WD)"}).status,
                0);
    }
    const Traced traced = RunTraced(s.program, s.args, files_.path());
    if (s.store_read_only) {
      EXPECT_EQ(Wine({WindowsDir() + "/registry_key_dacl.exe", kRootKey, root_key_acl_}).status, 0);
    }
    // Deletions are not kept by Wine; installs are: the next scenario starts
    // from the store as it was.
    for (const Bytes& der : installed_) Forget(der);
    for (const Bytes& der : s.store) Forget(der);

    ASSERT_NE(traced.run.status, kTimedOut) << "the run did not end; its output began:\n"
                                            << Shown(traced.run.out);
    ASSERT_NE(traced.base, 0u) << "no trace of " << s.program << ":\n" << Shown(traced.run.err);
    const PeImage image(WindowsDir() + "/" + s.program);
    Matcher matcher(traced.calls, image, traced.base);
    std::string calls;
    for (size_t i = 0; i < traced.calls.size() && i < 1000; ++i) {
      calls += "  #" + std::to_string(i) + " " + Render(traced.calls[i]) + "\n";
    }
    EXPECT_TRUE(matcher.Matches(s.calls)) << matcher.Failure() << "the calls:\n" << calls;
    if (!s.out.empty()) {
      EXPECT_TRUE(traced.run.out == s.out) << "standard output:\n"
                                           << Shown(traced.run.out) << "\nexpected:\n"
                                           << s.out;
    }
    EXPECT_EQ(traced.run.status, s.status);
  }

  // Files the tool reads, in the directory it runs in.
  void Put(const std::string& name, const std::string& contents) {
    WriteFile(files_.File(name), contents);
  }
  void PutInstalled(const std::string& name, const Bytes& der) {
    Put(name, ToPem(der));
    installed_.push_back(der);
  }

  // Puts a certificate in the store as Wine keeps it, without the tool: a
  // serialized element holding only the certificate (property 32), under
  // its thumbprint.
  static void Remember(const Bytes& der) {
    std::string blob;
    auto put32 = [&blob](uint32_t value) {  // little-endian
      for (int i = 0; i < 4; ++i) blob += Hex(static_cast<unsigned char>(value >> (8 * i)));
    };
    put32(32);  // CERT_CERT_PROP_ID
    put32(1);
    put32(static_cast<uint32_t>(der.size()));
    for (unsigned char b : der) blob += Hex(b);
    const std::string key = "HKLM\\" + std::string(kRootKey) + "\\Certificates\\" + Thumbprint(der);
    ASSERT_EQ(Wine({"reg", "add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", blob, "/f"}).status,
              0);
  }

  static void Forget(const Bytes& der) {
    Wine({"reg", "delete", "HKLM\\" + std::string(kRootKey) + "\\Certificates\\" + Thumbprint(der),
          "/f"});
  }

  TempDir files_;
  std::vector<Bytes> installed_;  // certificates an install scenario may leave
  static std::string root_key_acl_;
};

std::string WineCallTrace::root_key_acl_;

// ---------------------------------------------------------------------------
// What each scenario must call.

const std::string kArguments = "msvcrt.__wgetmainargs(ptr, ptr, ptr, 0, ptr)";  // no wildcards
const std::string kOpenStore = R"(crypt32.CertOpenStore(10, 0, 0, 0x24000, L"Root"))";
std::string Query(const std::string& file) {
  return R"(crypt32.CryptQueryObject(1, L")" + file +
         R"(", 0x3ffe, 0xe, 0, NULL, ptr, NULL, NULL, NULL, ptr))";
}
const std::vector<Step> kUsage = {
    {R"(write("%s TKV proxy certificate management utility.\nUsage:\n"))"},
    {R"(write("- %s /install <filename>\n\tInstall TKV CA certificate to trust store\n"))"},
    {R"(write("- %s /uninstall <subject>\n\tRemove TKV CA certificate from trust store\n"))"},
    {"msvcrt.exit(1)"},
};
// An error line, then the last error: read only once the line is out.
const std::vector<Step> kErrorWithCode = {
    {R"(write(L"Error : %s\n"))"}, {"kernel32.GetLastError()"}, {R"(write(L"LastError: 0x%x\n"))"}};
// Every certificate before the one that matters: enumerated after the one
// before it, named, passed over.
const Step kEachOtherCertificate = Each({
    "crypt32.CertEnumCertificatesInStore($store, $cert) -> $cert",
    "crypt32.CertGetNameStringW($cert, 4, 0, NULL, ptr, 4096) -> !0",
});
const std::string kNextCertificate = "crypt32.CertEnumCertificatesInStore($store, $cert) -> $cert";
const std::string kReadName = "crypt32.CertGetNameStringW($cert, 4, 0, NULL, ptr, 4096)";
const std::string kEndOfStore = "crypt32.CertEnumCertificatesInStore($store, $cert) -> 0";

std::vector<Step> Join(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> steps;
  for (const std::vector<Step>& part : parts) steps.insert(steps.end(), part.begin(), part.end());
  return steps;
}

TEST_F(WineCallTrace, CommandLineFetchesWideArgumentsOnlyPastTheCount) {
  const Scenario scenarios[] = {
      {"too few arguments: the usage text, nothing fetched", {"/install"}, kUsage, "", 1},
      {"a file name before any command: fetched, then the usage text",
       {"ca.pem", "/install"},
       Join({{{kArguments}}, kUsage}),
       "",
       1},
  };
  for (const Scenario& s : scenarios) Check(s);
}

TEST_F(WineCallTrace, InstallReleasesTheCertificateBeforeClosingTheStore) {
  const Bytes cert = MakeCertificate("Trace Install CA");
  PutInstalled("ca.pem", cert);
  Put("crl.pem", ToPem(MakeCrl(), "X509 CRL"));
  Put("bundle.p7b", Text(MakePkcs7(cert)));
  const std::string done = R"(write(L"Done importing [%s]\n"))";
  const Scenario scenarios[] = {
      {"installed",
       {"/install", "ca.pem"},
       {{kArguments},
        {Query("ca.pem") + " -> !0"},
        {kOpenStore + " -> $store"},
        {"crypt32.CertAddCertificateContextToStore($store, @cert, 4, NULL) -> !0"},
        {"crypt32.CertFreeCertificateContext($cert)"},
        {"crypt32.CertCloseStore($store, 0)"},
        {done},
        {"msvcrt.exit(0)"}},
       "Done importing [ca.pem]\n",
       0},
      {"a missing file: no store is opened",
       {"/install", "missing.pem"},
       Join({{{kArguments}, {Query("missing.pem") + " -> 0"}},
             kErrorWithCode,
             {{done}, {"msvcrt.exit(1)"}}}),
       "Error : CryptQueryObject failed\nLastError: 0x80092009\nDone importing [missing.pem]\n",
       1},
      {"a CRL: its context released as a CRL's, no store opened",
       {"/install", "crl.pem"},
       {{kArguments},
        {Query("crl.pem") + " -> !0"},
        {"crypt32.CertFreeCRLContext(ptr)"},
        {R"(write(L"Error : %s\n"))"},
        {done},
        {"msvcrt.exit(1)"}},
       "Error : File content is not a certificate\nDone importing [crl.pem]\n",
       1},
      {"a PKCS#7 bundle: no context to release, no store opened",
       {"/install", "bundle.p7b"},
       {{kArguments},
        {Query("bundle.p7b") + " -> !0"},
        {R"(write(L"Error : %s\n"))"},
        {done},
        {"msvcrt.exit(1)"}},
       "Error : File content is not a certificate\nDone importing [bundle.p7b]\n",
       1},
      {"a store this user may only read: the open fails, the certificate is still released",
       {"/install", "ca.pem"},
       Join({{{kArguments}, {Query("ca.pem") + " -> !0"}, {kOpenStore + " -> 0"}},
             kErrorWithCode,
             {{"crypt32.CertFreeCertificateContext(ptr)"}, {done}, {"msvcrt.exit(1)"}}}),
       "Error : Failed to open store\nLastError: 0x5\nDone importing [ca.pem]\n",
       1,
       kTool,
       {},
       true},
      // The probe opens the store read-only (0x8000 added to the flags).
      {"a store opened read-only: the add fails, then release, then close",
       {"/install", "ca.pem"},
       Join({{{kArguments},
              {Query("ca.pem") + " -> !0"},
              {R"(crypt32.CertOpenStore(10, 0, 0, 0x2c000, L"Root") -> $store)"},
              {"crypt32.CertAddCertificateContextToStore($store, @cert, 4, NULL) -> 0"}},
             kErrorWithCode,
             {{"crypt32.CertFreeCertificateContext($cert)"},
              {"crypt32.CertCloseStore($store, 0)"},
              {done},
              {"msvcrt.exit(1)"}}}),
       "Error : Failed to add certificate to store\nLastError: 0x80070005\nDone importing "
       "[ca.pem]\n",
       1,
       kReadOnlyStoreProbe},
  };
  for (const Scenario& s : scenarios) Check(s);
}

TEST_F(WineCallTrace, RemovalScansInOrderAndClosesTheStoreBeforeAFatalExit) {
  const std::string removing = R"(write(L"Removing certificate : %s \n"))";
  const std::string removed = R"(write("The certificate has been removed.\n"))";
  const std::string done = R"(write(L"Done removing [%s]\n"))";
  const std::string long_name(4096, 'L');  // one more than the buffer holds with its terminator
  const std::string full_name(4095, 'F');  // with its terminator, the whole buffer
  // Removed, whatever the name's length: how the name was read differs.
  auto removal = [&](std::vector<Step> read_name) {
    return Join(
        {{{kArguments}, {kOpenStore + " -> $store"}, kEachOtherCertificate, {kNextCertificate}},
         read_name,
         {{removing},
          {"crypt32.CertDeleteCertificateFromStore($cert) -> !0"},
          {removed},
          {"crypt32.CertCloseStore($store, 0)"},
          {done},
          {"msvcrt.exit(0)"}}});
  };
  const Scenario scenarios[] = {
      {"a match: deleted, and the scan ends there",
       {"/uninstall", "Trace Removal CA"},
       removal({{kReadName + " -> !0"}}),
       "Removing certificate : Trace Removal CA \nThe certificate has been removed.\n"
       "Done removing [Trace Removal CA]\n",
       0,
       kTool,
       {MakeCertificate("Trace Removal CA")}},
      {"no match: every certificate named, then the store closed",
       {"/uninstall", "Nobody"},
       {{kArguments},
        {kOpenStore + " -> $store"},
        kEachOtherCertificate,
        {kEndOfStore},
        {"crypt32.CertCloseStore($store, 0)"},
        {done},
        {"msvcrt.exit(0)"}},
       "Done removing [Nobody]\n",
       0},
      {"a name longer than the buffer: its size asked, then read whole",
       {"/uninstall", long_name},
       removal({{kReadName + " -> 4096"},
                {"crypt32.CertGetNameStringW($cert, 4, 0, NULL, NULL, 0) -> 4097"},
                {"crypt32.CertGetNameStringW($cert, 4, 0, NULL, ptr, 4097) -> 4097"}}),
       "Removing certificate : " + long_name +
           " \nThe certificate has been removed.\nDone removing [" + long_name + "]\n",
       0,
       kTool,
       {MakeCertificate(long_name)}},
      {"a name that fills the buffer exactly: its size asked, no second read",
       {"/uninstall", full_name},
       removal({{kReadName + " -> 4096"},
                {"crypt32.CertGetNameStringW($cert, 4, 0, NULL, NULL, 0) -> 4096"}}),
       "Removing certificate : " + full_name +
           " \nThe certificate has been removed.\nDone removing [" + full_name + "]\n",
       0,
       kTool,
       {MakeCertificate(full_name)}},
      // The probe fails the name of any certificate named "Unreadable...":
      // one warning, after the first; the second passes without one.
      {"names that cannot be read: one warning, and the scan goes on",
       {"/uninstall", "Nobody"},
       Join({{{kArguments},
              {kOpenStore + " -> $store"},
              kEachOtherCertificate,
              {kNextCertificate},
              {kReadName}},
             {{R"(write(L"Warning : %s\n"))"},
              {"kernel32.GetLastError()"},
              {R"(write(L"LastError: 0x%x\n"))"}},
             {kEachOtherCertificate,
              {kEndOfStore},
              {"crypt32.CertCloseStore($store, 0)"},
              {done},
              {"msvcrt.exit(0)"}}}),
       "Warning : Get certificate name failed.Continuing...\nLastError: 0x80093103\nDone removing "
       "[Nobody]\n",
       0,
       kUnreadableNameProbe,
       {MakeCertificate("Unreadable One", 1), MakeCertificate("Unreadable Two", 2)}},
      // The probe opens the store read-only: crypt32 refuses the deletion.
      {"the deletion fails: the store closed, the error, its code, the end",
       {"/uninstall", "Trace Removal CA"},
       Join({{{kArguments},
              {R"(crypt32.CertOpenStore(10, 0, 0, 0x2c000, L"Root") -> $store)"},
              kEachOtherCertificate,
              {removing},
              {"crypt32.CertDeleteCertificateFromStore($cert) -> 0"},
              {"crypt32.CertCloseStore($store, 0)"}},
             kErrorWithCode,
             {{"msvcrt.exit(1)"}}}),
       "Removing certificate : Trace Removal CA \nError : The deletion of the certificate failed.\n"
       "LastError: 0x5\n",
       1,
       kReadOnlyStoreProbe,
       {MakeCertificate("Trace Removal CA")}},
      {"a store this user may only read: the open fails, nothing examined",
       {"/uninstall", "Nobody"},
       Join({{{kArguments}, {kOpenStore + " -> 0"}}, kErrorWithCode, {{done}, {"msvcrt.exit(1)"}}}),
       "Error : Failed to open store.\nLastError: 0x5\nDone removing [Nobody]\n",
       1,
       kTool,
       {},
       true},
  };
  for (const Scenario& s : scenarios) Check(s);
}

}  // namespace
}  // namespace tkv::testing
