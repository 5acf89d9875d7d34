#pragma once
// The keychain: small secrets addressed by (service, account).
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

class SecretStore {
 public:
  virtual ~SecretStore() = default;
  virtual std::optional<Bytes> read(const std::string& service, const std::string& account) const = 0;
  // Replaces any earlier value; false when it could not be stored.
  virtual bool write(const std::string& service, const std::string& account, ByteView secret) = 0;
  virtual bool remove(const std::string& service, const std::string& account) = 0;
};

// One 0600 file per item in a 0700 directory ($XDG_DATA_HOME/tavlo/secrets by default).
class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(std::filesystem::path directory = defaultDirectory());
  static std::filesystem::path defaultDirectory();

  std::optional<Bytes> read(const std::string& service, const std::string& account) const override;
  bool write(const std::string& service, const std::string& account, ByteView secret) override;
  bool remove(const std::string& service, const std::string& account) override;

  std::filesystem::path itemPath(const std::string& service, const std::string& account) const;
  const std::filesystem::path& directory() const { return directory_; }

 private:
  std::filesystem::path directory_;
};

class MemorySecretStore final : public SecretStore {
 public:
  std::optional<Bytes> read(const std::string& service, const std::string& account) const override;
  bool write(const std::string& service, const std::string& account, ByteView secret) override;
  bool remove(const std::string& service, const std::string& account) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Bytes> items_;
};

}  // namespace tavlo
