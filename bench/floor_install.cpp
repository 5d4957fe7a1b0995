// The least work an installation can do, written as a plain libcrypto loop:
// read the file, decode its PEM, check that it is a certificate, name it by
// its SHA-1 thumbprint, and put it into the anchors directory as PEM the
// durable way (temporary file, fsync, rename, fsync of the directory), then
// run the root's refresh once inside the root, in a sandbox, as every
// change must, and read the bundle it leaves until a block is the
// certificate, as the tool must check that clients see it. Run as root.
//
//   tkv_bench_floor_install <certificate file> <root with Debian's layout>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

// As the tool starts a root's own refresh: in bubblewrap's sandbox with the
// root as "/", with a fixed environment.
bool RunRefresh(const std::string& root) {
  std::string words[] = {"/usr/bin/bwrap", "--unshare-ipc", "--unshare-pid", "--unshare-net",
                         "--unshare-uts", "--die-with-parent", "--new-session", "--cap-drop", "ALL",
                         "--clearenv", "--setenv", "PATH", "/usr/sbin:/usr/bin:/sbin:/bin",
                         "--setenv", "LC_ALL", "C", "--bind", root, "/", "--chdir", "/", "--",
                         "/usr/sbin/update-ca-certificates"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  char path[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
  char locale[] = "LC_ALL=C";
  char* env[] = {path, locale, nullptr};
  const pid_t pid = vfork();
  if (pid < 0) return false;
  if (pid == 0) {
    execve(argv[0], argv.data(), env);
    _exit(127);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether a PEM block of the bundle decodes to `der`.
bool BundleHolds(const std::string& bundle, const unsigned char* der, long der_size) {
  std::vector<unsigned char> text;
  if (!ReadFile(bundle.c_str(), &text)) return false;
  BIO* in = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  bool found = false;
  char* label = nullptr;
  char* header = nullptr;
  unsigned char* block = nullptr;
  long size = 0;
  while (!found && in != nullptr && PEM_read_bio(in, &label, &header, &block, &size) == 1) {
    found = size == der_size && std::memcmp(block, der, static_cast<size_t>(size)) == 0;
    OPENSSL_free(label);
    OPENSSL_free(header);
    OPENSSL_free(block);
  }
  BIO_free(in);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <certificate file> <root>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[2];
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
    ok = WriteDurably(root + "/usr/local/share/ca-certificates", std::string(hex) + ".crt", pem,
                      pem_size) &&
         RunRefresh(root) && BundleHolds(root + "/etc/ssl/certs/ca-certificates.crt", der, der_size);
  }
  BIO_free(out);
  OPENSSL_free(der);
  std::printf(ok ? "installed\n" : "failed\n");
  return ok ? 0 : 1;
}
