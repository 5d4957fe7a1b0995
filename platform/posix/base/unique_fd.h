// An owned file descriptor, closed when it goes out of scope.
#ifndef TKVCERT_PLATFORM_POSIX_UNIQUE_FD_H_
#define TKVCERT_PLATFORM_POSIX_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace tkv {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  // Closes it and says whether that worked: for a file that was written,
  // where a failed close can be a write that never reached the disk.
  bool Close() { return close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_UNIQUE_FD_H_
