#include "host/controller/log_backlog.hpp"

#include <algorithm>
#include <iterator>

namespace tavlo {

bool LogBacklog::add(std::string line) {
  std::lock_guard guard(mutex_);
  lines_.push_back(std::move(line));
  if (lines_.size() > limit_) {  // the oldest goes, the line just added too when the limit is 0
    lines_.pop_front();
    ++dropped_;
  }
  if (drainPosted_) return false;
  drainPosted_ = true;
  return true;
}

LogBacklog::Drained LogBacklog::drain(size_t most) {
  std::lock_guard guard(mutex_);
  const auto end = lines_.begin() + static_cast<std::ptrdiff_t>(std::min(most, lines_.size()));
  Drained out{{std::make_move_iterator(lines_.begin()), std::make_move_iterator(end)}, dropped_};
  lines_.erase(lines_.begin(), end);
  dropped_ = 0;
  out.more = !lines_.empty();
  drainPosted_ = out.more;
  return out;
}

}  // namespace tavlo
