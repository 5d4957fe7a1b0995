// Reading files whole, sized by fstat(), and refusing what is not a regular
// file, whether it was looked at before opening or only after.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/file_reader.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

using Reader = DWORD (*)(const std::string&, size_t, std::vector<BYTE>*);

struct NamedReader {
  const char* name;
  Reader read;
};

const NamedReader kReaders[] = {{"ReadRegularFile", ReadRegularFile},
                                {"ReadListedRegularFile", ReadListedRegularFile}};

TEST(FileReader, ReadsFilesOfEverySizeWholeUpToTheLimit) {
  TempDir dir;
  constexpr size_t kLimit = 4096;
  for (size_t size : {size_t{0}, size_t{1}, size_t{717}, kLimit - 1, kLimit}) {
    std::string text(size, 'x');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
    const std::string path = dir.File("f" + std::to_string(size));
    WriteFile(path, text);
    for (const NamedReader& reader : kReaders) {
      SCOPED_TRACE(std::string(reader.name) + ", " + std::to_string(size) + " bytes");
      std::vector<BYTE> contents(3, 'z');  // stale contents are replaced, not appended to
      ASSERT_EQ(reader.read(path, kLimit, &contents), static_cast<DWORD>(ERROR_SUCCESS));
      EXPECT_EQ(Text(contents), text);
    }
  }
}

TEST(FileReader, RefusesAFileOverTheLimit) {
  TempDir dir;
  WriteFile(dir.File("big"), std::string(4097, 'x'));
  for (const NamedReader& reader : kReaders) {
    SCOPED_TRACE(reader.name);
    std::vector<BYTE> contents;
    EXPECT_EQ(reader.read(dir.File("big"), 4096, &contents),
              static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
  }
}

// fstat() gives 0 for these, yet they have contents: read to the end.
TEST(FileReader, ReadsAPseudoFileThatFstatCannotSize) {
  for (const NamedReader& reader : kReaders) {
    SCOPED_TRACE(reader.name);
    std::vector<BYTE> contents;
    ASSERT_EQ(reader.read("/proc/self/status", 1 << 20, &contents),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::string text = Text(contents);
    EXPECT_NE(text.find("Name:"), std::string::npos);
    EXPECT_NE(text.find("VmPeak:"), std::string::npos) << "cut short: " << text.size() << " bytes";
  }
}

TEST(FileReader, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  struct Case {
    std::string path;
    DWORD code;
  };
  const Case cases[] = {
      {dir.File("sub"), ERROR_ACCESS_DENIED},
      {dir.File("fifo"), ERROR_NOT_SUPPORTED},  // no writer: a blocking open would hang
      {"/dev/null", ERROR_NOT_SUPPORTED},
      {dir.File("missing"), ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    for (const NamedReader& reader : kReaders) {
      SCOPED_TRACE(std::string(reader.name) + ", " + c.path);
      std::vector<BYTE> contents;
      EXPECT_EQ(reader.read(c.path, 4096, &contents), c.code);
    }
  }
}

}  // namespace
}  // namespace tkv::testing
