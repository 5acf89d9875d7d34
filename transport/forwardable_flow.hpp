#pragma once
// A datagram flow whose datagrams can be handed straight on, on the thread that receives them, to
// whoever wraps it (the rebindable flow), instead of waiting in its own incoming stream for a pump.
#include <functional>

#include "protocol/transport_interfaces.hpp"

namespace vela {

class ForwardableFlow : public DatagramFlow {
 public:
  struct Forward {
    std::function<void(Bytes&& datagram)> datagram;  // each datagram, in arrival order
    std::function<void()> ended;                      // once, when the flow's stream ends
  };

  // From now on every datagram goes to `forward` instead of incoming(); those already waiting in
  // incoming() go first, so nothing is lost or reordered. If the flow has already ended, `ended` is
  // called. The flow lets go of `forward` when it ends.
  virtual void forwardTo(Forward forward) = 0;
};

}  // namespace vela
