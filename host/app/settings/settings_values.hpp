#pragma once
// The values the settings sliders move through and the texts that describe them.
#include <array>
#include <cstdint>

#include <QString>

namespace tavlo {

// The bandwidth ceilings the bandwidth slider offers (kbit/s), the last one "no limit".
inline constexpr std::array<int64_t, 14> bandwidthStepsKbps{100,  150,  200,  300,   500,   1000,  2000,
                                                            3000, 5000, 8000, 12000, 20000, 50000, 0};
// The knob's position for a ceiling: the step that equals it, else the last one (no limit).
int bandwidthStepIndex(int64_t kbps);
// The ceiling of a knob position, the position clamped to the steps.
int64_t bandwidthStepKbps(int index);
// "no limit", "150 kb/s", "2 Mb/s".
QString bandwidthLabel(int64_t kbps);

// The smoothness buffer moves in steps of this many milliseconds up to the maximum.
inline constexpr int64_t bufferStepMs = 50;
inline constexpr int64_t bufferMaxMs = 1000;
// "off (combat mode)" or "up to 200 ms".
QString bufferLabel(int64_t ms);

// The scale slider: 1.0 to 2.0 in eighths.
inline constexpr double scaleSliderStep = 0.125;
inline constexpr int scaleSliderPositions = 8;
// "HiDPI 1:1" up to 1.001, else "×1.50 (more space)".
QString scaleLabel(double scale);

// The keyframe interval slider: 0.2 s to 10 s in tenths (positions are tenths of a second).
inline constexpr int keyframeSliderMinTenths = 2;
inline constexpr int keyframeSliderMaxTenths = 100;
// "3.00 s".
QString keyframeIntervalLabel(double seconds);

}  // namespace tavlo
