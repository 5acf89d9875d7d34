#include "transport/transport_error.hpp"

namespace vela {

const char* TransportError::what() const noexcept {
  switch (kind_) {
    case Kind::badEndpoint: return "badEndpoint";
    case Kind::notReady: return "notReady";
  }
  return "TransportError";
}

std::string TransportError::describe() const {
  switch (cause_) {
    case Cause::timedOut: return "timed out";
    case Cause::lineEnded: return "the peer closed the line connection";
    case Cause::lineTooLong: return "a line longer than the line limit";
    case Cause::noChallenge: return "no challenge that can be signed";
    case Cause::signerFailed: return "the challenge could not be signed";
    case Cause::refused: return "the relay refused the registration";
    case Cause::unspecified: break;
  }
  switch (kind_) {
    case Kind::badEndpoint: return "badEndpoint (unusable port or endpoint, a time-out, or a line connection that ended)";
    case Kind::notReady: return "notReady (the connection failed or was cancelled before it was ready)";
  }
  return what();
}

std::string TransportError::describe(const std::exception& error) {
  if (const auto* transport = dynamic_cast<const TransportError*>(&error)) return transport->describe();
  return error.what();
}

}  // namespace vela
