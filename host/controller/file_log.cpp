#include "host/controller/file_log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/runtime/private_files.hpp"
#include "platform/runtime/product_identifier.hpp"

namespace tavlo {
namespace fs = std::filesystem;

namespace {

constexpr mode_t logFileMode = 0600;

int openForAppend(const fs::path& path) {
  // Non-blocking, so that a FIFO in the file's place cannot hang the queue; it is refused below.
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, logFileMode);
}

}  // namespace

std::optional<fs::path> FileLog::defaultPath() {
  if (auto state = stateDirectory()) return *state / fileName;
  return std::nullopt;
}

FileLog::FileLog(std::optional<fs::path> path)
    : path_(std::move(path)),
      writer_(
          std::string(reverseDnsPrefix) + ".filelog", backlogLimit,
          [this](const std::string& line, const std::atomic<bool>&) { write(line); },
          [](uint64_t dropped) {
            return formatLine("⚠️ log: zapis do pliku nie nadąża — pominięto " + std::to_string(dropped) +
                                  " najstarszych linii",
                              std::chrono::system_clock::now());
          }) {}

FileLog::~FileLog() { writer_.flush(std::chrono::seconds(2)); }

void FileLog::append(std::string message) {
  if (!path_) return;
  std::string line = formatLine(message, std::chrono::system_clock::now());
  writer_.add(std::move(line));
}

bool FileLog::flush(std::chrono::milliseconds within) { return writer_.flush(within); }

std::string FileLog::formatLine(std::string_view message, std::chrono::system_clock::time_point at) {
  const auto whole = std::chrono::floor<std::chrono::seconds>(at);
  const std::time_t seconds = std::chrono::system_clock::to_time_t(whole);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(at - whole).count();
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  std::string line = stamp;
  line.append(message);
  line.push_back('\n');
  return line;
}

void FileLog::write(const std::string& line) const {
  int fd = openForAppend(*path_);
  if (fd < 0 && errno == ENOENT && path_->has_parent_path()) {
    // The first line of a fresh account: make the private folder, then try once more.
    if (ensurePrivateDirectory(path_->parent_path())) return;
    fd = openForAppend(*path_);
  }
  if (fd < 0) return;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return;
  }
  // A log an earlier version left readable by others is narrowed: it names peers and addresses.
  if ((st.st_mode & 0777) != logFileMode && st.st_uid == ::geteuid()) ::fchmod(fd, logFileMode);
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace tavlo
