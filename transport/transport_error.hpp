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
  // What happened, for the log: one kind stands for several events. It is not part of the error's
  // value (two errors of one kind are equal).
  enum class Cause : uint8_t {
    unspecified,
    timedOut,      // a bounded wait ran out
    lineEnded,     // the peer closed a line connection
    lineTooLong,   // a line passed the line codec's limit
    noChallenge,   // the relay's first line was not a challenge the host could sign
    signerFailed,  // the identity could not sign the challenge
    refused,       // the relay refused the registration
  };

  static TransportError badEndpoint(Cause cause = Cause::unspecified) { return TransportError(Kind::badEndpoint, cause); }
  static TransportError timedOut() { return badEndpoint(Cause::timedOut); }
  static TransportError lineEnded() { return badEndpoint(Cause::lineEnded); }
  static TransportError notReady() { return TransportError(Kind::notReady, Cause::unspecified); }

  Kind kind() const { return kind_; }
  Cause cause() const { return cause_; }
  // The kind's name ("badEndpoint", "notReady").
  const char* what() const noexcept override;
  // What happened, for a reader of the log ("timed out", "the peer closed the line connection", ...);
  // what the kind stands for when the cause is not known.
  std::string describe() const;
  // describe() of a TransportError, what() of any other error: the text log lines print.
  static std::string describe(const std::exception& error);

  friend bool operator==(const TransportError& a, const TransportError& b) { return a.kind_ == b.kind_; }

 private:
  TransportError(Kind kind, Cause cause) : kind_(kind), cause_(cause) {}
  Kind kind_;
  Cause cause_;
};

}  // namespace vela
