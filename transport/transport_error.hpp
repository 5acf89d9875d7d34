#pragma once
// The set-up failures of the transports: thrown by listeners, dialers and readiness waits.
#include <cstdint>
#include <exception>
#include <string>

namespace vela {

class TransportError : public std::exception {
 public:
  enum class Kind : uint8_t {
    // A port number or endpoint that cannot be used; also a time-out of a bounded wait, and on the relay
    // path a line connection that ended.
    badEndpoint = 0,
    // A connection that failed or was cancelled before it became ready.
    notReady = 1,
  };

  static TransportError badEndpoint() { return TransportError(Kind::badEndpoint); }
  static TransportError notReady() { return TransportError(Kind::notReady); }

  Kind kind() const { return kind_; }
  // The kind's name ("badEndpoint", "notReady"), as log lines print the error.
  const char* what() const noexcept override;
  // What the kind stands for, for a reader of the log.
  std::string describe() const;

  friend bool operator==(const TransportError& a, const TransportError& b) { return a.kind_ == b.kind_; }

 private:
  explicit TransportError(Kind kind) : kind_(kind) {}
  Kind kind_;
};

}  // namespace vela
