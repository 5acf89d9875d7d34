#pragma once
// What the tests of the built tavlo-host share: the key it prints, counting its log lines, its
// threads and memory from /proc, and something that changes on the screen so capture has frames to send.
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/runtime/base64.hpp"
#include "platform/runtime/bytes.hpp"
#include "platform/x11/xcb_connection.hpp"
#include "tests/host/app/host_process.hpp"

namespace tavlo::endtoend {

// Under AddressSanitizer freed memory waits in quarantine and every block carries redzones, so the
// host's resident set says nothing about what it keeps: memory bounds are checked in the normal build.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool residentSetIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool residentSetIsMeaningful = false;
#else
inline constexpr bool residentSetIsMeaningful = true;
#endif
#else
inline constexpr bool residentSetIsMeaningful = true;
#endif
// AddressSanitizer's host also takes several times longer over each connection it accepts: a flood sized
// to load the normal build (the figures that count) runs at this fraction of its rate there, where it
// checks what the flood's paths do to memory.
inline constexpr int sanitizerFloodDivisor = residentSetIsMeaningful ? 1 : 5;

// How long a test waits for the host to answer: only a guard against a hang, longer under the sanitizer,
// whose host runs several times slower.
inline constexpr std::chrono::seconds hostAnswerBound{residentSetIsMeaningful ? 15 : 45};

// The signing key the host printed ("signing key (Base64) …").
inline std::optional<Bytes> publishedKey(const std::string& output) {
  const std::string marker = "signing key (Base64) ";
  size_t at = output.find(marker);
  if (at == std::string::npos) return std::nullopt;
  at += marker.size();
  size_t end = output.find_first_of(",\n", at);
  return base64Decode(output.substr(at, end - at));
}

// The built tavlo-host on a block of free ports and `display`, once it has printed its signing key.
struct KeyedHost {
  uint16_t base = 0;
  std::unique_ptr<HostProcess> process;
  Bytes key;
};

// Empty, with `why` set to what went wrong and what the host printed, when it did not get that far.
// `environment` is set in the host's process on top of its home's folders.
inline std::optional<KeyedHost> startKeyedHost(
    const std::filesystem::path& home, const std::string& display, std::string& why,
    const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  KeyedHost host;
  host.base = freeBlock();
  if (host.base == 0) {
    why = "no free block of ports";
    return std::nullopt;
  }
  host.process = std::make_unique<HostProcess>(
      home, std::vector<std::string>{"--port", std::to_string(host.base), "--display", display}, environment);
  std::optional<Bytes> key;
  if (host.process->waitForLine("signing key (Base64) ")) key = publishedKey(host.process->output());
  if (!key) {
    why = "the host printed no signing key:\n" + host.process->output();
    return std::nullopt;
  }
  host.key = std::move(*key);
  return host;
}

// The host's lines, read on for the bound of waitForLine, for a failure message.
inline std::string linesSoFar(HostProcess& host) {
  host.waitForLine("\x01");
  return host.output();
}

// Polls `condition` every 20 ms until it holds (true) or `within` has passed (false).
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds within) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// How often `text` stands in `output`.
inline size_t linesWith(const std::string& output, const std::string& text) {
  size_t count = 0;
  for (size_t at = output.find(text); at != std::string::npos; at = output.find(text, at + text.size())) ++count;
  return count;
}

struct ProcessFigures {
  int64_t threads = 0;
  int64_t rssKiB = 0;
};

// The process's threads and resident memory, from /proc/<pid>/status; zeros when it cannot be read.
inline ProcessFigures figuresOf(pid_t pid) {
  ProcessFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") status >> figures.threads;
    if (key == "VmRSS:") status >> figures.rssKiB;
    status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  return figures;
}

// Something that changes on the screen: capture sends only frames whose content changed.
class ScreenActivity {
 public:
  explicit ScreenActivity(const XcbConnection& x) : x_(x), gc_(xcb_generate_id(x.get())) {
    xcb_create_gc(x_.get(), gc_, x_.root(), 0, nullptr);
  }
  ~ScreenActivity() { xcb_free_gc(x_.get(), gc_); }
  // Paints a square at the top left of the root window in the next colour.
  void step() {
    const uint32_t colour = (++count_ * 0x3D5A7Bu) & 0xFFFFFFu;
    xcb_change_gc(x_.get(), gc_, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t square{0, 0, 256, 256};
    xcb_poly_fill_rectangle(x_.get(), x_.root(), gc_, 1, &square);
    xcb_flush(x_.get());
  }

 private:
  const XcbConnection& x_;
  xcb_gcontext_t gc_;
  uint32_t count_ = 0;
};

}  // namespace tavlo::endtoend
