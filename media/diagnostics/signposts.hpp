#pragma once
// Named intervals and point events for profiling. Each one is a USDT probe of provider "tavlo"
// (interval_begin and interval_end with category, name and identifier; event with the message too), which
// perf and bpftrace read from the binary: until a tool attaches to it a probe is a single no-op
// instruction. A trace hook (a test) sees them too; without one that costs a single relaxed load.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vela {

class Signposts {
 public:
  enum class Kind : uint8_t { intervalBegin, intervalEnd, event };
  struct Record {
    std::string_view category;  // "video" or "render"
    Kind kind;
    std::string_view name;
    uint64_t id;
    std::string message;
  };
  using Hook = std::function<void(const Record&)>;

  // The state of an open interval; hand it back to end().
  struct IntervalState {
    uint64_t id = 0;
  };

  static Signposts& video();
  static Signposts& render();

  // Installs (or with an empty hook removes) the process-wide trace hook. Not for hot paths.
  static void setHook(Hook hook);

  // `name` must be a string literal: only its pointer is kept (and handed to the probe as a C string).
  IntervalState begin(std::string_view name);
  void end(std::string_view name, IntervalState state);
  void event(std::string_view name);
  void event(std::string_view name, const std::string& message);

  std::string_view category() const { return category_; }

 private:
  explicit Signposts(std::string_view category) : category_(category) {}
  void emit(Kind kind, std::string_view name, uint64_t id, const std::string& message);

  std::string_view category_;
};

}  // namespace vela
