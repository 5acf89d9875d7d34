#include "host/update/update_archive.hpp"

#include <algorithm>
#include <cstring>
#include <set>
#include <string_view>

namespace tavlo {
namespace {

constexpr size_t blockBytes = 512;

// A NUL- or length-terminated field.
std::string_view field(ByteView block, size_t offset, size_t length) {
  const char* start = reinterpret_cast<const char*>(block.data() + offset);
  size_t n = 0;
  while (n < length && start[n] != '\0') ++n;
  return {start, n};
}

// An octal number field (spaces and NULs around it allowed); none for anything else.
std::optional<uint64_t> octal(ByteView block, size_t offset, size_t length) {
  std::string_view text = field(block, offset, length);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty() || text.size() > 12) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return std::nullopt;
    value = value * 8 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

bool checksumMatches(ByteView block) {
  auto stored = octal(block, 148, 8);
  if (!stored) return false;
  uint64_t sum = 0;
  for (size_t i = 0; i < blockBytes; ++i) sum += (i >= 148 && i < 156) ? ' ' : block[i];
  return sum == *stored;
}

// The path with "." parts dropped; none when it is absolute, empty, climbs with "..", or holds
// characters that have no business in a file name.
std::optional<std::string> safePath(std::string_view raw) {
  if (raw.empty() || raw.front() == '/') return std::nullopt;
  std::string out;
  while (!raw.empty()) {
    size_t slash = raw.find('/');
    std::string_view part = raw.substr(0, slash);
    raw = slash == std::string_view::npos ? std::string_view() : raw.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    for (char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || c == '\\') return std::nullopt;
    }
    if (!out.empty()) out += '/';
    out += part;
  }
  if (out.empty() || out.size() > UpdateArchive::maxPathBytes) return std::nullopt;
  return out;
}

bool allZero(ByteView block) {
  return std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0; });
}

void putOctal(uint8_t* at, size_t length, uint64_t value) {
  std::string digits(length - 1, '0');
  for (size_t i = length - 1; i-- > 0 && value > 0; value /= 8) digits[i] = static_cast<char>('0' + value % 8);
  std::memcpy(at, digits.data(), length - 1);
  at[length - 1] = 0;
}

}  // namespace

std::optional<UpdateArchive> readUpdateArchive(ByteView bytes, std::string& error) {
  UpdateArchive archive;
  std::set<std::string> seen;
  size_t at = 0;
  while (true) {
    if (bytes.size() - at < blockBytes) {
      error = "archive truncated (no end marker)";
      return std::nullopt;
    }
    ByteView header = bytes.subspan(at, blockBytes);
    at += blockBytes;
    if (allZero(header)) return archive;  // the end marker
    if (!checksumMatches(header)) {
      error = "archive header checksum mismatch";
      return std::nullopt;
    }
    auto size = octal(header, 124, 12);
    auto mode = octal(header, 100, 8);
    if (!size || !mode) {
      error = "archive header with a malformed size or mode";
      return std::nullopt;
    }
    const char type = static_cast<char>(header[156]);
    const bool ustar = field(header, 257, 6) == "ustar";
    std::string name(field(header, 0, 100));
    if (ustar) {
      std::string prefix(field(header, 345, 155));
      if (!prefix.empty()) name = prefix + "/" + name;
    }
    auto path = safePath(name);
    if (!path) {
      // The error goes to the log: a name with control characters is not repeated there.
      const bool text =
          std::none_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
      error = text ? "archive path outside the install folder: " + name.substr(0, 64) : "archive path that is not text";
      return std::nullopt;
    }
    if (type != '0' && type != '\0' && type != '5') {
      error = "archive entry that is neither a file nor a folder: " + *path;
      return std::nullopt;
    }
    if (*size > bytes.size() - at) {
      error = "archive truncated in " + *path;
      return std::nullopt;
    }
    if (archive.entries.size() >= UpdateArchive::maxEntries || !seen.insert(*path).second) {
      error = "archive with too many or repeated entries";
      return std::nullopt;
    }
    UpdateArchiveEntry entry{.path = *path, .directory = type == '5', .executable = (*mode & 0111) != 0, .data = {}};
    if (!entry.directory) entry.data = bytes.subspan(at, static_cast<size_t>(*size));
    archive.entries.push_back(std::move(entry));
    const uint64_t padded = (*size + blockBytes - 1) / blockBytes * blockBytes;
    at += static_cast<size_t>(std::min<uint64_t>(padded, bytes.size() - at));
  }
}

Bytes writeUpdateArchive(const std::vector<UpdateArchiveFile>& files) {
  Bytes out;
  for (const UpdateArchiveFile& file : files) {
    uint8_t header[blockBytes] = {};
    std::memcpy(header, file.path.data(), std::min<size_t>(file.path.size(), 100));
    putOctal(header + 100, 8, file.executable ? 0755 : 0644);
    putOctal(header + 108, 8, 0);
    putOctal(header + 116, 8, 0);
    putOctal(header + 124, 12, file.contents.size());
    putOctal(header + 136, 12, 0);
    header[156] = '0';
    std::memcpy(header + 257, "ustar\0" "00", 8);
    std::memset(header + 148, ' ', 8);
    uint64_t sum = 0;
    for (uint8_t b : header) sum += b;
    putOctal(header + 148, 7, sum);
    header[155] = ' ';
    out.insert(out.end(), header, header + blockBytes);
    out.insert(out.end(), file.contents.begin(), file.contents.end());
    out.resize((out.size() + blockBytes - 1) / blockBytes * blockBytes, 0);
  }
  out.resize(out.size() + 2 * blockBytes, 0);
  return out;
}

}  // namespace tavlo
