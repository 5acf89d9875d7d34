#pragma once
// Trust in host signing keys.
//
// Host side: the host publishes its identifier, name and signing key in the synced key-value store
// under "tl.hosts", so the user's clients learn the key before they connect. Client side (the test
// peer of the handshake): which key a host published, and whether a presented key is trusted, from
// the publication or else by trust on first use with a pin in the user default "tl.e2e.known".
//
// "tl.hosts" is a dictionary from the host id's canonical text to an entry:
//   "name" (string), "sigPub" (Base64 of the 32-byte key, 44 characters), "updatedAt" (seconds since
//   1970, with fraction) and, only when the identity has a previous identifier, "prevID" (its text).
#include <optional>
#include <string>
#include <string_view>

#include "e2e/e2e_identity.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/system_log.hpp"
#include "platform/runtime/uuid.hpp"

namespace vela::E2ETrust {

inline constexpr std::string_view hostsKey = "tl.hosts";
inline constexpr std::string_view pinsKey = "tl.e2e.known";

// The current time as the publication records it.
double secondsSince1970();

// Writes this host's entry, replacing an older one whole, drops the entry of its previous identifier,
// and leaves other hosts' entries alone. `endpoint` (the mapped public address, when there is one) is
// not published: the entry has no field for it.
void publishHost(tavlo::KeyValueStore& store, const E2EIdentity& identity, const std::string& name,
                 const std::optional<std::string>& endpoint, double updatedAt = secondsSince1970());

// Client side: the signing key the host with `hostID` published, or nullopt when there is no entry,
// no string "sigPub" in it, or the text is not valid Base64.
std::optional<Bytes> hostSigPub(const tavlo::KeyValueStore& store, const tavlo::Uuid& hostID);

// Client side: whether `sigPub`, which the host proved by signing this session's transcript, is the
// key of `hostID`. A publication decides when there is one; otherwise the first key seen is pinned.
// Logs one line either way.
bool verify(const tavlo::KeyValueStore& store, tavlo::Settings& defaults, const tavlo::Uuid& hostID,
            ByteView sigPub, const tavlo::LogSink& log);

}  // namespace vela::E2ETrust
