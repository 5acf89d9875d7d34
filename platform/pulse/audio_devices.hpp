#pragma once
// The host's view of the audio server's inputs: the sources, which one is the default, and whether a
// source is in use. PulseAudioDevices asks the PulseAudio (or PipeWire's pulse) server; FakeAudioDevices
// stands in for it in tests.
#include <optional>
#include <string>
#include <vector>

namespace tavlo {

struct AudioSource {
  std::string name;  // the server's unique name: the device identifier
  std::string description;
  bool isMonitor = false;  // the monitor of an output, not an input device
  bool running = false;    // some process records from it
};

class AudioDevices {
 public:
  virtual ~AudioDevices() = default;
  // Every source in the server's order; nullopt when the server cannot be asked.
  virtual std::optional<std::vector<AudioSource>> sources() = 0;
  // The default source's name; nullopt when it cannot be read or there is none.
  virtual std::optional<std::string> defaultSource() = 0;
  virtual bool setDefaultSource(const std::string& name) = 0;
};

}  // namespace tavlo
