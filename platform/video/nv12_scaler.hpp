#pragma once
// Scales one NV12 picture into another of any size, averaging the source pixels each destination pixel
// covers (a box filter: sharp text stays legible when a large backing is shrunk for the stream) and
// keeping video range. The session uses it to shrink full-size captures and for its soft filter.
//
// One scaler serves one thread at a time; it keeps the conversion set up while the sizes stay the same.
#include <cstdint>
#include <memory>

#include "platform/video/nv12_buffer.hpp"

struct SwsContext;

namespace tavlo {

class Nv12Scaler {
 public:
  // nullptr when the scaling library cannot be set up.
  static std::unique_ptr<Nv12Scaler> create();
  ~Nv12Scaler();
  Nv12Scaler(const Nv12Scaler&) = delete;
  Nv12Scaler& operator=(const Nv12Scaler&) = delete;

  // Fills every row of `destination` from `source`; the destination takes the source's colour
  // attachment. False when the conversion cannot be set up or fails (the destination's contents are
  // then undefined).
  bool transfer(const Nv12Buffer& source, Nv12Buffer& destination);

 private:
  Nv12Scaler() = default;
  struct Release {
    void operator()(SwsContext* context) const;
  };
  std::unique_ptr<SwsContext, Release> context_;
};

}  // namespace tavlo
