// Any bytes as a run of input records injected one after another: a selector byte (the record kind),
// a length byte, then that many bytes decoded as the record's payload. The injector must never post
// a pointer position that is not finite, whatever floats the records carry, and must let go of
// everything at the end.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "hostcore/engines/input_injector.hpp"
#include "platform/input/recording_poster.hpp"
#include "protocol/byte_reader.hpp"

namespace {

template <class T>
void injectAs(vela::InputInjector& injector, tavlo::ByteView payload) {
  vela::ByteReader reader(payload);
  try {
    injector.inject(T::decode(reader));
  } catch (const vela::WireError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto poster = std::make_shared<tavlo::RecordingPoster>();
  poster->setDisplayBounds(1, tavlo::ScreenRect{100, 50, 1280, 720});
  vela::InputInjector injector(poster);
  injector.setDisplay(1, 0, 0);
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t kind = data[at];
    const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    const tavlo::ByteView payload(data + at + 2, length);
    at += 2 + length;
    switch (kind % 10) {
      case 0: injectAs<vela::KeyEvent>(injector, payload); break;
      case 1: injectAs<vela::TextInput>(injector, payload); break;
      case 2: injectAs<vela::PointerButton>(injector, payload); break;
      case 3: injectAs<vela::ScrollEvent>(injector, payload); break;
      case 4: injectAs<vela::PointerMoveBatch>(injector, payload); break;
      case 5: injectAs<vela::PointerMoveRelative>(injector, payload); break;
      case 6: injectAs<vela::PencilSampleBatch>(injector, payload); break;
      case 7: injectAs<vela::PencilDiscrete>(injector, payload); break;
      case 8: injectAs<vela::PinchEvent>(injector, payload); break;
      case 9: injector.typeUnlockSequence(std::string(reinterpret_cast<const char*>(payload.data()), payload.size()));
    }
  }
  injector.releaseAll();
  for (const auto& event : poster->take()) {
    if (!std::isfinite(event.location.x) || !std::isfinite(event.location.y)) std::abort();
  }
  for (const auto& warp : poster->warps()) {
    if (!std::isfinite(warp.x) || !std::isfinite(warp.y)) std::abort();
  }
  if (injector.isLeftButtonDown()) std::abort();
  return 0;
}
