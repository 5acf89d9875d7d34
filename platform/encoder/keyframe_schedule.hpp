#pragma once
// When the next keyframe is due: the first frame, a frame the owner forces, and otherwise once the
// longest run of frames or of presentation time without one has been reached. The limits can change
// between any two frames and count from the last keyframe.
//
// Pure logic, not thread-safe: the encode worker alone uses it.
#include <cstdint>

namespace tavlo {

class KeyframeSchedule {
 public:
  // 0: no limit of that kind.
  void setMaxFrames(int64_t frames) { maxFrames_ = frames; }
  void setMaxDurationUs(int64_t durationUs) { maxDurationUs_ = durationUs; }

  // Whether the frame presented at `ptsUs` must be a keyframe (before `forced` by the owner).
  bool due(int64_t ptsUs, bool forced) const {
    if (forced || !sawKeyframe_) return true;
    if (maxFrames_ > 0 && framesSinceKeyframe_ >= maxFrames_) return true;
    return maxDurationUs_ > 0 && ptsUs - lastKeyframePtsUs_ >= maxDurationUs_;
  }
  // Records the frame that was coded.
  void frameCoded(int64_t ptsUs, bool keyframe) {
    if (keyframe) {
      sawKeyframe_ = true;
      lastKeyframePtsUs_ = ptsUs;
      framesSinceKeyframe_ = 1;
    } else {
      ++framesSinceKeyframe_;
    }
  }

 private:
  int64_t maxFrames_ = 0;
  int64_t maxDurationUs_ = 0;
  bool sawKeyframe_ = false;
  int64_t lastKeyframePtsUs_ = 0;
  int64_t framesSinceKeyframe_ = 0;
};

}  // namespace tavlo
