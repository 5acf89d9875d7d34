#pragma once
// What a session takes from the process around it: time and timers, user defaults, randomness, the
// objects every session of the process shares, the makers of its engines and the listener's real ports.
// Tests hand each session fresh objects and fakes; the product hands every session the same ones.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "hostcore/engines/engine_factory.hpp"
#include "hostcore/engines/input_injector.hpp"
#include "hostcore/session/display_gate.hpp"
#include "hostcore/session/rung_memory.hpp"
#include "hostcore/session/session_process_flags.hpp"
#include "platform/display/display_system.hpp"
#include "platform/runtime/json_store.hpp"
#include "platform/runtime/random.hpp"
#include "platform/runtime/scheduler.hpp"

namespace vela {

// The UDP ports the listener really uses (the direct path's video, audio and unreliable-input flows).
struct ListenerPorts {
  uint16_t video = 47701;
  uint16_t audio = 47702;
  uint16_t input = 47703;
};

struct SessionDeps {
  // Every timer of the session; its clock is the session's clock for every time stamp.
  std::shared_ptr<tavlo::Scheduler> scheduler;
  std::shared_ptr<tavlo::Settings> settings;
  // Called from several sessions' threads at once: the shared one must be thread-safe.
  std::shared_ptr<tavlo::Random> random;
  std::shared_ptr<DisplayGate> displayGate;
  std::shared_ptr<RungMemory> rungMemory;
  SessionProcessFlags processFlags;
  // Capture and encoder engines on the process's backends; the input injector of each hello.
  std::shared_ptr<const EngineFactory> engines;
  InputInjectorFactory injectors;
  ListenerPorts listenerPorts;
  // The window system's queries (main display, live mode, bounds) for the hello's mode report, its
  // injector points and the mirror path; absent: no report, points from the mode size, no mirroring.
  std::shared_ptr<tavlo::DisplaySystem> windowSystem;
  // Where incoming clipboard files go; the per-user default when absent.
  std::optional<std::filesystem::path> clipTempFolder;
};

}  // namespace vela
