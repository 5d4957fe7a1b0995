#include "platform/posix/clients/client_signatures.h"

#include <fnmatch.h>

#include <cstdio>
#include <cstring>

namespace tkv {

const std::vector<ClientSignature>& ClientSignatures() {
  static const std::vector<ClientSignature> signatures = {
      {"pip", "pip/_vendor/certifi/cacert.pem", 0, ClientJudge::kPipCertifi, PointerWay::kPipConfig, "cert",
       "pip certifi bundle"},
      {"certifi", "certifi/cacert.pem", 0, ClientJudge::kCertifi, PointerWay::kEnvironment, "REQUESTS_CA_BUNDLE",
       "certifi bundle"},
      {"botocore", "botocore/cacert.pem", 0, ClientJudge::kBundle, PointerWay::kEnvironment, "AWS_CA_BUNDLE",
       "botocore bundle"},
      {"httplib2", "httplib2/cacerts.txt", 0, ClientJudge::kBundle, PointerWay::kEnvironment, "HTTPLIB2_CA_CERTS",
       "httplib2 bundle"},
      {"grpc", "grpc/_cython/_credentials/roots.pem", 0, ClientJudge::kBundle, PointerWay::kEnvironment,
       "GRPC_DEFAULT_SSL_ROOTS_FILE_PATH", "grpc bundle"},
      {"jdk", "lib/security/cacerts", 0, ClientJudge::kJavaKeystore, PointerWay::kJavaOptions, "JAVA_TOOL_OPTIONS",
       "JDK keystore"},
      {"node", "bin/node", 0, ClientJudge::kNodeBinary, PointerWay::kEnvironment, "NODE_EXTRA_CA_CERTS",
       "node build"},
      {"node", "libnode.so*", 0, ClientJudge::kNodeBinary, PointerWay::kEnvironment, "NODE_EXTRA_CA_CERTS",
       "node build"},
      {"electron", "resources/app.asar", 2, ClientJudge::kElectron, PointerWay::kNone, nullptr, "Electron app"},
      {"certs.d", "certs.d/*/*.crt", 0, ClientJudge::kCopy, PointerWay::kNone, nullptr, "registry CA copy"},
  };
  return signatures;
}

bool MatchesSuffix(const std::vector<std::string>& components, const char* suffix) {
  std::vector<std::string> wanted;
  for (const char* at = suffix; *at != '\0';) {
    const char* slash = strchr(at, '/');
    const size_t length = slash == nullptr ? strlen(at) : static_cast<size_t>(slash - at);
    wanted.emplace_back(at, length);
    at += length + (slash == nullptr ? 0 : 1);
  }
  if (wanted.size() > components.size()) return false;
  const size_t offset = components.size() - wanted.size();
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (fnmatch(wanted[i].c_str(), components[offset + i].c_str(), FNM_PERIOD) != 0) return false;
  }
  return true;
}

const ClientSignature* SignatureOf(const std::vector<std::string>& components) {
  for (const ClientSignature& signature : ClientSignatures()) {
    if (MatchesSuffix(components, signature.suffix)) return &signature;
  }
  return nullptr;
}

const std::vector<LookPlace>& LookPlaces() {
  static const std::vector<LookPlace> places = [] {
    std::vector<LookPlace> list = {
        {"usr/lib/jvm", 3},
        {"opt", 7},
        {"usr/local", 7},
        {"usr/lib/python3*", 5},
        {"snap/*/current", 7},
        {"var/lib/flatpak/runtime", 9},
        {"etc/containers/certs.d", 1},
        {"etc/docker/certs.d", 1},
        {"etc/containerd/certs.d", 1},
    };
    // What an admin or a user installs in a home: interpreters, JDKs,
    // node versions, environments.
    static const LookPlace in_home[] = {
        {".pyenv", 8},          {".nvm", 5},     {".sdkman", 6},         {".jdks", 4},
        {".conda", 8},          {"miniconda3", 8}, {"anaconda3", 8},     {".virtualenvs", 7},
        {".venv", 6},           {"venv", 6},     {".local/lib", 4},     {".local/share/virtualenvs", 7},
    };
    static std::vector<std::string> names;
    for (const char* home : {"root/", "home/*/"}) {
      for (const LookPlace& place : in_home) names.push_back(std::string(home) + place.path);
    }
    size_t at = 0;
    for (int round = 0; round < 2; ++round) {
      for (const LookPlace& place : in_home) list.push_back({names[at++].c_str(), place.depth});
    }
    return list;
  }();
  return places;
}

bool IsPythonPackages(const std::string& name) { return name == "site-packages" || name == "dist-packages"; }

bool IsSignedPythonPackage(const std::string& name) {
  return name == "certifi" || name == "pip" || name == "botocore" || name == "httplib2" || name == "grpc";
}

bool PipBefore242(const std::string& init_py) {
  const size_t at = init_py.find("__version__");
  if (at == std::string::npos) return true;
  const size_t quote = init_py.find_first_of("\"'", at);
  if (quote == std::string::npos) return true;
  int major = 0;
  int minor = 0;
  if (sscanf(init_py.c_str() + quote + 1, "%d.%d", &major, &minor) < 1) return true;
  return major < 24 || (major == 24 && minor < 2);
}

}  // namespace tkv
