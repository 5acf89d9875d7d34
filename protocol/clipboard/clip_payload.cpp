#include "protocol/clipboard/clip_payload.hpp"

#include <algorithm>

#include "protocol/clipboard/clip_file.hpp"

namespace vela {

ClipPayload ClipPayload::memory(Bytes bytes) {
  ClipPayload payload;
  payload.kind_ = Kind::memory;
  payload.bytes_ = std::make_shared<const Bytes>(std::move(bytes));
  return payload;
}

ClipPayload ClipPayload::file(std::filesystem::path path) {
  ClipPayload payload;
  payload.kind_ = Kind::file;
  payload.path_ = std::move(path);
  return payload;
}

std::optional<Bytes> ClipPayload::readData() const {
  if (isMemory()) return Bytes(bytes().begin(), bytes().end());
  auto file = ClipFile::openForReading(path_);
  if (!file) return std::nullopt;
  auto size = file->size();
  if (!size) return std::nullopt;
  return file->readExactly(0, *size);
}

bool operator==(const ClipPayload& a, const ClipPayload& b) {
  if (a.kind_ != b.kind_) return false;
  if (a.isFile()) return a.path_ == b.path_;
  return std::ranges::equal(a.bytes(), b.bytes());
}

}  // namespace vela
