// tavlo-camd: publishes the virtual camera "Tavlo Camera" as a PipeWire video source and owns the
// mailbox that the host's camera feeder writes into. Runs as a user service; exits 0 on SIGTERM or
// SIGINT, 1 when PipeWire goes away (the service manager starts it again).
//
//   tavlo-camd [--mailbox PATH]     PATH defaults to $XDG_RUNTIME_DIR/tavlo-cam
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "devices/camera-extension/cam_device.hpp"
#include "devices/camera-extension/cam_node_properties.hpp"
#include "platform/pipewire/pipewire_video_source.hpp"
#include "platform/runtime/private_files.hpp"
#include "platform/runtime/shared_memory.hpp"

int main(int argc, char** argv) {
  std::string mailboxName = tavlo::cammailbox::defaultPath();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mailbox") == 0 && i + 1 < argc) {
      mailboxName = argv[++i];
    } else {
      std::fprintf(stderr, "usage: tavlo-camd [--mailbox PATH]\n");
      return 2;
    }
  }

  // Blocked before any thread starts, so that only sigwait below receives them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // A fresh mailbox each start: frames queued for an earlier daemon are stale, and a host that still
  // maps the old one finds the new one at its next consumption probe.
  if (auto dir = tavlo::runtimeDirectory(); dir && dir->fallback) {
    std::fprintf(stderr, "TLCam: no XDG_RUNTIME_DIR, the mailbox is made in %s\n", dir->path.c_str());
  }
  std::string error;
  auto memory = tavlo::SharedMemory::createFresh(mailboxName, tavlo::cammailbox::kTotalBytes, error);
  if (!memory) {
    std::fprintf(stderr, "TLCam: %s\n", error.c_str());
    return 1;
  }
  tavlo::cammailbox::MailboxView mailbox(memory->bytes());
  mailbox.initialize(static_cast<uint32_t>(getpid()), tavlo::camdevice::kDeviceUid);

  auto context = tavlo::PipeWireContext::connect([] { kill(getpid(), SIGUSR1); }, error);
  if (!context) {
    std::fprintf(stderr, "TLCam: %s\n", error.c_str());
    tavlo::SharedMemory::remove(mailboxName);
    return 1;
  }

  tavlo::ThreadScheduler scheduler(tavlo::SteadyClock::shared(), "tl.cam.timer");
  std::unique_ptr<tavlo::PipeWireVideoSource> source;
  // What the device's jobs send to: set once the node exists, read on the scheduler's thread.
  std::atomic<tavlo::PipeWireVideoSource*> output{nullptr};
  std::unique_ptr<tavlo::CamDevice> device = std::make_unique<tavlo::CamDevice>(
      mailbox, scheduler, [&output](tavlo::ByteView frame, size_t bytesPerRow) {
        if (auto* node = output.load(std::memory_order_acquire)) node->sendFrame(frame, bytesPerRow);
      });
  tavlo::PipeWireVideoSource::Format format{tavlo::cammailbox::kWidth, tavlo::cammailbox::kHeight,
                                            tavlo::camdevice::kFramesPerSecond};
  {
    auto created = tavlo::PipeWireVideoSource::create(
        *context, tavlo::camdevice::nodeProperties(), format,
        [&device](bool streaming) { streaming ? device->startStreaming() : device->stopStreaming(); }, error);
    if (!created) {
      std::fprintf(stderr, "TLCam: %s\n", error.c_str());
      tavlo::SharedMemory::remove(mailboxName);
      return 1;
    }
    source = std::move(created);
    output.store(source.get(), std::memory_order_release);
  }
  device->startPump();

  int received = 0;
  sigwait(&signals, &received);

  device->stop();
  // A job that was running when the timers were cancelled has finished once this one has run.
  std::promise<void> drained;
  scheduler.after(0, [&drained] { drained.set_value(); });
  drained.get_future().wait();
  output.store(nullptr, std::memory_order_release);
  source.reset();
  device.reset();
  context.reset();
  if (!memory->replaced()) tavlo::SharedMemory::remove(mailboxName);
  return received == SIGUSR1 ? 1 : 0;
}
