#include "media/diagnostics/signposts.hpp"

#include <sys/sdt.h>

#include <mutex>

namespace vela {

namespace {
std::atomic<bool> hookInstalled{false};
std::atomic<uint64_t> nextId{1};
std::mutex hookMutex;
std::shared_ptr<const Signposts::Hook> currentHook;

std::shared_ptr<const Signposts::Hook> loadHook() {
  std::lock_guard guard(hookMutex);
  return currentHook;
}
}  // namespace

Signposts& Signposts::video() {
  static Signposts instance("video");
  return instance;
}

Signposts& Signposts::render() {
  static Signposts instance("render");
  return instance;
}

void Signposts::setHook(Hook hook) {
  std::lock_guard guard(hookMutex);
  currentHook = hook ? std::make_shared<const Hook>(std::move(hook)) : nullptr;
  hookInstalled.store(currentHook != nullptr, std::memory_order_release);
}

void Signposts::emit(Kind kind, std::string_view name, uint64_t id, const std::string& message) {
  // Category and name are string literals, so their data() are C strings a tracer can read.
  switch (kind) {
    case Kind::intervalBegin:
      STAP_PROBE3(tavlo, interval_begin, category_.data(), name.data(), id);
      break;
    case Kind::intervalEnd:
      STAP_PROBE3(tavlo, interval_end, category_.data(), name.data(), id);
      break;
    case Kind::event:
      STAP_PROBE4(tavlo, event, category_.data(), name.data(), id, message.c_str());
      break;
  }
  if (!hookInstalled.load(std::memory_order_relaxed)) return;
  if (auto hook = loadHook()) (*hook)(Record{category_, kind, name, id, message});
}

Signposts::IntervalState Signposts::begin(std::string_view name) {
  // An identifier is taken in every case, so that end() can always be called with the state.
  IntervalState state{nextId.fetch_add(1, std::memory_order_relaxed)};
  emit(Kind::intervalBegin, name, state.id, {});
  return state;
}

void Signposts::end(std::string_view name, IntervalState state) { emit(Kind::intervalEnd, name, state.id, {}); }

void Signposts::event(std::string_view name) { event(name, {}); }

void Signposts::event(std::string_view name, const std::string& message) {
  emit(Kind::event, name, nextId.fetch_add(1, std::memory_order_relaxed), message);
}

}  // namespace vela
