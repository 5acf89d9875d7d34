#pragma once
// Writes the client's microphone into the microphone ring (devices/shared/mic_ring.hpp), from which the
// microphone daemon plays it into the "Tavlo Mic" source. The ring outlives the host: a host that
// starts again continues from the stored write position, so a reader's position stays meaningful.
//
// One writer thread at a time (the session's microphone path).
#include <memory>
#include <string>

#include "devices/shared/mic_ring.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/runtime/shared_memory.hpp"
#include "platform/runtime/system_log.hpp"

namespace tavlo {

class MicShmWriter {
 public:
  // Opens or creates the ring at `path` (mode 0600), grows a smaller file, and writes the header. A
  // file there that is not a private one of ours (a link, another user's, open to others) or a ring
  // with another layout (bad magic or capacity) is replaced by a fresh one. nullptr when the file
  // cannot be opened, sized or mapped: the owner then drops microphone audio.
  static std::unique_ptr<MicShmWriter> create(const std::string& path, const LogSink& log);
  // The same at the ring's place in the user's runtime directory, saying in a line when that is the
  // private fallback folder (no $XDG_RUNTIME_DIR).
  static std::unique_ptr<MicShmWriter> create(const LogSink& log = SystemLog::sink());

  // Appends signed 16-bit little-endian mono samples at 48 kHz (an odd trailing byte is ignored) as
  // floats s / 32768, then publishes the new write position with release ordering.
  void write(ByteView pcmS16);

 private:
  explicit MicShmWriter(std::unique_ptr<SharedMemory> memory) : memory_(std::move(memory)) {}
  std::unique_ptr<SharedMemory> memory_;
};

}  // namespace tavlo
