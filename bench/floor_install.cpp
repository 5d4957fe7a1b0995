// The least work an installation can do, written as a plain libcrypto loop:
// read the file, decode its PEM, check that it is a certificate, name it by
// its SHA-1 thumbprint, and put it into the anchors directory as PEM the
// durable way (temporary file, fsync, rename, fsync of the directory), then
// run the refresh command once, as every change must.
//
//   tkv_bench_floor_install <certificate file> <anchors dir> <refresh program>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool ReadFile(const char* path, std::vector<unsigned char>* contents) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok) {
    contents->resize(static_cast<size_t>(st.st_size));
    ok = read(fd, contents->data(), contents->size()) == static_cast<ssize_t>(contents->size());
  }
  close(fd);
  return ok;
}

bool WriteDurably(const std::string& dir, const std::string& name, const char* data, long size) {
  const std::string temporary = dir + "/.floor.tmp";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, data, static_cast<size_t>(size)) == size && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), (dir + "/" + name).c_str()) == 0;
  const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok = ok && dir_fd >= 0 && fsync(dir_fd) == 0;
  if (dir_fd >= 0) close(dir_fd);
  return ok;
}

bool RunRefresh(const char* program) {
  char* argv[] = {const_cast<char*>(program), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <certificate file> <anchors dir> <refresh program>\n", argv[0]);
    return 2;
  }
  std::vector<unsigned char> contents;
  if (!ReadFile(argv[1], &contents)) return 1;
  BIO* in = BIO_new_mem_buf(contents.data(), static_cast<int>(contents.size()));
  X509* cert = in != nullptr ? PEM_read_bio_X509(in, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(in);
  if (cert == nullptr) return 1;
  unsigned char* der = nullptr;
  const int der_size = i2d_X509(cert, &der);
  X509_free(cert);
  if (der_size <= 0) return 1;

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  char hex[EVP_MAX_MD_SIZE * 2 + 1];
  size_t hex_size = 0;
  BIO* out = BIO_new(BIO_s_mem());
  bool ok = EVP_Digest(der, static_cast<size_t>(der_size), digest, &digest_size, EVP_sha1(),
                       nullptr) == 1 &&
            OPENSSL_buf2hexstr_ex(hex, sizeof hex, &hex_size, digest, digest_size, '\0') == 1 &&
            out != nullptr && PEM_write_bio(out, "CERTIFICATE", "", der, der_size) > 0;
  if (ok) {
    char* pem = nullptr;
    const long pem_size = BIO_get_mem_data(out, &pem);
    ok = WriteDurably(argv[2], std::string(hex) + ".crt", pem, pem_size) && RunRefresh(argv[3]);
  }
  BIO_free(out);
  OPENSSL_free(der);
  std::printf(ok ? "installed\n" : "failed\n");
  return ok ? 0 : 1;
}
