#pragma once
// The name a file received from the client gets on the host's desktop. The client's name is untrusted:
// only its last path component is kept, and it must stay a name every file system here accepts.
#include <string>
#include <string_view>

namespace tavlo {

// What a name that cleans down to nothing, "." or ".." becomes.
inline constexpr std::string_view clipFallbackFileName = "plik";
inline constexpr size_t clipFileNameMaxChars = 200;
inline constexpr size_t clipFileNameMaxBytes = 255;

// The last path component (trailing slashes ignored; a name of slashes only is one "_"), with NUL,
// control characters and invalid UTF-8 replaced by "_", "." / ".." / empty replaced by the fallback,
// cut to 200 characters and 255 bytes at a character boundary.
std::string clipPasteFileName(std::string_view name);

// The bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

}  // namespace tavlo
