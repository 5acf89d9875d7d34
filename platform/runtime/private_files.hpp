#pragma once
// Per-user files that must not be readable by others: settings, secrets, the identity's mirror,
// temporary clipboard files. Directories are 0700 and files 0600 from the moment they exist.
#include <filesystem>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

// $XDG_CONFIG_HOME or ~/.config, $XDG_DATA_HOME or ~/.local/share, each with "tavlo" appended. The
// home is $HOME, else the account's entry. Absent when the user has neither a home nor the variable:
// never a shared temporary folder, where another user could plant files first.
std::optional<std::filesystem::path> configDirectory();
std::optional<std::filesystem::path> dataDirectory();
// $XDG_STATE_HOME or ~/.local/state, with "tavlo" appended: what the host keeps between runs that is
// neither a setting nor data (its log). Absent on the same terms.
std::optional<std::filesystem::path> stateDirectory();

// Where the host and the device daemons keep what they share while they run (the microphone ring,
// the camera mailbox): $XDG_RUNTIME_DIR, which the session manager makes for the user alone (0700);
// without it a private 0700 folder of the user's own, $XDG_CACHE_HOME or ~/.cache with "tavlo/run"
// appended, created here (`fallback` says so, for a log line). Never a folder that every account can
// write into, where another could create the files first. Absent when neither can be had.
struct RuntimeDirectory {
  std::filesystem::path path;
  bool fallback = false;
};
std::optional<RuntimeDirectory> runtimeDirectory();

// The host's own folder for what lives only while it runs (the instance lock, received clipboard
// files): "tavlo" in $XDG_RUNTIME_DIR, else the state folder. Two hosts of one user with different
// runtime folders never share it; no other account can create it first. Absent without either.
std::optional<std::filesystem::path> hostRuntimeFolder();

// Creates `dir` (and missing parents) with mode 0700, or tightens an existing one to 0700. Fails when
// the path is a symbolic link, not a directory, or owned by another user. Returns an error text.
std::optional<std::string> ensurePrivateDirectory(const std::filesystem::path& dir);

// Writes `bytes` to a fresh file beside `path` created with `mode` (never wider at any moment), flushes
// it and renames it over `path`. Returns an error text on failure; `path` is then unchanged.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path, ByteView bytes,
                                               unsigned mode = 0600);

std::optional<Bytes> readWholeFile(const std::filesystem::path& path);

// A file that holds secrets (keys), as read by readPrivateFile.
struct PrivateRead {
  std::optional<Bytes> bytes;          // the content, when the file exists and passed every check
  std::optional<std::string> refusal;  // why an existing file (or its folder) is not used
};

// Why the open file (or folder, with `directory`) `fd` may not hold what is this user's alone, or
// nullopt: it must be a regular file (a directory) of the effective user, closed to group and others.
// Checked on the descriptor, so a path swapped after the open proves nothing.
std::optional<std::string> privacyFault(int fd, const std::filesystem::path& path, bool directory);

// Reads a file of secrets. Its folder and the file are opened without following a link, and used only
// when both belong to the effective user and neither is open to group or others (checked on the open
// descriptors, so a path swapped between check and read proves nothing). A missing file or folder is
// simply absent; anything else that is wrong is a refusal with its reason.
PrivateRead readPrivateFile(const std::filesystem::path& path);

}  // namespace tavlo
