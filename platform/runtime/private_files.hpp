#pragma once
// Per-user files that must not be readable by others: settings, secrets, the identity's mirror,
// temporary clipboard files. Directories are 0700 and files 0600 from the moment they exist.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

// $XDG_CONFIG_HOME or ~/.config, $XDG_DATA_HOME or ~/.local/share, each with "tavlo" appended.
std::filesystem::path configDirectory();
std::filesystem::path dataDirectory();
// $XDG_STATE_HOME or ~/.local/state, with "tavlo" appended: what the host keeps between runs that is
// neither a setting nor data (its log).
std::filesystem::path stateDirectory();

// Creates `dir` (and missing parents) with mode 0700, or tightens an existing one to 0700. Fails when
// the path is a symbolic link, not a directory, or owned by another user. Returns an error text.
std::optional<std::string> ensurePrivateDirectory(const std::filesystem::path& dir);

// Writes `bytes` to a fresh file beside `path` created with `mode` (never wider at any moment), flushes
// it and renames it over `path`. Returns an error text on failure; `path` is then unchanged.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path, ByteView bytes,
                                               unsigned mode = 0600);

std::optional<Bytes> readWholeFile(const std::filesystem::path& path);

}  // namespace tavlo
