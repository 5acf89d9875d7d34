#include "transport/with_ready.hpp"

#include <future>
#include <memory>
#include <mutex>
#include <utility>

#include "transport/transport_error.hpp"

namespace vela {

void withReady(const std::function<void(ReadyHandler)>& start) {
  struct Resume {
    std::mutex mutex;
    bool resumed = false;
    std::promise<bool> result;
  };
  auto resume = std::make_shared<Resume>();
  auto outcome = resume->result.get_future();
  start([resume](bool ready) {
    {
      std::lock_guard guard(resume->mutex);
      if (std::exchange(resume->resumed, true)) return;  // the first call wins
    }
    resume->result.set_value(ready);
  });
  if (!outcome.get()) throw TransportError::notReady();
}

}  // namespace vela
