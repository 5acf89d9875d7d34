#pragma once
// The sessions that have a transport and a session key but no admission yet (waiting for their hello),
// capped like every other waiting connection.
#include "host/controller/controlled_session.hpp"
#include "platform/runtime/capped_waiting_list.hpp"

namespace tavlo {

using AdmissionWaitingList = CappedWaitingList<ControlledSession>;

}  // namespace tavlo
