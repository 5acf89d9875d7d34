#include "platform/runtime/system_log.hpp"

#include <cstdio>
#include <mutex>

namespace tavlo {

void SystemLog::write(std::string_view line) {
  static std::mutex mutex;
  std::lock_guard guard(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
}

LogSink SystemLog::sink(std::string prefix) {
  return [prefix = std::move(prefix)](const std::string& line) { write(prefix + line); };
}

}  // namespace tavlo
