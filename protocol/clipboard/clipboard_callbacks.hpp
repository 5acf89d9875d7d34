#pragma once
// How the clipboard transfer engine reaches its owner: the wire, the host and the log.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/runtime/snapshot_slot.hpp"
#include "platform/runtime/system_log.hpp"
#include "protocol/clipboard/clip_payload.hpp"
#include "protocol/clipboard_messages.hpp"

namespace vela {

// Direction of a transfer in progress reports.
enum class ClipDir : uint8_t { send = 0, receive = 1 };

struct ClipboardCallbacks {
  // Sends one piece to the peer (the owner frames it as a control packet).
  std::function<void(const ClipData&)> onSendData;
  // An incoming item is complete. `name` is the announced name made safe as a file name (empty for an
  // unnamed item); a file payload lies in the engine's private folder and belongs to the callee.
  std::function<void(uint64_t clipId, const std::string& uti, const std::string& name, const ClipPayload&)> onComplete;
  // A transfer of either direction failed; the item will not complete.
  std::function<void(uint64_t clipId)> onFailed;
  std::function<void(uint64_t clipId, ClipDir dir, uint32_t done, uint32_t total)> onProgress;
  // Bytes still waiting on the control channel; the pacer holds back while this is above 65,536.
  std::function<int64_t()> sendCredit;
  tavlo::LogSink onLog;
};

// The engine's current callbacks. The owner may replace them from any thread while the engine calls
// them from others: every call works on a snapshot taken under the slot's lock.
using ClipboardCallbackSlot = tavlo::SnapshotSlot<ClipboardCallbacks>;

}  // namespace vela
