#pragma once
// The host's long-lived identity: the host identifier clients look it up by, and the Ed25519 key that
// signs every handshake and the relay registration and whose public half the host publishes.
//
// Stored form (the same 48 bytes in the secret store and in the mirror file):
//   host id, the UUID's 16 bytes in canonical order ‖ the Ed25519 private key as its 32-byte seed
//
// The identifier is derived from the machine's identity and the account, so it survives the loss of both
// stored copies and no two accounts of one machine share it (a relay pins the first key an identifier
// registers with, and would refuse every other account's host for good);
// the signing key survives a change of identifier, and the old identifier is remembered (instance and
// user default "tl.prevHostID") for the trust publication.
//
// A copy is read only from a private place of this user (see readPrivateFile): a key that another user
// could have planted or read is not used. A copy that cannot be written is logged with the reason; when
// neither copy holds the identity, it lives for this run only (isPersistent() is false, and logged), and
// clients that pinned it will not recognise the host after a restart.
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypto/ed25519.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/secret_store.hpp"
#include "platform/runtime/uuid.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class E2EIdentity {
 public:
  // Where the identity is kept. The host passes its one secret store and its user defaults.
  struct Stores {
    tavlo::SecretStore& secrets;
    tavlo::Settings& settings;
    // The mirror file; its folder is made private (0700) before the file is written (0600). None: no
    // mirror (tools and tests that keep the identity in memory, a user without a private place).
    std::optional<std::filesystem::path> mirrorPath = defaultMirrorPath();
    // The machine's stable identity text, absent when unknown.
    std::function<std::optional<std::string>()> platformUUID = [] { return readMachineId(); };
    // Refused copies, failed writes and an identity that is not persistent.
    tavlo::LogSink log = tavlo::SystemLog::sink();
    // The account the identity is this machine's host for.
    uid_t account = ::geteuid();
    // Where earlier builds kept the mirror, outside the private folder: removed, so that deleting that
    // folder resets the key. None: nothing to remove.
    std::optional<std::filesystem::path> formerMirrorPath = std::nullopt;
  };

  static constexpr std::string_view keychainAccount = "host-identity";
  static constexpr std::string_view previousHostIdKey = "tl.prevHostID";
  static constexpr size_t storedFormSize = 48;
  static std::string keychainService();  // the reverse-DNS prefix followed by ".e2e"
  // In the secret store's private folder, beside the secret store's copy: deleting that one folder
  // removes every copy of the key. Absent when the user has no data folder (never a shared temporary
  // folder).
  static std::optional<std::filesystem::path> defaultMirrorPath();
  // "e2e-identity.bin" in the user's data folder, where earlier builds kept the mirror.
  static std::optional<std::filesystem::path> formerDefaultMirrorPath();
  // The account that keeps the identifier derived from the machine alone, as earlier builds derived it
  // for every account: the first account a Debian system makes for a person. Every other account's
  // identifier is derived from the machine and its user id.
  static constexpr uid_t firstAccountUid = 1000;
  static constexpr const char* notPersistentLine =
      "🔐 tożsamość hosta tylko w pamięci — po ponownym uruchomieniu klienci nie rozpoznają klucza";

  // The host program's stores: the defaults above, with the copy earlier builds kept to be removed.
  static Stores programStores(tavlo::SecretStore& secrets, tavlo::Settings& settings);

  // Loads the stored identity, adopts a changed derived identifier, or creates a new identity, and
  // writes the result back to both copies. Never fails: a store that cannot be written is logged and
  // skipped.
  static std::shared_ptr<const E2EIdentity> load(const Stores& stores);
  // The process-wide identity: loaded from `stores` by the first call (exactly once, whichever thread
  // comes first); later calls return the same instance and ignore their argument.
  static std::shared_ptr<const E2EIdentity> shared(const Stores& stores);

  const tavlo::Uuid& hostID() const { return hostID_; }
  // The identifier this host was known under before, when it changed.
  const std::optional<tavlo::Uuid>& previousHostID() const { return previousHostID_; }
  // Whether a stored copy (secret store or mirror) holds this identity, so that the next start finds
  // it. The host reports it at start-up when false.
  bool isPersistent() const { return persistent_; }
  // The 32-byte raw Ed25519 public key.
  const tavlo::crypto::Ed25519PublicKey& signingPublicKey() const { return signing_.publicKey(); }
  // The 64-byte Ed25519 signature of `data`; nullopt if the signer fails. Safe from any thread.
  std::optional<tavlo::crypto::Ed25519Signature> sign(ByteView data) const { return signing_.sign(data); }
  const tavlo::crypto::Ed25519PrivateKey& signingKey() const { return signing_; }

  // SHA-256 of the reverse-DNS prefix, ".hostid|" and the platform identity text, cut to 16 bytes and
  // marked as a version-5, RFC 4122 variant UUID. nullopt for an empty text.
  static std::optional<tavlo::Uuid> derivedHostID(std::string_view platformUUID);
  // The identifier of `account`'s host on this machine: the one above for the first account; for any
  // other, the same over the platform identity text followed by "|uid=" and the user id in decimal.
  static std::optional<tavlo::Uuid> derivedHostID(std::string_view platformUUID, uid_t account);
  // The machine id (first line of the file, surrounding white space removed); nullopt when the file is
  // missing, unreadable or empty.
  static std::optional<std::string> readMachineId(const std::filesystem::path& path = "/etc/machine-id");

 private:
  E2EIdentity(const tavlo::Uuid& hostID, std::optional<tavlo::Uuid> previousHostID,
              tavlo::crypto::Ed25519PrivateKey signing, bool persistent)
      : hostID_(hostID), previousHostID_(previousHostID), signing_(std::move(signing)), persistent_(persistent) {}

  const tavlo::Uuid hostID_;
  const std::optional<tavlo::Uuid> previousHostID_;
  const tavlo::crypto::Ed25519PrivateKey signing_;
  const bool persistent_;
};

}  // namespace vela
