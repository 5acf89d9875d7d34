#pragma once
// The camera mailbox: the one thing the host and the camera daemon share. The daemon creates it when
// it publishes "Tavlo Camera"; the host's feeder finds it by the device identifier in its header and
// enqueues letterboxed 1280×720 BGRA frames; the daemon takes the newest frame and shows it.
//
//   offset  size   field
//   0       4      magic 0x544C4342 ("TLCB")
//   4       4      layout version, 1
//   8       4      width 1280          } the one frame format, fixed by the layout
//   12      4      height 720          }
//   16      4      bytes per row 5120  }
//   20      4      slot count 4: frames the queue holds; a frame pushed while it is full is dropped
//   24      8      write count: frames ever enqueued (producer; release after the frame's bytes)
//   32      8      read count: frames ever taken (consumer; release after it copied them)
//   40      4      running: 1 while an application streams from the camera, else 0
//   44      4      process id of the daemon (shown in the host's log)
//   48      32     device identifier, NUL-padded ASCII
//   4096    4 × 3,686,400   the frame slots; frame n lives in slot n mod 4
//
// A single producer and a single consumer; the queue is the frames between the two counts. Both sides
// take sizes and offsets from the constants below, never from the header, and a header that does not
// match them makes the mailbox unusable rather than misread.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "devices/shared/runtime_file.hpp"

namespace tavlo::cammailbox {

static_assert(std::endian::native == std::endian::little, "the mailbox's integers are stored in native order");

// The mailbox's file in the user's runtime directory: "$XDG_RUNTIME_DIR/tavlo-cam".
inline constexpr std::string_view kFileName = "tavlo-cam";
inline std::string defaultPath() { return runtimeFilePath(kFileName); }
inline constexpr uint32_t kMagic = 0x544C4342;
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kWidth = 1280;
inline constexpr uint32_t kHeight = 720;
inline constexpr uint32_t kBytesPerRow = kWidth * 4;
inline constexpr size_t kFrameBytes = size_t{kBytesPerRow} * kHeight;
// The sink stream's queue depth: how far the daemon may fall behind before the host drops frames.
inline constexpr uint32_t kSlotCount = 4;
inline constexpr size_t kUidBytes = 32;
inline constexpr size_t kSlotsOffset = 4096;
inline constexpr size_t kTotalBytes = kSlotsOffset + kSlotCount * kFrameBytes;

namespace offset {
inline constexpr size_t magic = 0, version = 4, width = 8, height = 12, bytesPerRow = 16, slotCount = 20;
inline constexpr size_t writeCount = 24, readCount = 32, running = 40, daemonPid = 44, deviceUid = 48;
}  // namespace offset
static_assert(offset::deviceUid + kUidBytes <= kSlotsOffset);

// A view over a mapping of at least kTotalBytes (callers check the size before making one).
class MailboxView {
 public:
  explicit MailboxView(std::span<uint8_t> bytes) : base_(bytes.data()) {}

  bool valid() const {
    return load32(offset::magic) == kMagic && load32(offset::version) == kVersion &&
           load32(offset::width) == kWidth && load32(offset::height) == kHeight &&
           load32(offset::bytesPerRow) == kBytesPerRow && load32(offset::slotCount) == kSlotCount;
  }

  // Daemon: lays out a fresh (zero-filled) mailbox.
  void initialize(uint32_t daemonPid, std::string_view deviceUid) {
    store32(offset::version, kVersion);
    store32(offset::width, kWidth);
    store32(offset::height, kHeight);
    store32(offset::bytesPerRow, kBytesPerRow);
    store32(offset::slotCount, kSlotCount);
    store32(offset::daemonPid, daemonPid);
    std::memset(base_ + offset::deviceUid, 0, kUidBytes);
    std::memcpy(base_ + offset::deviceUid, deviceUid.data(), std::min(deviceUid.size(), kUidBytes - 1));
    counter(offset::writeCount).store(0, std::memory_order_relaxed);
    counter(offset::readCount).store(0, std::memory_order_relaxed);
    flag().store(0, std::memory_order_relaxed);
    // The magic last: a producer that maps the object early sees an invalid mailbox until here.
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base_ + offset::magic))
        .store(kMagic, std::memory_order_release);
  }

  std::string deviceUid() const {
    const char* text = reinterpret_cast<const char*>(base_ + offset::deviceUid);
    return std::string(text, strnlen(text, kUidBytes));
  }
  uint32_t daemonPid() const { return load32(offset::daemonPid); }

  bool running() const { return flag().load(std::memory_order_acquire) != 0; }
  void setRunning(bool running) { flag().store(running ? 1 : 0, std::memory_order_release); }

  uint64_t writeCount() const { return counter(offset::writeCount).load(std::memory_order_acquire); }
  uint64_t readCount() const { return counter(offset::readCount).load(std::memory_order_acquire); }
  uint64_t queued() const {
    uint64_t written = writeCount(), taken = readCount();
    return written >= taken ? written - taken : 0;
  }

  // Producer: `render` fills the next free slot (kBytesPerRow × kHeight bytes) and returns whether it
  // did; the frame is then published. False without calling `render` when the queue is full (also
  // while the counts disagree after a restart, until the consumer has put them right).
  bool tryEnqueue(const std::function<bool(std::span<uint8_t> frame)>& render) {
    uint64_t written = counter(offset::writeCount).load(std::memory_order_relaxed);
    uint64_t taken = counter(offset::readCount).load(std::memory_order_acquire);
    if (taken > written || written - taken >= kSlotCount) return false;
    if (!render(slot(written))) return false;
    counter(offset::writeCount).store(written + 1, std::memory_order_release);
    return true;
  }

  // Consumer: copies the newest queued frame into `frame` (kFrameBytes) and empties the queue; false
  // when nothing is queued. Counts that went backwards (a producer that started over) are followed.
  bool takeNewest(std::span<uint8_t> frame) {
    uint64_t written = counter(offset::writeCount).load(std::memory_order_acquire);
    uint64_t taken = counter(offset::readCount).load(std::memory_order_relaxed);
    if (written == taken) return false;
    if (written < taken) {
      counter(offset::readCount).store(written, std::memory_order_release);
      return false;
    }
    // The producer never writes the newest queued slot: it stops kSlotCount frames ahead of `taken`.
    auto newest = slot(written - 1);
    std::memcpy(frame.data(), newest.data(), std::min(frame.size(), newest.size()));
    counter(offset::readCount).store(written, std::memory_order_release);
    return true;
  }

 private:
  std::span<uint8_t> slot(uint64_t frameNumber) const {
    return {base_ + kSlotsOffset + (frameNumber % kSlotCount) * kFrameBytes, kFrameBytes};
  }
  std::atomic_ref<uint64_t> counter(size_t at) const {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base_ + at));
  }
  std::atomic_ref<uint32_t> flag() const {
    return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base_ + offset::running));
  }
  uint32_t load32(size_t at) const {
    uint32_t value;
    std::memcpy(&value, base_ + at, sizeof value);
    return value;
  }
  void store32(size_t at, uint32_t value) { std::memcpy(base_ + at, &value, sizeof value); }

  uint8_t* base_;
};

}  // namespace tavlo::cammailbox
