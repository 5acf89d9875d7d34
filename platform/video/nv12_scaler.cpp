#include "platform/video/nv12_scaler.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

namespace tavlo {

void Nv12Scaler::Release::operator()(SwsContext* context) const { sws_freeContext(context); }

std::unique_ptr<Nv12Scaler> Nv12Scaler::create() { return std::unique_ptr<Nv12Scaler>(new Nv12Scaler()); }

Nv12Scaler::~Nv12Scaler() = default;

SwsContext* Nv12Scaler::conversionFor(const Nv12Buffer& source, const Nv12Buffer& destination) {
  ++uses_;
  for (auto& c : conversions_) {
    if (c.sourceWidth == source.width() && c.sourceHeight == source.height() &&
        c.destinationWidth == destination.width() && c.destinationHeight == destination.height()) {
      c.lastUse = uses_;
      return c.context.get();
    }
  }
  // SWS_AREA averages what each destination pixel covers; equal sizes copy. Same format on both
  // sides: no colour conversion, the range stays video range.
  std::unique_ptr<SwsContext, Release> context(sws_getContext(source.width(), source.height(), AV_PIX_FMT_NV12,
                                                              destination.width(), destination.height(),
                                                              AV_PIX_FMT_NV12, SWS_AREA, nullptr, nullptr, nullptr));
  if (!context) return nullptr;
  if (conversions_.size() >= kMaxConversions) {
    auto oldest = conversions_.begin();
    for (auto it = conversions_.begin(); it != conversions_.end(); ++it) oldest = it->lastUse < oldest->lastUse ? it : oldest;
    conversions_.erase(oldest);
  }
  conversions_.push_back(Conversion{source.width(), source.height(), destination.width(), destination.height(), uses_,
                                    std::move(context)});
  return conversions_.back().context.get();
}

bool Nv12Scaler::transfer(const Nv12Buffer& source, Nv12Buffer& destination) {
  SwsContext* context = conversionFor(source, destination);
  if (!context) return false;
  const uint8_t* const in[4] = {source.lumaPlane(), source.chromaPlane(), nullptr, nullptr};
  const int inStrides[4] = {static_cast<int>(source.lumaStride()), static_cast<int>(source.chromaStride()), 0, 0};
  uint8_t* const out[4] = {destination.lumaPlane(), destination.chromaPlane(), nullptr, nullptr};
  const int outStrides[4] = {static_cast<int>(destination.lumaStride()), static_cast<int>(destination.chromaStride()),
                             0, 0};
  if (sws_scale(context, in, inStrides, 0, source.height(), out, outStrides) != destination.height()) {
    return false;
  }
  destination.color = source.color;
  return true;
}

}  // namespace tavlo
