#pragma once
// The keychain: small secrets addressed by (service, account).
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/runtime/bytes.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

// The outcome of storing a secret: true when it was stored, else the reason.
struct SecretWrite {
  std::optional<std::string> error;
  explicit operator bool() const { return !error; }
};

class SecretStore {
 public:
  virtual ~SecretStore() = default;
  virtual std::optional<Bytes> read(const std::string& service, const std::string& account) const = 0;
  // Replaces any earlier value.
  virtual SecretWrite write(const std::string& service, const std::string& account, ByteView secret) = 0;
  virtual bool remove(const std::string& service, const std::string& account) = 0;
};

// One 0600 file per item in a 0700 directory ($XDG_DATA_HOME/tavlo/secrets by default). An item is read
// only when it and the directory belong to this user and are closed to everyone else; a refused item is
// logged and reads as absent. Without a directory (the user has no private place) nothing is read and
// every write fails.
class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(std::optional<std::filesystem::path> directory = defaultDirectory(),
                           LogSink log = SystemLog::sink());
  static std::optional<std::filesystem::path> defaultDirectory();

  std::optional<Bytes> read(const std::string& service, const std::string& account) const override;
  SecretWrite write(const std::string& service, const std::string& account, ByteView secret) override;
  bool remove(const std::string& service, const std::string& account) override;

  // Only with a directory.
  std::filesystem::path itemPath(const std::string& service, const std::string& account) const;
  const std::optional<std::filesystem::path>& directory() const { return directory_; }

 private:
  std::optional<std::filesystem::path> directory_;
  LogSink log_;
};

class MemorySecretStore final : public SecretStore {
 public:
  std::optional<Bytes> read(const std::string& service, const std::string& account) const override;
  SecretWrite write(const std::string& service, const std::string& account, ByteView secret) override;
  bool remove(const std::string& service, const std::string& account) override;

 private:
  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Bytes> items_;
};

}  // namespace tavlo
