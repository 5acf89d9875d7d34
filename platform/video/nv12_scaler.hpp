#pragma once
// Scales one NV12 picture into another of any size, averaging the source pixels each destination pixel
// covers (a box filter: sharp text stays legible when a large backing is shrunk for the stream) and
// keeping video range. The session uses it to shrink full-size captures and for its soft filter.
//
// One scaler serves one thread at a time. It keeps a conversion set up for each pair of sizes it has
// seen lately (a soft filter alternates two pairs every frame), at most kMaxConversions of them: a pair
// not used for longest is dropped first, so a stream that changes size does not accumulate them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

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

  static constexpr size_t kMaxConversions = 4;
  // Conversions set up now (tests check that they stay bounded).
  size_t conversionCount() const { return conversions_.size(); }

 private:
  Nv12Scaler() = default;
  struct Release {
    void operator()(SwsContext* context) const;
  };
  struct Conversion {
    int32_t sourceWidth, sourceHeight, destinationWidth, destinationHeight;
    uint64_t lastUse;
    std::unique_ptr<SwsContext, Release> context;
  };
  SwsContext* conversionFor(const Nv12Buffer& source, const Nv12Buffer& destination);

  std::vector<Conversion> conversions_;
  uint64_t uses_ = 0;
};

}  // namespace tavlo
