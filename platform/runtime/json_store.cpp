#include "platform/runtime/json_store.hpp"

#include "platform/runtime/private_files.hpp"

namespace tavlo {

JsonStore::JsonStore(std::optional<std::filesystem::path> path, Log log)
    : path_(std::move(path)), log_(std::move(log)) {
  if (!path_) return;
  auto bytes = readWholeFile(*path_);
  if (!bytes) return;
  auto parsed = JsonValue::parse(bytes->begin(), bytes->end(), nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object()) {
    values_ = std::move(parsed);
  } else if (log_) {
    log_("settings file " + path_->string() + " is not a JSON object; starting empty");
  }
}

std::optional<JsonValue> JsonStore::getValue(const std::string& key) const {
  std::lock_guard guard(mutex_);
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

bool JsonStore::contains(const std::string& key) const { return getValue(key).has_value(); }

std::optional<bool> JsonStore::getBool(const std::string& key) const {
  auto value = getValue(key);
  if (!value || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<int64_t> JsonStore::getInt(const std::string& key) const {
  auto value = getValue(key);
  if (!value || !value->is_number_integer()) return std::nullopt;
  if (value->is_number_unsigned() && value->get<uint64_t>() > uint64_t(INT64_MAX)) return std::nullopt;
  return value->get<int64_t>();
}

std::optional<double> JsonStore::getDouble(const std::string& key) const {
  auto value = getValue(key);
  if (!value || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

std::optional<std::string> JsonStore::getString(const std::string& key) const {
  auto value = getValue(key);
  if (!value || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

void JsonStore::set(const std::string& key, JsonValue value) {
  {
    std::lock_guard guard(mutex_);
    values_[key] = std::move(value);
  }
  persist();
}

void JsonStore::remove(const std::string& key) {
  {
    std::lock_guard guard(mutex_);
    if (values_.erase(key) == 0) return;
  }
  persist();
}

bool JsonStore::persist() const {
  if (!path_) return false;
  std::optional<std::string> error;
  {
    // Writers take turns, and each writes the state as it is when its turn comes, so the last file
    // written holds every change made before it.
    std::lock_guard turn(writeMutex_);
    std::string text;
    {
      std::lock_guard guard(mutex_);
      // Strict dumping throws on a string that is not UTF-8, and would then fail every later save as
      // well: such bytes are written as U+FFFD instead.
      text = values_.dump(2, ' ', false, JsonValue::error_handler_t::replace);
    }
    error = ensurePrivateDirectory(path_->parent_path());
    if (!error) error = writeFileAtomically(*path_, ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  // After the turn: the log may take its time, or change the store itself.
  if (error && log_) log_("cannot save " + path_->string() + ": " + *error);
  return !error;
}

namespace {
std::optional<std::filesystem::path> inside(std::optional<std::filesystem::path> folder, const char* name) {
  if (!folder) return std::nullopt;
  return *folder / name;
}
}  // namespace

std::optional<std::filesystem::path> Settings::defaultPath() { return inside(configDirectory(), "settings.json"); }
std::optional<std::filesystem::path> KeyValueStore::defaultPath() { return inside(dataDirectory(), "kvstore.json"); }

}  // namespace tavlo
