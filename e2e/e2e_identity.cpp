#include "e2e/e2e_identity.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/crypto/sha256.hpp"
#include "platform/runtime/private_files.hpp"
#include "platform/runtime/product_identifier.hpp"

namespace vela {

using tavlo::Uuid;
using tavlo::crypto::Ed25519PrivateKey;

namespace {

struct StoredIdentity {
  Uuid id;
  Ed25519PrivateKey signing;
};

std::optional<StoredIdentity> parseStoredForm(const std::optional<Bytes>& blob) {
  if (!blob || blob->size() != E2EIdentity::storedFormSize) return std::nullopt;
  auto id = Uuid::fromBytes(ByteView(*blob).first(16));
  auto signing = Ed25519PrivateKey::fromSeed(ByteView(*blob).subspan(16));
  if (!id || !signing) return std::nullopt;
  return StoredIdentity{*id, std::move(*signing)};
}

Bytes storedForm(const Uuid& id, const Ed25519PrivateKey& signing) {
  Bytes blob(id.bytes.begin(), id.bytes.end());
  ByteView seed = signing.seed().view();
  blob.insert(blob.end(), seed.begin(), seed.end());
  return blob;
}

// The secret store first; a copy there that is missing or unusable (wrong length included) falls back
// to the mirror file, so a damaged item never silently replaces the long-term key.
std::optional<StoredIdentity> loadStored(const E2EIdentity::Stores& stores) {
  auto fromSecrets = parseStoredForm(stores.secrets.read(E2EIdentity::keychainService(),
                                                         std::string(E2EIdentity::keychainAccount)));
  if (fromSecrets) return fromSecrets;
  if (!stores.mirrorPath) return std::nullopt;
  return parseStoredForm(tavlo::readWholeFile(*stores.mirrorPath));
}

// Writes both copies; failures are skipped. The file is only written inside a folder that could be
// made private, and is created 0600 and renamed into place, so no other user ever sees the key.
void mirror(const E2EIdentity::Stores& stores, ByteView blob) {
  stores.secrets.write(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount), blob);
  if (!stores.mirrorPath || tavlo::ensurePrivateDirectory(stores.mirrorPath->parent_path())) return;
  tavlo::writeFileAtomically(*stores.mirrorPath, blob, 0600);
}

}  // namespace

std::string E2EIdentity::keychainService() { return std::string(tavlo::reverseDnsPrefix) + ".e2e"; }

std::filesystem::path E2EIdentity::defaultMirrorPath() { return tavlo::dataDirectory() / "e2e-identity.bin"; }

std::optional<Uuid> E2EIdentity::derivedHostID(std::string_view platformUUID) {
  if (platformUUID.empty()) return std::nullopt;
  std::string input = std::string(tavlo::reverseDnsPrefix) + ".hostid|" + std::string(platformUUID);
  auto digest = tavlo::crypto::sha256(tavlo::toBytes(input));
  if (!digest) return std::nullopt;
  Uuid id;
  std::copy_n(digest->begin(), id.bytes.size(), id.bytes.begin());
  id.bytes[6] = static_cast<uint8_t>(0x50 | (id.bytes[6] & 0x0F));
  id.bytes[8] = static_cast<uint8_t>(0x80 | (id.bytes[8] & 0x3F));
  return id;
}

std::optional<std::string> E2EIdentity::readMachineId(const std::filesystem::path& path) {
  auto bytes = tavlo::readWholeFile(path);
  if (!bytes) return std::nullopt;
  std::string text = tavlo::toString(*bytes);
  text = text.substr(0, text.find('\n'));
  auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && isSpace(text.back())) text.pop_back();
  text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), isSpace));
  if (text.empty()) return std::nullopt;
  return text;
}

std::shared_ptr<const E2EIdentity> E2EIdentity::load(const Stores& stores) {
  std::optional<Uuid> derived;
  if (auto platform = stores.platformUUID ? stores.platformUUID() : std::nullopt) derived = derivedHostID(*platform);

  if (auto stored = loadStored(stores)) {
    if (!derived || *derived == stored->id) {
      std::optional<Uuid> previous;
      if (auto text = stores.settings.getString(std::string(previousHostIdKey))) previous = Uuid::parse(*text);
      mirror(stores, storedForm(stored->id, stored->signing));
      return std::shared_ptr<const E2EIdentity>(new E2EIdentity(stored->id, previous, std::move(stored->signing)));
    }
    // The machine's identity moved (or the stored id came from elsewhere): take the derived id, keep the key.
    stores.settings.set(std::string(previousHostIdKey), stored->id.uuidString());
    mirror(stores, storedForm(*derived, stored->signing));
    return std::shared_ptr<const E2EIdentity>(new E2EIdentity(*derived, stored->id, std::move(stored->signing)));
  }

  // Neither copy is usable: a new identity. Generation fails only when the library itself does, and
  // the host cannot run a single session without a key.
  auto signing = Ed25519PrivateKey::generate();
  if (!signing) std::abort();
  Uuid id = derived ? *derived : Uuid::random();
  mirror(stores, storedForm(id, *signing));
  return std::shared_ptr<const E2EIdentity>(new E2EIdentity(id, std::nullopt, std::move(*signing)));
}

std::shared_ptr<const E2EIdentity> E2EIdentity::shared(const Stores& stores) {
  static std::once_flag once;
  static std::shared_ptr<const E2EIdentity> instance;
  std::call_once(once, [&] { instance = load(stores); });
  return instance;
}

}  // namespace vela
