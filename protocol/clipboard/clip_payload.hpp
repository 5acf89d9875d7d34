#pragma once
// One clipboard item's body: bytes held in memory, or a file whose content is the item.
#include <filesystem>
#include <memory>
#include <optional>

#include "platform/runtime/bytes.hpp"

namespace vela {

using tavlo::Bytes;
using tavlo::ByteView;

class ClipPayload {
 public:
  enum class Kind : uint8_t { memory, file };

  // The bytes are shared between copies of the payload, never copied with it.
  static ClipPayload memory(Bytes bytes);
  static ClipPayload file(std::filesystem::path path);

  Kind kind() const { return kind_; }
  bool isMemory() const { return kind_ == Kind::memory; }
  bool isFile() const { return kind_ == Kind::file; }

  // A memory payload's bytes (empty for a file payload).
  ByteView bytes() const { return bytes_ ? ByteView(*bytes_) : ByteView(); }
  // A file payload's path (empty for a memory payload).
  const std::filesystem::path& path() const { return path_; }

  // The item's bytes: the buffer, or the whole content of the file; nothing when the file cannot be
  // read (missing, not a regular file, a read error).
  std::optional<Bytes> readData() const;

  // Memory payloads compare by content, file payloads by path.
  friend bool operator==(const ClipPayload& a, const ClipPayload& b);

 private:
  ClipPayload() = default;

  Kind kind_ = Kind::memory;
  std::shared_ptr<const Bytes> bytes_;
  std::filesystem::path path_;
};

}  // namespace vela
