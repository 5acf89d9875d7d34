// A PulseAudio server that accepts the connection and then never answers (hung, or stopped) costs a
// caller the answer limit, not the rest of its life.
#include "platform/pulse/pulse_audio_devices.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

using namespace std::chrono_literals;

// A listening socket nobody accepts on: the kernel completes the connect, nothing ever replies.
class SilentServer {
 public:
  explicit SilentServer(const std::filesystem::path& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd_, 8) == 0;
  }
  ~SilentServer() {
    if (fd_ >= 0) ::close(fd_);
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  bool ok() const { return ok_; }
  std::string address() const { return "unix:" + path_.string(); }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  bool ok_ = false;
};

TEST(PulseAudioDevices, AServerThatNeverAnswersCostsTheAnswerLimit) {
  testkit::TempDir dir;
  SilentServer server(dir / "native");
  ASSERT_TRUE(server.ok()) << std::strerror(errno);
  PulseAudioDevices devices(server.address(), 300ms);
  for (int call = 0; call < 3; ++call) {
    const auto began = std::chrono::steady_clock::now();
    bool answered = call == 0 ? devices.sources().has_value()
                    : call == 1 ? devices.defaultSource().has_value()
                                : devices.setDefaultSource("x");
    EXPECT_FALSE(answered) << "call " << call;
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s) << "call " << call;
  }
}

}  // namespace
}  // namespace tavlo
