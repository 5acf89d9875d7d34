#pragma once
// Names of the temporary files that incoming clipboard items are received into.
//
// An item's name comes from the peer's announcement and is untrusted: it may carry path separators,
// "..", control characters or a length no file system accepts. What is left after cleaning is always
// one harmless path component.
#include <cstddef>
#include <string>
#include <string_view>


namespace vela {

// The longest file name (one path component) the file systems we write to accept, in bytes.
inline constexpr size_t maxFileNameBytes = 255;
// What a name that cleans down to nothing, "." or ".." becomes.
inline constexpr std::string_view neutralClipFileName = "clip";

// One safe path component made from a peer's name: invalid UTF-8 repaired (U+FFFD), control characters
// (C0, DEL, C1, NUL among them) removed, only the last non-empty component after "/" or "\" kept, "."
// and ".." and an empty result replaced by the neutral name, and the result cut to `maxBytes` bytes
// without splitting a character.
std::string sanitizeClipFileName(std::string_view name, size_t maxBytes = maxFileNameBytes);

// The file name of an incoming item: "<UUID>-<cleaned name>" for a named item, "clip-<UUID>" for an
// unnamed one, with a fresh random UUID; never longer than maxFileNameBytes.
std::string clipTempFileName(std::string_view itemName);

}  // namespace vela
