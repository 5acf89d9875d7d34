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

void log(const E2EIdentity::Stores& stores, const std::string& line) {
  if (stores.log) stores.log(line);
}

// What the two copies hold, as read.
struct Copies {
  std::optional<Bytes> secret;
  std::optional<Bytes> mirror;
};

// The mirror is read like the secret store's items: only from a private folder of this user, so a file
// planted or left readable by someone else never becomes the host's key.
Copies readCopies(const E2EIdentity::Stores& stores) {
  Copies copies;
  copies.secret = stores.secrets.read(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount));
  if (stores.mirrorPath) {
    tavlo::PrivateRead read = tavlo::readPrivateFile(*stores.mirrorPath);
    if (read.refusal) log(stores, "🔐 tożsamość: pomijam kopię — " + *read.refusal);
    copies.mirror = std::move(read.bytes);
  }
  return copies;
}

// The secret store first; a copy there that is missing or unusable (wrong length included) falls back
// to the mirror file, so a damaged item never silently replaces the long-term key.
std::optional<StoredIdentity> loadStored(const Copies& copies) {
  if (auto fromSecrets = parseStoredForm(copies.secret)) return fromSecrets;
  return parseStoredForm(copies.mirror);
}

// Writes both copies and returns whether the identity is persistent: a copy took it, or already held
// it. A failed write is logged with its reason. The file is only written inside a folder that could be
// made private, and is created 0600 and renamed into place, so no other user ever sees the key.
bool mirror(const E2EIdentity::Stores& stores, ByteView blob, const Copies& copies) {
  auto holds = [&](const std::optional<Bytes>& copy) { return copy && std::ranges::equal(*copy, blob); };
  bool held = false;
  auto written = stores.secrets.write(E2EIdentity::keychainService(), std::string(E2EIdentity::keychainAccount), blob);
  if (written) {
    held = true;
  } else {
    log(stores, "🔐 tożsamość: zapis w magazynie sekretów nieudany (" + *written.error + ")");
    held = holds(copies.secret);
  }
  if (stores.mirrorPath) {
    auto error = tavlo::ensurePrivateDirectory(stores.mirrorPath->parent_path());
    if (!error) error = tavlo::writeFileAtomically(*stores.mirrorPath, blob, 0600);
    if (error) {
      log(stores, "🔐 tożsamość: zapis kopii " + stores.mirrorPath->string() + " nieudany (" + *error + ")");
      held = held || holds(copies.mirror);
    } else {
      held = true;
    }
  }
  if (!held) log(stores, E2EIdentity::notPersistentLine);
  return held;
}

}  // namespace

std::string E2EIdentity::keychainService() { return std::string(tavlo::reverseDnsPrefix) + ".e2e"; }

std::optional<std::filesystem::path> E2EIdentity::defaultMirrorPath() {
  auto secrets = tavlo::FileSecretStore::defaultDirectory();
  if (!secrets) return std::nullopt;
  return *secrets / "e2e-identity.bin";
}

E2EIdentity::Stores E2EIdentity::programStores(tavlo::SecretStore& secrets, tavlo::Settings& settings) {
  Stores stores{.secrets = secrets, .settings = settings};
  stores.formerMirrorPath = formerDefaultMirrorPath();
  return stores;
}

std::optional<std::filesystem::path> E2EIdentity::formerDefaultMirrorPath() {
  auto data = tavlo::dataDirectory();
  if (!data) return std::nullopt;
  return *data / "e2e-identity.bin";
}

std::optional<Uuid> E2EIdentity::derivedHostID(std::string_view platformUUID, uid_t account) {
  if (account == firstAccountUid || platformUUID.empty()) return derivedHostID(platformUUID);
  return derivedHostID(std::string(platformUUID) + "|uid=" + std::to_string(account));
}

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
  // A copy outside the private folder would bring a deleted key back: it goes before anything is read.
  if (stores.formerMirrorPath && stores.formerMirrorPath != stores.mirrorPath) {
    std::error_code ec;
    std::filesystem::remove(*stores.formerMirrorPath, ec);
  }
  std::optional<Uuid> derived;
  if (auto platform = stores.platformUUID ? stores.platformUUID() : std::nullopt) {
    derived = derivedHostID(*platform, stores.account);
  }

  const Copies copies = readCopies(stores);
  if (auto stored = loadStored(copies)) {
    if (!derived || *derived == stored->id) {
      std::optional<Uuid> previous;
      if (auto text = stores.settings.getString(std::string(previousHostIdKey))) previous = Uuid::parse(*text);
      bool persistent = mirror(stores, storedForm(stored->id, stored->signing), copies);
      return std::shared_ptr<const E2EIdentity>(
          new E2EIdentity(stored->id, previous, std::move(stored->signing), persistent));
    }
    // The machine's identity moved (or the stored id came from elsewhere): take the derived id, keep the key.
    stores.settings.set(std::string(previousHostIdKey), stored->id.uuidString());
    bool persistent = mirror(stores, storedForm(*derived, stored->signing), copies);
    return std::shared_ptr<const E2EIdentity>(
        new E2EIdentity(*derived, stored->id, std::move(stored->signing), persistent));
  }

  // Neither copy is usable: a new identity. Generation fails only when the library itself does, and
  // the host cannot run a single session without a key.
  auto signing = Ed25519PrivateKey::generate();
  if (!signing) std::abort();
  Uuid id = derived ? *derived : Uuid::random();
  bool persistent = mirror(stores, storedForm(id, *signing), copies);
  return std::shared_ptr<const E2EIdentity>(new E2EIdentity(id, std::nullopt, std::move(*signing), persistent));
}

// Loaded once: an identity that could not be stored is still the same key for every caller of this
// process, instead of a new one per load.
std::shared_ptr<const E2EIdentity> E2EIdentity::shared(const Stores& stores) {
  static std::once_flag once;
  static std::shared_ptr<const E2EIdentity> instance;
  std::call_once(once, [&] { instance = load(stores); });
  return instance;
}

}  // namespace vela
