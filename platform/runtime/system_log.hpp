#pragma once
// The platform's log: one line at a time to standard error, or to the program's own log once it routes
// them there. Components log through a LogSink given by their owner; this is where lines end up when no
// owner is listening.
#include <functional>
#include <string>
#include <string_view>

namespace tavlo {

// Takes one line from any thread and returns at once.
using LogSink = std::function<void(const std::string&)>;

class SystemLog {
 public:
  static void write(std::string_view line);
  static LogSink sink(std::string prefix = {});
  // Sends every line written from now on to `log` instead of standard error (a program's one log, which
  // keeps them with the others); an empty sink goes back to standard error. Any thread.
  static void route(LogSink log);
};

}  // namespace tavlo
