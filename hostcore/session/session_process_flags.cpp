#include "hostcore/session/session_process_flags.hpp"

#include "platform/runtime/json_store.hpp"

namespace vela {

SessionProcessFlags SessionProcessFlags::read(const tavlo::Settings& settings) {
  SessionProcessFlags flags;
  flags.audioHiFi = settings.getBool("tl.audioHiFi").value_or(true);
  flags.camLadderLegacy = settings.getBool("tl.camLadderLegacy").value_or(false);
  return flags;
}

}  // namespace vela
