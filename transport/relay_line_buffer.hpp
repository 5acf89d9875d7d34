#pragma once
// Cutting a relay connection's byte stream into lines. A line is UTF-8 text ended by one line feed;
// it comes out with invalid sequences replaced by U+FFFD and horizontal white space trimmed from both
// ends (a carriage return stays). Bytes behind a line stay buffered: after a session's line the same
// connection carries the TCP multiplex, whose first bytes may have arrived with the line.
//
// Pure logic: the line reader feeds it what the socket reads.
#include <cstddef>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace vela {

class RelayLineBuffer {
 public:
  // The longest line accepted, line feed not counted. The longest line of the protocol (the host's
  // registration answer) is under 200 bytes; without a cap a peer that never sends a line feed makes
  // the reader buffer without end.
  static constexpr size_t maxLineBytes = 4096;

  void append(tavlo::ByteView piece);

  // The next complete line, or nullopt when more bytes are needed or the stream broke the cap. Once
  // overflowed, no line is ever returned again.
  std::optional<std::string> nextLine();
  bool overflowed() const { return overflowed_; }

  // Takes the bytes received behind the last returned line, leaving the buffer empty.
  tavlo::Bytes takeRemaining();
  size_t bufferedBytes() const { return buffer_.size() - start_; }

 private:
  tavlo::Bytes buffer_;
  size_t start_ = 0;         // first byte not yet returned
  size_t searchedUpTo_ = 0;  // bytes from start_ already known to hold no line feed
  bool overflowed_ = false;
};

}  // namespace vela
