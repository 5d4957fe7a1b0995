// A read-only look for programs that keep roots of their own (see
// client_signatures.h): bounded, after a change, at the places where such
// programs live; or the whole root, when an admin asks for every one.
//
// It walks from the root's descriptor one directory at a time and never
// follows a link, so nothing leads it out of the root or round a loop; it
// opens no FIFO or device, reads no file over 1 MiB (a node binary only in
// the whole walk, as a stream), runs no program and writes nothing.
#ifndef TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_LOOK_H_
#define TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_LOOK_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/clients/client_signatures.h"

namespace tkv {

// What the look knows of the root before it starts.
struct ClientContext {
  std::string bundle;         // below the root: the family's bundle
  std::string java_keystore;  // below the root: the family's Java keystore; "" for none
  std::vector<unsigned char> ca;  // DER of the CA in question; empty for none
  // The settings etc/environment gives every login, and pip's cert in
  // etc/pip.conf: a pointer already there makes a store follow.
  std::map<std::string, std::string> environment;
  std::string pip_cert;
};

// Reads what the look needs to know of the root open as `root_fd`.
ClientContext ReadClientContext(int root_fd, const std::string& bundle, const std::vector<unsigned char>& ca);

// A store of a client's own.
struct ClientStore {
  const ClientSignature* signature = nullptr;
  std::string path;      // as the root names it, from "/"
  bool follows = false;  // a pointer fix in place makes the client read the store
  bool holds = false;    // it holds the CA in question
  std::string fix;       // what would point it at the store; "" for none
};

// The usual places, node binaries passed over; the same, node binaries read
// (a fix run must know which nodes to point); or the whole root.
enum class LookScope { kUsualPlaces, kUsualPlacesAndNodes, kWholeRoot };

struct LookBudget {
  size_t directories;
  std::chrono::milliseconds time;
};
// The look after a change: a typical root takes a few milliseconds.
constexpr LookBudget kLookBudget{5000, std::chrono::milliseconds(250)};
// A fix run reads node binaries, some 100 MB each, in the usual places.
constexpr LookBudget kFixBudget{5000, std::chrono::milliseconds(2000)};
// The whole walk of a real machine's root takes seconds.
constexpr LookBudget kWalkBudget{static_cast<size_t>(-1), std::chrono::milliseconds(120000)};

struct ClientLook {
  std::vector<ClientStore> stores;  // in byte order of their paths
  size_t directories = 0;
  bool ran_out = false;       // the budget ended it: what it found is listed
  size_t unjudged_nodes = 0;  // node binaries the bounded look does not read
  std::chrono::microseconds took{0};
};

ClientLook LookForClients(int root_fd, const ClientContext& context, LookScope scope, LookBudget budget);

// Whether PEM `text` holds `der` among its certificates.
bool PemHolds(const std::string& text, const std::vector<unsigned char>& der);

}  // namespace tkv

#endif  // TKVCERT_PLATFORM_POSIX_CLIENTS_CLIENT_LOOK_H_
