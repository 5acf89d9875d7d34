#include "platform/runtime/system_log.hpp"

#include <cstdio>
#include <memory>
#include <mutex>

namespace tavlo {
namespace {

std::mutex& routeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<const LogSink>& routed() {
  static std::shared_ptr<const LogSink> sink;
  return sink;
}

}  // namespace

void SystemLog::write(std::string_view line) {
  std::shared_ptr<const LogSink> sink;
  {
    std::lock_guard guard(routeMutex());
    sink = routed();
  }
  // Called without the lock: the program's log may take its time or write a line of its own.
  if (sink) {
    (*sink)(std::string(line));
    return;
  }
  static std::mutex mutex;
  std::lock_guard guard(mutex);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
}

LogSink SystemLog::sink(std::string prefix) {
  return [prefix = std::move(prefix)](const std::string& line) { write(prefix + line); };
}

void SystemLog::route(LogSink log) {
  std::lock_guard guard(routeMutex());
  routed() = log ? std::make_shared<const LogSink>(std::move(log)) : nullptr;
}

}  // namespace tavlo
