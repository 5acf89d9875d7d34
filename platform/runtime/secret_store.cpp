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

FileSecretStore::FileSecretStore(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path FileSecretStore::defaultDirectory() { return dataDirectory() / "secrets"; }

std::filesystem::path FileSecretStore::itemPath(const std::string& service, const std::string& account) const {
  return directory_ / (escapeName(service) + "@" + escapeName(account) + ".secret");
}

std::optional<Bytes> FileSecretStore::read(const std::string& service, const std::string& account) const {
  return readWholeFile(itemPath(service, account));
}

bool FileSecretStore::write(const std::string& service, const std::string& account, ByteView secret) {
  if (ensurePrivateDirectory(directory_)) return false;
  return !writeFileAtomically(itemPath(service, account), secret, 0600);
}

bool FileSecretStore::remove(const std::string& service, const std::string& account) {
  std::error_code ec;
  return std::filesystem::remove(itemPath(service, account), ec);
}

std::optional<Bytes> MemorySecretStore::read(const std::string& service, const std::string& account) const {
  std::lock_guard guard(mutex_);
  auto it = items_.find({service, account});
  if (it == items_.end()) return std::nullopt;
  return it->second;
}

bool MemorySecretStore::write(const std::string& service, const std::string& account, ByteView secret) {
  std::lock_guard guard(mutex_);
  items_[{service, account}] = Bytes(secret.begin(), secret.end());
  return true;
}

bool MemorySecretStore::remove(const std::string& service, const std::string& account) {
  std::lock_guard guard(mutex_);
  return items_.erase({service, account}) > 0;
}

}  // namespace tavlo
