#include "protocol/camera_mic_messages.hpp"

#include <algorithm>
#include <array>

namespace vela {

namespace {
constexpr std::array<CamQuality, CamQuality::levelCount> cameraLadder{{
    {160, 10, 32},
    {320, 15, 70},
    {480, 24, 130},
    {640, 30, 220},
    {960, 30, 400},
    {1280, 30, 650},
    {1920, 30, 1200},
}};
constexpr std::array<uint32_t, MicQuality::levelCount> micLadderKbps{16, 24, 32, 48, 64};

size_t clampLevel(int level, size_t count) { return static_cast<size_t>(std::clamp(level, 0, static_cast<int>(count) - 1)); }
}  // namespace

CamQuality CamQuality::forLevel(int level) { return cameraLadder[clampLevel(level, cameraLadder.size())]; }

MicQuality MicQuality::forLevel(int level) { return MicQuality{micLadderKbps[clampLevel(level, micLadderKbps.size())]}; }

}  // namespace vela
