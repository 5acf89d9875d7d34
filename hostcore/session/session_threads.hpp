#pragma once
// The session's loops (the control loop, the media loops, each second path's loop) each own a thread.
// The threads are detached: a loop holds the transport it reads and the session weakly, so the session
// may go away on any thread, its own loops' included, without waiting for a loop to notice.
#include <functional>
#include <string>

namespace vela {

// Starts `body` on a new thread named `name` (at most 15 characters are kept).
void startSessionThread(const std::string& name, std::function<void()> body);

// Session threads started and not yet finished: a test that ends with more than it began with has left
// a loop running.
int liveSessionThreads();

}  // namespace vela
