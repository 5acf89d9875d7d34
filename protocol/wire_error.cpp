#include "protocol/wire_error.hpp"

namespace vela {

const char* WireError::what() const noexcept {
  switch (kind_) {
    case Kind::unsupportedVersion: return "unsupportedVersion";
    case Kind::unknownChannel: return "unknownChannel";
    case Kind::unknownMessageType: return "unknownMessageType";
    case Kind::malformed: return "malformed";
    case Kind::underflow: return "underflow";
    case Kind::badMagic: return "badMagic";
    case Kind::encryptedNotSupported: return "encryptedNotSupported";
  }
  return "WireError";
}

std::string WireError::describe() const {
  switch (kind_) {
    case Kind::unsupportedVersion:
    case Kind::unknownChannel: return std::string(what()) + "(" + std::to_string(value_) + ")";
    case Kind::unknownMessageType:
      return "unknownMessageType(channel: " + std::to_string(value_) + ", msgType: " + std::to_string(msgType_) + ")";
    case Kind::malformed: return "malformed(" + text_ + ")";
    default: return what();
  }
}

}  // namespace vela
