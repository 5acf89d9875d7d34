#include "platform/runtime/thread_name.hpp"

#include <pthread.h>

namespace tavlo {

void setCurrentThreadName(const std::string& label) {
  pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
}

}  // namespace tavlo
