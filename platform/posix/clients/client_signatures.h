// Programs that keep roots of their own instead of the store's: where they
// live, how each is told from the copy a distribution points at its bundle,
// and what would point it at the store. Plain tables; the look
// (client_look.h) walks the places and matches the signatures.
#ifndef TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_SIGNATURES_H_
#define TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_SIGNATURES_H_

#include <string>
#include <vector>

namespace tkv {

// How a file that matched a signature is judged.
enum class ClientJudge {
  kCertifi,      // its core.py names the family's bundle: it follows
  kPipCertifi,   // the same, and only in a pip older than 24.2 (later ones use truststore)
  kBundle,       // a PEM bundle of its own
  kJavaKeystore, // a keystore file of its own; Debian's is a link to the family's
  kNodeBinary,   // an ELF whose embedded --help says its roots are bundled
  kElectron,     // an app with its own Chromium and Node
  kCopy,         // a copy of a CA beside a container registry's name
};

// How a pointer fix is given.
enum class PointerWay {
  kNone,         // none exists: the store's roots cannot reach it
  kEnvironment,  // an environment variable naming the bundle
  kJavaOptions,  // -Djavax.net.ssl.trustStore=<the family's keystore> in JAVA_TOOL_OPTIONS
  kPipConfig,    // "cert" under [global] in etc/pip.conf
};

struct ClientSignature {
  const char* kind;
  // The path's last components, each an fnmatch pattern; the first row
  // that matches decides.
  const char* suffix;
  // How many of the path's last components are dropped to name the store
  // in the list: 0 for the file itself, 2 for an Electron app's directory.
  int up;
  ClientJudge judge;
  PointerWay way;
  const char* pointer;  // the variable, or null
  const char* lines;    // what the stderr line calls a store of the kind
};

const std::vector<ClientSignature>& ClientSignatures();

// Whether `components` (a path's, in order) end as `suffix` does.
bool MatchesSuffix(const std::vector<std::string>& components, const char* suffix);

// The first signature `components` match, or null.
const ClientSignature* SignatureOf(const std::vector<std::string>& components);

// Where the bounded look goes, below the root; '*' stands for any
// directory, and `depth` is how many directories below it are entered.
struct LookPlace {
  const char* path;
  int depth;
};
const std::vector<LookPlace>& LookPlaces();

// Python's package directories, where only the packages that carry a
// signature are entered: a site-packages holds thousands of others.
bool IsPythonPackages(const std::string& name);
bool IsSignedPythonPackage(const std::string& name);

// The text an ELF node or libnode embeds for its --help: bundled roots, or
// OpenSSL's store (a distribution's build).
constexpr const char* kNodeBundledMarker = "use bundled CA store (default)";
constexpr const char* kNodeOpenSslMarker = "use OpenSSL's default CA store (default)";

// pip's version from its __init__.py; whether it is older than 24.2.
bool PipBefore242(const std::string& init_py);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_SIGNATURES_H_
