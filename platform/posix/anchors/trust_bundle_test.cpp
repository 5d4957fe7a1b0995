// The bundle check skips blocks by their first bytes; where the PEM reader
// would read a block otherwise, it must decode it in full and agree.
#include "platform/posix/anchors/trust_bundle.h"

#include <gtest/gtest.h>

#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

bool Holds(const std::string& text, const Bytes& der) {
  return BundleTextHolds(reinterpret_cast<const BYTE*>(text.data()), text.size(), der);
}

TEST(BundleTextHolds, AgreesWithThePemReader) {
  const Bytes wanted = MakeCertificate("Wanted CA", 1);
  const Bytes other = MakeCertificate("Other CA", 2);
  const std::string pem = ToPem(wanted);
  const std::string other_line = ToBase64(other).substr(0, 64) + "\n";
  const std::string body = pem.substr(pem.find('\n') + 1);
  std::string crlf;
  for (char ch : ToPem(other) + pem) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
  struct Case {
    const char* name;
    std::string text;
    bool holds;
  } cases[] = {
      {"among others", ToPem(other) + pem + ToPem(other), true},
      {"not there", ToPem(other) + ToPem(other), false},
      {"with CRLF line ends", crlf, true},
      // The reader passes over a BEGIN line with more after its dashes and
      // reads the next good one, whose body belongs to this block.
      {"after a BEGIN line with text after its dashes",
       "-----BEGIN CERTIFICATE----- trailing\n" + other_line + pem, true},
      // Lines before a blank one are headers to the reader: the body is
      // what follows the blank line.
      {"after a first line the reader takes for a header",
       "-----BEGIN CERTIFICATE-----\n" + other_line + "\n" + body, true},
      // A line of NULs reads as blank to it, too.
      {"after a line of NULs",
       "-----BEGIN CERTIFICATE-----\n" + other_line + std::string("\0\0\0\n", 4) + body, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Holds(c.text, wanted), c.holds);
  }
}

}  // namespace
}  // namespace tkv::testing
