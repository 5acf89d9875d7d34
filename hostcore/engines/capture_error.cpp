#include "hostcore/engines/capture_error.hpp"

namespace vela {

const char* CaptureError::what() const noexcept {
  switch (kind_) {
    case Kind::displayNotFound:
      return "displayNotFound";
  }
  return "CaptureError";
}

}  // namespace vela
