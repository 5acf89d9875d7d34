// The log (standard output, the recent lines, the file) and the once-a-minute resource line.
#include <cstdio>

#include "host/controller/host_controller.hpp"

namespace tavlo {

void HostController::log(const std::string& message) {
  std::string line = "[HOST] " + message;
  if (deps_.standardOutput) {
    deps_.standardOutput(line);
  } else {
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  fileLog_.append(message);
  std::vector<std::string> lines = logLines.get();
  lines.push_back(message);
  if (lines.size() > logLinesKept) lines.erase(lines.begin(), lines.end() - logLinesKept);
  logLines.set(std::move(lines));
}

void HostController::fileLog(const std::string& message) { fileLog_.append(message); }

void HostController::flushLog() { fileLog_.flush(); }

namespace {

void drainLogBacklog(MainExecutor& main, const std::weak_ptr<HostController>& weak,
                     const std::shared_ptr<LogBacklog>& backlog) {
  LogBacklog::Drained drained = backlog->drain(HostController::logLinesPerJob);
  auto self = weak.lock();
  if (!self) return;
  if (drained.dropped > 0) {
    self->log("⚠️ log: za dużo linii naraz — pominięto " + std::to_string(drained.dropped) + " najstarszych");
  }
  for (const std::string& line : drained.lines) self->log(line);
  if (drained.more) main.post([&main, weak, backlog] { drainLogBacklog(main, weak, backlog); });
}

}  // namespace

LogSink HostController::logSink() {
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  std::shared_ptr<LogBacklog> backlog = logBacklog_;
  return [weak, main, backlog](const std::string& message) {
    if (!backlog->add(message)) return;
    main->post([main, weak, backlog] { drainLogBacklog(*main, weak, backlog); });
  };
}

void HostController::startResourceMonitor() {
  if (resourceTimer_.isArmed()) return;
  std::weak_ptr<HostController> weak = weak_from_this();
  MainExecutor* main = &deps_.main;
  auto id = deps_.scheduler.every(resourceMonitorIntervalUs, [weak, main] {
    main->post([weak] {
      if (auto self = weak.lock()) self->fileLog(resourceLine(self->deps_.sampleResources()));
    });
  });
  resourceTimer_ = ScopedTimer(deps_.scheduler, id);
}

}  // namespace tavlo
