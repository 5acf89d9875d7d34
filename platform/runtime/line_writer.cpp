#include "platform/runtime/line_writer.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include "platform/runtime/thread_name.hpp"

namespace tavlo {

LineWriter::LineWriter(std::string label, size_t limit, Write write, DroppedNote droppedNote)
    : limit_(std::max<size_t>(limit, 1)), write_(std::move(write)), droppedNote_(std::move(droppedNote)) {
  thread_ = std::thread([this, label = std::move(label)] {
    setCurrentThreadName(label);
    run();
  });
}

LineWriter::~LineWriter() {
  {
    std::lock_guard guard(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void LineWriter::add(std::string line) {
  {
    std::lock_guard guard(mutex_);
    ++added_;
    lines_.push_back(std::move(line));
    if (lines_.size() > limit_) {
      lines_.pop_front();
      ++dropped_;
      ++settled_;
    }
  }
  changed_.notify_all();
}

bool LineWriter::flush(std::chrono::milliseconds within) {
  std::unique_lock lock(mutex_);
  const uint64_t target = added_;
  return changed_.wait_for(lock, within, [&] { return settled_ >= target; });
}

void LineWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !lines_.empty(); });
    if (stopping_) return;
    const uint64_t dropped = std::exchange(dropped_, 0);
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    lock.unlock();
    if (dropped > 0 && droppedNote_) write_(droppedNote_(dropped), stopping_);
    write_(line, stopping_);
    lock.lock();
    ++settled_;
    changed_.notify_all();
  }
}

void LineWriter::writeToDescriptor(int fd, const std::string& text, const std::atomic<bool>& stopping) {
  size_t done = 0;
  while (done < text.size() && !stopping) {
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) continue;
    if (p.revents & (POLLERR | POLLNVAL)) return;
    // No more than a pipe takes at once: a pipe with room for PIPE_BUF bytes takes them without blocking.
    const size_t chunk = std::min<size_t>(text.size() - done, PIPE_BUF);
    const ssize_t n = ::write(fd, text.data() + done, chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return;
    done += size_t(n);
  }
}

}  // namespace tavlo
