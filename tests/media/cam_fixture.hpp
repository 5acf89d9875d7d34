#pragma once
// The checked-in camera stream: eight pictures (one IDR, seven P) of 192x108 (coded 192x112), made once with
//   ffmpeg -f lavfi -i testsrc2=size=192x108:rate=30 -frames:v 8 -pix_fmt yuv420p -c:v libx265
//     -preset ultrafast -x265-params "bframes=0:keyint=60:aud=1:info=0:log-level=error"
//     -f hevc tests/media/data/cam_192x108.hevc
// (Debian 12's ffmpeg 5.1 with x265 3.5). Access-unit delimiters mark where each picture begins.
#include <vector>

#include "media/hevc_parameter_sets.hpp"

namespace vela::testing {

struct CamFixture {
  static constexpr int kWidth = 192;
  static constexpr int kHeight = 108;

  Bytes stream;                    // the file: an Annex-B byte stream
  std::vector<Bytes> accessUnits;  // one per picture, 4-byte length prefixes, parameter sets left out
};

const CamFixture& camFixture();

}  // namespace vela::testing
