// Anchor files that will not do what whoever wrote them meant. The refresh
// copies each into the bundle as it is, so each is read alone as libcrypto's
// reader (OpenSSL's clients: curl, Python, most of the system) reads that
// bundle.
#ifndef TKVCERT_PLATFORM_POSIX_ANCHOR_TROUBLE_H_
#define TKVCERT_PLATFORM_POSIX_ANCHOR_TROUBLE_H_

#include <string>
#include <utility>
#include <vector>

#include "platform/posix/anchors/anchor_view.h"
#include "platform/posix/anchors/store_layout.h"
#include "platform/posix/base/command.h"
#include "platform/posix/wincrypt_posix.h"

namespace tkv {

enum class AnchorTrouble {
  kNone,
  kCutShort,       // a PEM block cut short, or one that does not decode
  kKeyAlone,       // a private key and no certificate
  kKeyBeside,      // a private key beside the certificate
  kNoCertificate,  // text, nothing, or a CRL
};

AnchorTrouble TroubleOf(const std::vector<BYTE>& contents);

// What the trouble means for the machine, for a line naming the file.
const char* DescribeTrouble(AnchorTrouble trouble);

// Every troubled anchor file (relative to the anchors directory) that
// `anchors` shows, in the refresh's order.
std::vector<std::pair<std::string, AnchorTrouble>> FindTroubledAnchors(const AnchorView& anchors);

// Says on standard error, once a command for each file, what is wrong with
// the troubled anchors among `found`.
void NameTroubledAnchors(Command& command, const StoreLocation& location,
                         const std::vector<std::pair<std::string, AnchorTrouble>>& found);

// Whether libcrypto's reader reads the bundle at all: a single block cut
// short makes it read none of it. A missing bundle is read as empty.
bool ClientsCanReadBundle(const StoreLocation& location);

// What a refresh would make of the store, looked at before any write.
struct RefreshOutlook {
  bool bundle_readable = false;  // clients read today's bundle
  // With a readable bundle: the anchors changed since it was written that
  // libcrypto's reader gives up on. Older ones are in it already, or the
  // refresh does not read them: the bundle could not be read otherwise.
  std::vector<std::pair<std::string, AnchorTrouble>> cut_short;
};

RefreshOutlook LookBeforeRefresh(const AnchorView& anchors);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_ANCHOR_TROUBLE_H_
