// The headers of the microphone ring and the camera mailbox as another process (an older build, or a
// hostile one of the same user) may have left them: the input overwrites the start of each object,
// then both sides do what they do. Nothing may be read or written outside the objects.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devices/shared/cam_mailbox.hpp"
#include "devices/shared/mic_ring.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tavlo;
  if (size == 0) return 0;
  static std::vector<uint8_t> ring(micring::kTotalBytes);
  static std::vector<uint8_t> mailbox(cammailbox::kTotalBytes);
  static std::vector<uint8_t> frame(cammailbox::kFrameBytes);

  std::memcpy(ring.data(), data, std::min(size, micring::kSamplesOffset));
  micring::RingView ringView(ring);
  const uint64_t written = ringView.writePosition();
  for (uint64_t n = written - 4; n != written + 4; ++n) (void)ringView.sample(n);
  ringView.storeSample(written, 0.5f);

  std::memcpy(mailbox.data(), data, std::min(size, cammailbox::kSlotsOffset));
  cammailbox::MailboxView view(mailbox);
  (void)view.valid();
  if (view.deviceUid().size() > cammailbox::kUidBytes) std::abort();
  (void)view.running();
  (void)view.queued();
  view.tryEnqueue([](std::span<uint8_t> slot) {
    if (slot.size() != cammailbox::kFrameBytes) std::abort();
    slot.front() = 1;
    slot.back() = 1;
    return true;
  });
  view.takeNewest(frame);
  if (view.writeCount() < view.readCount()) std::abort();  // the consumer puts backwards counts right
  return 0;
}
