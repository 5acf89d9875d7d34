// tavlo-micd: publishes the virtual microphone "Tavlo Mic" as a PipeWire source and plays the host's
// microphone ring into it. Runs as a user service; exits 0 on SIGTERM or SIGINT, 1 when PipeWire goes
// away (the service manager starts it again).
//
//   tavlo-micd [--ring PATH]     PATH defaults to $XDG_RUNTIME_DIR/tavlo-mic
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "devices/mic-plugin/mic_node_properties.hpp"
#include "devices/mic-plugin/mic_ring_reader.hpp"
#include "devices/shared/mic_ring.hpp"
#include "platform/runtime/private_files.hpp"
#include "platform/pipewire/pipewire_audio_source.hpp"

int main(int argc, char** argv) {
  std::string ringName = tavlo::micring::defaultPath();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--ring") == 0 && i + 1 < argc) {
      ringName = argv[++i];
    } else {
      std::fprintf(stderr, "usage: tavlo-micd [--ring PATH]\n");
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

  if (auto dir = tavlo::runtimeDirectory(); dir && dir->fallback) {
    std::fprintf(stderr, "tavlo-micd: no XDG_RUNTIME_DIR, the ring is looked for in %s\n", dir->path.c_str());
  }
  tavlo::MicRingReader reader(ringName);
  std::string error;
  auto context = tavlo::PipeWireContext::connect([] { kill(getpid(), SIGUSR1); }, error);
  if (!context) {
    std::fprintf(stderr, "tavlo-micd: %s\n", error.c_str());
    return 1;
  }
  // Both callbacks run on the PipeWire loop thread, one at a time.
  auto source = tavlo::PipeWireAudioSource::create(
      *context, tavlo::micdevice::nodeProperties(), tavlo::micdevice::kSampleRate,
      [&reader](std::span<float> samples) { reader.read(samples); },
      [&reader](bool streaming) { streaming ? reader.startIO() : reader.stopIO(); }, error);
  if (!source) {
    std::fprintf(stderr, "tavlo-micd: %s\n", error.c_str());
    return 1;
  }

  int received = 0;
  sigwait(&signals, &received);
  source.reset();
  context.reset();
  return received == SIGUSR1 ? 1 : 0;
}
