#pragma once
// How a session reports to its owner. The owner may replace callbacks at any time from any thread;
// the session reads them as one snapshot (SnapshotSlot) and calls them on the thread of the event,
// never while it holds its mutex. A callback that is not set is skipped.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "media/pixel_buffer.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/clipboard/clipboard_callbacks.hpp"
#include "protocol/path_messages.hpp"
#include "protocol/session_messages.hpp"

namespace vela {

class HostSession;
struct DiagSnapshot;

// What the owner remembers of a device's last link, to seed the next session's bitrate.
struct LinkSeed {
  int64_t bps = 0;
  bool recentLoss = false;
  bool wan = false;
  int64_t proven = 0;
  bool chronic = false;
};

// The link state teardown hands back to the owner.
struct LinkSnapshot {
  std::string deviceKey;
  int64_t appliedBitrate = 0;
  bool recentLoss = false;
  bool wanLink = false;
  int64_t provenBps = 0;
  bool chronic = false;
};

struct SessionCallbacks {
  tavlo::LogSink onLog;                                       // every line of the session and its engines
  std::function<void()> onDisconnect;                         // once, when teardown has finished
  std::function<void(const std::string& deviceName)> onClientName;
  std::function<void(Platform)> onClientPlatform;
  std::function<void(bool available)> onForce1xAvailable;
  // Admission of a hello (may block while the owner decides); false refuses the client.
  std::function<bool(const std::string& clientKey, bool userInitiated)> takeoverGate;
  std::function<double(const std::string& clientKey)> scaleForDevice;
  std::function<bool(const std::string& clientKey, bool lowDPI)> force1xForDevice;
  std::function<std::optional<LinkSeed>(const std::string& clientKey)> linkSeedForDevice;
  std::function<void(const LinkSnapshot&)> onLinkSnapshot;
  std::function<void()> onLoginReceived;                      // a lock-screen password has been stored
  std::function<void(const std::string& text)> onSwitchInfo;
  // A second path asks to attach through this session's transport; the session is the one it arrived on.
  std::function<void(const MbbAttach&, const std::shared_ptr<HostSession>&)> onMbbAttach;
  // Whether the user's switches allow the path of a transport (its remote description), asked on the
  // session's threads before a second path becomes primary and when the owner asks the session to drop
  // second paths the switches no longer allow. Not set: every path is allowed.
  std::function<bool(const std::string& remoteDescription)> isPathAllowed;
  std::function<void()> onInputActivity;
  std::function<void(uint8_t action, bool down)> onHostAction;
  std::function<void()> onScaleCommit;
  std::function<void(const DiagSnapshot&)> onDiagnostics;
  std::function<void(uint64_t clipId, const std::string& uti, uint32_t size, const std::string& name,
                     const std::optional<tavlo::Bytes>& inlineBytes)>
      onClipAnnounce;
  std::function<void(uint64_t clipId, const std::string& uti, const std::string& name, const ClipPayload&)>
      onClipComplete;
  std::function<void(uint64_t clipId)> onClipFailed;
  std::function<void(ClipDir dir, uint32_t done, uint32_t total)> onClipProgress;
  std::function<void(const tavlo::Bytes& pcm)> onMicAudio;
  std::function<void(const PixelBuffer& frame)> onCamFrame;
  std::function<bool()> isCamConsumed;
  std::function<bool()> isMicConsumed;
};

}  // namespace vela
