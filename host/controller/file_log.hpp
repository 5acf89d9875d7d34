#pragma once
// The host's log file: one line per message, "[HH:mm:ss.SSS] " (local time) before it, appended across
// runs and never truncated, rotated or limited by the program.
//
// The file lives in the user's own state folder (made 0700), never in a shared temporary folder where
// another user could create it first. Every line opens the file afresh (append, create, no following of
// a link, mode 0600), writes and closes it, so an outside reader always sees whole lines; a file that
// cannot be opened, or is not a regular file, loses the line silently and is never replaced. Writes run
// on a thread of their own, so the caller never waits for the disk and lines keep their order; at most
// `backlogLimit` lines wait, the oldest dropped first (a line in the file says how many).
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/line_writer.hpp"

namespace tavlo {

class FileLog {
 public:
  static constexpr const char* fileName = "tavlo-host.log";
  static constexpr size_t backlogLimit = 10'000;
  // The state folder's log file; absent when the user has no private state folder.
  static std::optional<std::filesystem::path> defaultPath();

  // Without a path, lines are dropped.
  explicit FileLog(std::optional<std::filesystem::path> path);
  // Writes the lines still waiting, for at most two seconds.
  ~FileLog();
  FileLog(const FileLog&) = delete;
  FileLog& operator=(const FileLog&) = delete;

  // Queues one line, stamped with the present time; returns at once. Any thread.
  void append(std::string message);
  // Returns once every line appended before the call is in the file (true) or `within` has passed.
  bool flush(std::chrono::milliseconds within = std::chrono::seconds(2));

  const std::optional<std::filesystem::path>& path() const { return path_; }

  // "[" + local time as "HH:mm:ss.SSS" + "] " + message + "\n".
  static std::string formatLine(std::string_view message, std::chrono::system_clock::time_point at);

 private:
  void write(const std::string& line) const;  // on the writer's thread

  const std::optional<std::filesystem::path> path_;
  LineWriter writer_;
};

}  // namespace tavlo
