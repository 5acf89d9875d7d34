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
  switch (kind_) {
    case Kind::badEndpoint: return "badEndpoint (unusable port or endpoint, a time-out, or a line connection that ended)";
    case Kind::notReady: return "notReady (the connection failed or was cancelled before it was ready)";
  }
  return what();
}

}  // namespace vela
