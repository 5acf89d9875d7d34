#pragma once
// A dictionary of JSON values kept in memory and, when it has a path, in a private file rewritten
// atomically on every change. The base of Settings (user defaults) and KeyValueStore (the synced store).
//
// Typed getters follow the user-defaults contract: a missing key and a value of another type both read
// as absent (an integer reads as a double; a double never reads as an integer).
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/runtime/json_value.hpp"

namespace tavlo {

class JsonStore {
 public:
  using Log = std::function<void(const std::string&)>;

  // In memory only.
  JsonStore() = default;
  // Loads `path` if it exists; an unreadable or malformed file starts empty (and is logged), and is
  // replaced at the first change. Without a path (the user has no private place), in memory only.
  explicit JsonStore(std::optional<std::filesystem::path> path, Log log = {});
  virtual ~JsonStore() = default;

  std::optional<bool> getBool(const std::string& key) const;
  std::optional<int64_t> getInt(const std::string& key) const;
  std::optional<double> getDouble(const std::string& key) const;
  std::optional<std::string> getString(const std::string& key) const;
  std::optional<JsonValue> getValue(const std::string& key) const;
  bool contains(const std::string& key) const;

  // A string that is not valid UTF-8 is kept as it is in memory and saved with U+FFFD in place of the
  // bad bytes.
  void set(const std::string& key, JsonValue value);
  void remove(const std::string& key);

  const std::optional<std::filesystem::path>& path() const { return path_; }

 protected:
  // Writes the file; true when it was written (false in memory or on a failure, which is logged).
  bool persist() const;

 private:

  std::optional<std::filesystem::path> path_;
  Log log_;
  mutable std::mutex mutex_;       // values_
  mutable std::mutex writeMutex_;  // one file write at a time
  JsonValue values_ = JsonValue::object();
};

// User defaults: $XDG_CONFIG_HOME/tavlo/settings.json, or in memory for tests (and for a user without
// a home, whose default path is absent).
class Settings final : public JsonStore {
 public:
  using JsonStore::JsonStore;
  static std::optional<std::filesystem::path> defaultPath();
};

// The synced key-value store: a local JSON file ($XDG_DATA_HOME/tavlo/kvstore.json) or in memory.
// Syncing between devices is out of reach here; synchronize() only writes the file, and says whether
// it did.
class KeyValueStore final : public JsonStore {
 public:
  using JsonStore::JsonStore;
  static std::optional<std::filesystem::path> defaultPath();
  bool synchronize() { return persist(); }
};

}  // namespace tavlo
