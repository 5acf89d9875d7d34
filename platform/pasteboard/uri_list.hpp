#pragma once
// text/uri-list as X clipboards carry files: one URI a line (CRLF or LF), "#" lines are comments. Only
// local file: URLs name files we can read; anything else is skipped.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tavlo {

// The local files a uri-list names, in order. Percent escapes are decoded; a URL with a host other than
// empty or "localhost", a bad escape, a NUL or a relative path is skipped.
std::vector<std::filesystem::path> parseFileUriList(std::string_view list);

// A uri-list naming `files` (absolute paths), bytes outside the unreserved set percent-encoded.
std::string formatFileUriList(const std::vector<std::filesystem::path>& files);

}  // namespace tavlo
