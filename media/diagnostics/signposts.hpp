#pragma once
// Named intervals and point events for profiling. Nothing is recorded unless a trace hook is installed
// (a profiler, a test); without one every operation is a single relaxed load.
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

  // `name` must be a string literal: only its pointer is kept.
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
