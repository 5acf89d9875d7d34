#pragma once
// How well the client's camera and microphone uplinks keep up, and the quality rung that follows: one
// evaluation per frame feedback, in one-second windows. A camera that delivers well below its recent
// peak frame rate for three windows steps one rung down, one that keeps up for two windows one rung up;
// the microphone likewise by its packet rate (five good windows to step up). No step up while the
// link's chronic relief holds. Pure: the session calls it under its mutex and sends what it says.
#include <cstdint>
#include <optional>

#include "hostcore/session/media_devices_state.hpp"

namespace vela {

struct DeviceUplink {
  static constexpr int64_t cameraTopRung = 6;
  static constexpr int64_t micTopRung = 4;
  // A measuring window closes once more than this has passed since it opened.
  static constexpr uint64_t windowUs = 999'999;
  // Camera: at least 70 % of the reference frame rate is a good window; below 40 % (50 % on the legacy
  // ladder, whose reference is the rung's own rate) a bad one.
  static constexpr double cameraOkShare = 0.7;
  static constexpr double cameraBadShare = 0.4;
  static constexpr double cameraBadShareLegacy = 0.5;
  static constexpr int64_t cameraBadWindows = 3;
  static constexpr int64_t cameraOkWindows = 2;
  // Microphone: packets per second of a good and of a bad window (it sends 50 per second).
  static constexpr double micOkRate = 35;
  static constexpr double micBadRate = 20;
  static constexpr int64_t micBadWindows = 3;
  static constexpr int64_t micOkWindows = 5;

  // What one evaluation asks the session to send for a device.
  struct Verdict {
    std::optional<bool> control;     // the device was switched on or off: this value goes out
    std::optional<int64_t> quality;  // the rung to send and remember
  };

  // One evaluation at `nowUs`; `wanted` is whether the host wants the device streamed now.
  static Verdict evaluateCamera(MediaDevicesState& m, bool wanted, uint64_t nowUs, uint64_t reliefChronicUntilUs,
                                bool legacyLadder);
  static Verdict evaluateMicrophone(MediaDevicesState& m, bool wanted, uint64_t nowUs, uint64_t reliefChronicUntilUs);

  // The rung a device starts a session at: one below where it ended (nothing remembered counts as -1),
  // never below 0.
  static int64_t startingRung(std::optional<int64_t> remembered) {
    return std::max<int64_t>(remembered.value_or(-1) - 1, 0);
  }
};

}  // namespace vela
