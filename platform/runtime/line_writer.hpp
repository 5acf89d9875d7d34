#pragma once
// Text on its way to a slow or stuck destination (standard output into a pipe nobody reads, a log file on
// a busy disk): the caller hands over a line and returns at once, and one thread of the writer's own
// writes the lines in order. At most `limit` lines wait; when more come, the oldest are dropped and
// counted, and the writer writes a note with the count before the next line it does write.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tavlo {

class LineWriter {
 public:
  // Writes one line; may block, but returns soon once `stopping` turns true (the line may then be lost).
  using Write = std::function<void(const std::string& line, const std::atomic<bool>& stopping)>;
  // The note written in place of `dropped` lines.
  using DroppedNote = std::function<std::string(uint64_t dropped)>;

  // `label` names the thread.
  LineWriter(std::string label, size_t limit, Write write, DroppedNote droppedNote);
  // Lines still waiting are dropped; waits only for the line being written, which `stopping` cuts short.
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Any thread; never waits for the destination.
  void add(std::string line);
  // Waits until every line added before the call was written (true) or `within` has passed (false).
  bool flush(std::chrono::milliseconds within);

  // Writes `text` to the descriptor, waiting for room at most 100 ms at a time so that `stopping` is seen:
  // the Write for standard output and other pipes. Gives up on an error.
  static void writeToDescriptor(int fd, const std::string& text, const std::atomic<bool>& stopping);

 private:
  void run();

  const size_t limit_;
  const Write write_;
  const DroppedNote droppedNote_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // the fields below
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  uint64_t dropped_ = 0;
  uint64_t added_ = 0;    // lines added (dropped ones too)
  uint64_t settled_ = 0;  // lines written or dropped
  std::thread thread_;
};

}  // namespace tavlo
