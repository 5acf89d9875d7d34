#include "platform/runtime/secret_store.hpp"

#include "platform/runtime/private_files.hpp"

namespace tavlo {

namespace {
// File names keep letters, digits, '.', '-' and '_' and escape every other byte as %XX, so any
// service or account text maps to one name inside the directory and never to a path.
std::string escapeName(const std::string& text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                 c == '_' || (c == '.' && !out.empty());
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0x0F];
    }
  }
  return out;
}
}  // namespace

FileSecretStore::FileSecretStore(std::optional<std::filesystem::path> directory, LogSink log)
    : directory_(std::move(directory)), log_(std::move(log)) {}

std::optional<std::filesystem::path> FileSecretStore::defaultDirectory() {
  auto data = dataDirectory();
  if (!data) return std::nullopt;
  return *data / "secrets";
}

std::filesystem::path FileSecretStore::itemPath(const std::string& service, const std::string& account) const {
  return directory_.value_or(std::filesystem::path()) / (escapeName(service) + "@" + escapeName(account) + ".secret");
}

std::optional<Bytes> FileSecretStore::read(const std::string& service, const std::string& account) const {
  if (!directory_) return std::nullopt;
  PrivateRead item = readPrivateFile(itemPath(service, account));
  if (item.refusal && log_) log_("secret store: not using " + *item.refusal);
  return item.bytes;
}

SecretWrite FileSecretStore::write(const std::string& service, const std::string& account, ByteView secret) {
  if (!directory_) return {"no private folder for secrets (the user has no home)"};
  if (auto error = ensurePrivateDirectory(*directory_)) return {error};
  return {writeFileAtomically(itemPath(service, account), secret, 0600)};
}

bool FileSecretStore::remove(const std::string& service, const std::string& account) {
  if (!directory_) return false;
  std::error_code ec;
  return std::filesystem::remove(itemPath(service, account), ec);
}

std::optional<Bytes> MemorySecretStore::read(const std::string& service, const std::string& account) const {
  std::lock_guard guard(mutex_);
  auto it = items_.find({service, account});
  if (it == items_.end()) return std::nullopt;
  return it->second;
}

SecretWrite MemorySecretStore::write(const std::string& service, const std::string& account, ByteView secret) {
  std::lock_guard guard(mutex_);
  items_[{service, account}] = Bytes(secret.begin(), secret.end());
  return {};
}

bool MemorySecretStore::remove(const std::string& service, const std::string& account) {
  std::lock_guard guard(mutex_);
  return items_.erase({service, account}) > 0;
}

}  // namespace tavlo
