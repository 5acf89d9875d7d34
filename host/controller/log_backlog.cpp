#include "host/controller/log_backlog.hpp"

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

LogBacklog::Drained LogBacklog::drain() {
  std::lock_guard guard(mutex_);
  Drained out{{std::make_move_iterator(lines_.begin()), std::make_move_iterator(lines_.end())}, dropped_};
  lines_.clear();
  dropped_ = 0;
  drainPosted_ = false;
  return out;
}

}  // namespace tavlo
