#pragma once
// The list of every message record type. The round-trip and truncation tests and the fuzz target walk
// it, so a record added here (one line) is tested and fuzzed with the rest.
#include <cstddef>
#include <utility>

#include "e2e/e2e_messages.hpp"
#include "protocol/messages.hpp"

namespace vela {

template <class... Records>
struct WireRecordList {
  static constexpr size_t size = sizeof...(Records);

  // Calls f.template operator()<Record>() for each record type, in list order.
  template <class F>
  static void forEach(F&& f) {
    (f.template operator()<Records>(), ...);
  }

  // No two records share a channel and a message type.
  static constexpr bool uniqueKeys() {
    constexpr std::pair<Channel, uint8_t> keys[] = {{Records::channel, Records::msgType}...};
    for (size_t i = 0; i < size; ++i)
      for (size_t j = i + 1; j < size; ++j)
        if (keys[i] == keys[j]) return false;
    return true;
  }
};

using AllWireRecords = WireRecordList<
    // Media channels.
    VideoChunk,
    VideoParity,
    VideoNack,
    FrameFeedback,
    CamChunk,
    AudioPcm,
    MicPcm,
    // Session handshake and liveness.
    ClientHello,
    HostHello,
    Ping,
    Pong,
    Bye,
    Probe,
    ProbeAck,
    // Display and video control.
    ResizeRequest,
    SetScale,
    VideoConfig,
    IdrRequest,
    LtrAck,
    TransitionHintMessage,
    StreamBuffer,
    // Cursor, text focus, client state, lock and login.
    CursorImage,
    CursorSet,
    ClientStateMessage,
    LoginRequest,
    TextFocusMessage,
    LockStateMessage,
    ClientLogMessage,
    // Camera and microphone control.
    MicControl,
    CamControl,
    CamConfig,
    CamQuality,
    MicQuality,
    // Clipboard.
    ClipAnnounce,
    ClipRequest,
    ClipData,
    // Path and make-before-break.
    ClientPathMessage,
    MbbAttach,
    MbbPromote,
    ForcePath,
    SwitchInfo,
    // Keyboard and text.
    KeyEvent,
    TextInput,
    // Pointer, scroll, pinch and pencil.
    PointerButton,
    ScrollEvent,
    PinchEvent,
    PencilDiscrete,
    PencilUpdate,
    PointerMoveBatch,
    PencilSampleBatch,
    PointerMoveRelative,
    // End-to-end handshake.
    E2EHello,
    E2EAck>;

static_assert(AllWireRecords::uniqueKeys(), "two records share a channel and a message type");

}  // namespace vela
