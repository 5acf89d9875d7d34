#pragma once
// The capture engine's own start failure. Failures of the platform itself arrive as
// tavlo::CaptureStreamError with the platform's description.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace vela {

class CaptureError : public std::exception {
 public:
  enum class Kind : uint8_t {
    displayNotFound = 0,  // no display offered for capture has the requested id
  };

  static CaptureError displayNotFound() { return CaptureError(Kind::displayNotFound); }

  Kind kind() const { return kind_; }
  // The case's name, as log lines print the error.
  const char* what() const noexcept override;

  friend bool operator==(const CaptureError& a, const CaptureError& b) { return a.kind_ == b.kind_; }

 private:
  explicit CaptureError(Kind kind) : kind_(kind) {}
  Kind kind_;
};

}  // namespace vela

template <>
struct std::hash<vela::CaptureError> {
  size_t operator()(const vela::CaptureError& error) const noexcept {
    return std::hash<uint8_t>{}(static_cast<uint8_t>(error.kind()));
  }
};
