#include "e2e/e2e_trust.hpp"

#include <chrono>

#include "platform/runtime/base64.hpp"

namespace vela::E2ETrust {

using tavlo::JsonValue;

namespace {

// The published entry of `id` when it is a dictionary with a string "sigPub".
const JsonValue* publishedEntry(const std::optional<JsonValue>& hosts, const std::string& id) {
  if (!hosts || !hosts->is_object()) return nullptr;
  auto entry = hosts->find(id);
  if (entry == hosts->end() || !entry->is_object()) return nullptr;
  auto sigPub = entry->find("sigPub");
  if (sigPub == entry->end() || !sigPub->is_string()) return nullptr;
  return &*entry;
}

// The pins as a dictionary of strings; anything else reads as empty.
JsonValue readPins(const tavlo::Settings& defaults) {
  auto pins = defaults.getValue(std::string(pinsKey));
  if (!pins || !pins->is_object()) return JsonValue::object();
  for (const auto& [id, key] : pins->items()) {
    if (!key.is_string()) return JsonValue::object();
  }
  return *pins;
}

}  // namespace

double secondsSince1970() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void publishHost(tavlo::KeyValueStore& store, const E2EIdentity& identity, const std::string& name,
                 const std::optional<std::string>& /*endpoint*/, double updatedAt) {
  JsonValue hosts = store.getValue(std::string(hostsKey)).value_or(JsonValue::object());
  if (!hosts.is_object()) hosts = JsonValue::object();
  JsonValue entry = {
      {"name", name},
      {"sigPub", tavlo::base64Encode(identity.signingPublicKey())},
      {"updatedAt", updatedAt},
  };
  std::string id = identity.hostID().uuidString();
  if (const auto& previous = identity.previousHostID(); previous && previous->uuidString() != id) {
    hosts.erase(previous->uuidString());
    entry["prevID"] = previous->uuidString();
  }
  hosts[id] = std::move(entry);
  store.set(std::string(hostsKey), std::move(hosts));
  store.synchronize();
}

std::optional<Bytes> hostSigPub(const tavlo::KeyValueStore& store, const tavlo::Uuid& hostID) {
  auto hosts = store.getValue(std::string(hostsKey));
  const JsonValue* entry = publishedEntry(hosts, hostID.uuidString());
  if (!entry) return std::nullopt;
  return tavlo::base64Decode(entry->at("sigPub").get<std::string>());
}

bool verify(const tavlo::KeyValueStore& store, tavlo::Settings& defaults, const tavlo::Uuid& hostID, ByteView sigPub,
            const tavlo::LogSink& log) {
  auto say = [&](const std::string& line) {
    if (log) log(line);
  };
  std::string id = hostID.uuidString();
  std::string key = tavlo::base64Encode(sigPub);

  auto hosts = store.getValue(std::string(hostsKey));
  if (const JsonValue* entry = publishedEntry(hosts, id)) {
    if (entry->at("sigPub").get<std::string>() != key) {
      say("🔐 ❌ klucz hosta NIEZGODNY z iCloud — odrzucam (możliwy MITM)");
      return false;
    }
    auto name = entry->find("name");
    say("🔐 host zweryfikowany z iCloud (" + (name != entry->end() && name->is_string() ? name->get<std::string>() : id) +
        ")");
    return true;
  }

  JsonValue pins = readPins(defaults);
  if (auto pin = pins.find(id); pin != pins.end()) {
    if (pin->get<std::string>() == key) {
      say("🔐 host zweryfikowany (pin TOFU)");
      return true;
    }
    say("🔐 ❌ klucz hosta NIEZGODNY z pinem TOFU — odrzucam (możliwy MITM)");
    return false;
  }
  pins[id] = key;
  defaults.set(std::string(pinsKey), std::move(pins));
  say("🔐 TOFU: zaufano nowemu hostowi " + id.substr(0, 8) + "… (pin zapisany)");
  return true;
}

}  // namespace vela::E2ETrust
