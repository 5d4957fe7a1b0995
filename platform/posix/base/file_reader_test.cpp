// Reading files whole, sized by fstat(), and refusing what is not a regular
// file, whether it was looked at before opening or only after.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/base/file_reader.h"
#include "tests/support/ci_skip.h"
#include "tests/support/test_certs.h"

namespace tkv::testing {
namespace {

using Reader = DWORD (*)(const std::string&, size_t, std::vector<BYTE>*);

struct NamedReader {
  const char* name;
  Reader read;
};

const NamedReader kReaders[] = {{"ReadRegularFile", ReadRegularFile}};

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

// Blocks in a FIFO's opening for writing, which returns once anyone has
// opened it for reading, however briefly: the kernel counts reader opens, so
// none is missed. Counts the openings seen before Stop().
class FifoOpenDetector {
 public:
  explicit FifoOpenDetector(std::string fifo) : fifo_(std::move(fifo)), thread_([this] { Watch(); }) {}
  ~FifoOpenDetector() { Stop(); }

  // Waits for openings already made to be seen, then ends the watch with an
  // opening of our own, which is not counted.
  int Stop() {
    if (thread_.joinable()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      stopping_ = true;
      const int fd = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
      thread_.join();
      if (fd >= 0) close(fd);
    }
    return opened_;
  }

 private:
  void Watch() {
    while (!stopping_) {
      const int fd = open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 && errno == EINTR) continue;
      if (fd < 0) break;
      close(fd);
      if (!stopping_) ++opened_;
    }
  }

  std::string fifo_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> opened_{0};
  std::thread thread_;
};

// Someone who may write the directory swaps the file for a link to a FIFO
// and back, as fast as they can, while root reads it. What was a regular file
// when looked at may be a FIFO when opened by path; it must never be opened.
TEST(FileReader, NeverOpensAFifoSwappedInForTheFile) {
  TempDir dir;
  const std::string cert = ToPem(MakeCertificate("Swapped CA"));
  WriteFile(dir.File("cert.pem"), cert);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0644), 0);
  const std::string target = dir.File("target.pem");
  ASSERT_EQ(link(dir.File("cert.pem").c_str(), target.c_str()), 0);

  std::atomic<bool> done{false};
  std::thread swapper([&] {
    const std::string as_file = dir.File("next-file");
    const std::string as_link = dir.File("next-link");
    while (!done) {
      unlink(as_file.c_str());
      unlink(as_link.c_str());
      if (link(dir.File("cert.pem").c_str(), as_file.c_str()) == 0) rename(as_file.c_str(), target.c_str());
      if (symlink(dir.File("fifo").c_str(), as_link.c_str()) == 0) rename(as_link.c_str(), target.c_str());
    }
  });
  FifoOpenDetector detector(dir.File("fifo"));

  int read_whole = 0;
  int refused = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (int i = 0; i < 200'000 && std::chrono::steady_clock::now() < deadline; ++i) {
    std::vector<BYTE> contents;
    const DWORD code = ReadRegularFile(target, 4096, &contents);
    if (code == ERROR_SUCCESS) {
      ++read_whole;
      ASSERT_EQ(Text(contents), cert);
    } else {
      ++refused;
      ASSERT_EQ(code, static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    }
  }
  done = true;
  swapper.join();
  EXPECT_EQ(detector.Stop(), 0) << "the FIFO was opened";
  // Both shapes were met, or the race was not run at all.
  EXPECT_GT(read_whole, 0);
  EXPECT_GT(refused, 0);
}

// Without /proc the file cannot be opened as the one looked at; opening the
// path again would bring the race back, so every file is refused.
TEST(FileReader, RefusesEveryFileWhereProcIsNotMounted) {
  TempDir dir;
  WriteFile(dir.File("cert.pem"), std::string("certificate"));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A mount namespace of its own, with an empty /proc: only this child sees it.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("none", "/proc", "tmpfs", 0, nullptr) != 0) {
      _exit(100);
    }
    std::vector<BYTE> contents;
    const DWORD code = ReadRegularFile(dir.File("cert.pem"), 4096, &contents);
    _exit(code == ERROR_NOT_SUPPORTED ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 100) TKV_SKIP("cannot make a mount namespace here");
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "ReadRegularFile must refuse";
}

}  // namespace
}  // namespace tkv::testing
