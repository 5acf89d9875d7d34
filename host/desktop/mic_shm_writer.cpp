#include "host/desktop/mic_shm_writer.hpp"

#include <cstring>

#include "devices/shared/mic_ring.hpp"
#include "platform/runtime/private_files.hpp"

namespace tavlo {

std::unique_ptr<MicShmWriter> MicShmWriter::create(const LogSink& log) {
  if (auto dir = runtimeDirectory(); dir && dir->fallback && log) {
    log("⚠️ brak XDG_RUNTIME_DIR — pierścień mikrofonu i skrzynka kamery w prywatnym katalogu " + dir->path.string());
  }
  return create(micring::defaultPath(), log);
}

std::unique_ptr<MicShmWriter> MicShmWriter::create(const std::string& path, const LogSink& log) {
  std::string error;
  auto memory = SharedMemory::openOrCreate(path, micring::kTotalBytes, error);
  if (memory) {
    micring::RingView ring(memory->bytes());
    if (!ring.valid() && !ring.blank()) {
      // Another build's layout: its position and samples mean nothing to us, and reading on from it
      // could mislead the daemon. A fresh object makes the daemon map again.
      if (log) log("🎙 pierścień mikrofonu o obcym układzie — tworzę nowy");
      memory = SharedMemory::createFresh(path, micring::kTotalBytes, error);
    }
  }
  if (!memory) {
    if (log) log("🎙 ❌ pierścień mikrofonu niedostępny: " + error);
    return nullptr;
  }
  micring::RingView(memory->bytes()).writeHeader();
  return std::unique_ptr<MicShmWriter>(new MicShmWriter(std::move(memory)));
}

void MicShmWriter::write(ByteView pcmS16) {
  micring::RingView ring(memory_->bytes());
  uint64_t position = ring.writePosition();
  // Exactly s × 2^-15: every 16-bit value is representable.
  constexpr float kScale = 1.0f / 32768.0f;
  for (size_t i = 0; i + 1 < pcmS16.size(); i += 2) {
    int16_t sample;
    std::memcpy(&sample, pcmS16.data() + i, sizeof sample);
    ring.storeSample(position++, static_cast<float>(sample) * kScale);
  }
  ring.publishWritePosition(position);
}

}  // namespace tavlo
