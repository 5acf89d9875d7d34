#pragma once
// The one error type of decoding in the whole protocol.
#include <cstdint>
#include <exception>
#include <string>

namespace vela {

class WireError : public std::exception {
 public:
  enum class Kind : uint8_t {
    unsupportedVersion,     // value(): the version byte read
    unknownChannel,         // value(): the channel byte read
    unknownMessageType,     // channel(), msgType()
    malformed,              // text(): a short description naming the field and the value
    underflow,
    badMagic,
    encryptedNotSupported,
  };

  static WireError unsupportedVersion(uint8_t version) { return WireError(Kind::unsupportedVersion, version); }
  static WireError unknownChannel(uint8_t channel) { return WireError(Kind::unknownChannel, channel); }
  static WireError unknownMessageType(uint8_t channel, uint8_t msgType) {
    WireError error(Kind::unknownMessageType, channel);
    error.msgType_ = msgType;
    return error;
  }
  static WireError malformed(std::string text) {
    WireError error(Kind::malformed, 0);
    error.text_ = std::move(text);
    return error;
  }
  static WireError underflow() { return WireError(Kind::underflow, 0); }
  static WireError badMagic() { return WireError(Kind::badMagic, 0); }
  static WireError encryptedNotSupported() { return WireError(Kind::encryptedNotSupported, 0); }

  Kind kind() const { return kind_; }
  uint8_t value() const { return value_; }
  uint8_t channel() const { return value_; }
  uint8_t msgType() const { return msgType_; }
  const std::string& text() const { return text_; }

  // The kind's name; describe() adds the payload.
  const char* what() const noexcept override;
  std::string describe() const;

  friend bool operator==(const WireError& a, const WireError& b) {
    return a.kind_ == b.kind_ && a.value_ == b.value_ && a.msgType_ == b.msgType_ && a.text_ == b.text_;
  }

 private:
  WireError(Kind kind, uint8_t value) : kind_(kind), value_(value) {}

  Kind kind_;
  uint8_t value_;
  uint8_t msgType_ = 0;
  std::string text_;
};

}  // namespace vela
