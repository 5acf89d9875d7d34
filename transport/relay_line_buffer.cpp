#include "transport/relay_line_buffer.hpp"

#include <algorithm>

#include "protocol/byte_reader.hpp"
#include "transport/relay_text.hpp"

namespace vela {

void RelayLineBuffer::append(tavlo::ByteView piece) {
  if (overflowed_) return;
  // Drop the returned lines before growing, so the buffer holds at most one line and what follows it.
  if (start_ > 0 && start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  } else if (start_ >= 4096 && start_ * 2 >= buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), piece.begin(), piece.end());
}

std::optional<std::string> RelayLineBuffer::nextLine() {
  if (overflowed_) return std::nullopt;
  auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
  auto feed = std::find(begin + static_cast<std::ptrdiff_t>(searchedUpTo_), buffer_.end(), uint8_t{'\n'});
  size_t lineBytes = static_cast<size_t>(feed - begin);
  if (lineBytes > maxLineBytes) {
    overflowed_ = true;
    buffer_.clear();
    start_ = searchedUpTo_ = 0;
    return std::nullopt;
  }
  if (feed == buffer_.end()) {
    searchedUpTo_ = lineBytes;
    return std::nullopt;
  }
  std::string text = ByteReader::repairedUtf8(tavlo::ByteView(&*begin, lineBytes));
  start_ += lineBytes + 1;
  searchedUpTo_ = 0;
  return std::string(trimHorizontalWhitespace(text));
}

tavlo::Bytes RelayLineBuffer::takeRemaining() {
  tavlo::Bytes rest(buffer_.begin() + static_cast<std::ptrdiff_t>(start_), buffer_.end());
  buffer_.clear();
  start_ = searchedUpTo_ = 0;
  return rest;
}

}  // namespace vela
