#pragma once
// A shared-memory name of the test's own (tests run in parallel, and the names are global), removed
// with whatever object carries it when the test ends.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace tavlo::testkit {

class ShmName {
 public:
  ShmName() {
    static std::atomic<int> counter{0};
    name_ = "/tavlo-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  }
  ~ShmName() { ::shm_unlink(name_.c_str()); }
  ShmName(const ShmName&) = delete;
  ShmName& operator=(const ShmName&) = delete;
  const std::string& str() const { return name_; }
  operator const std::string&() const { return name_; }

 private:
  std::string name_;
};

}  // namespace tavlo::testkit
