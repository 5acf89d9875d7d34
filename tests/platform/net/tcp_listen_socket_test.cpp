#include "platform/net/tcp_listen_socket.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "platform/net/net_thread.hpp"
#include "platform/net/tcp_connection.hpp"
#include "tests/transport/raw_sockets.hpp"

namespace tavlo {
namespace {

// A listener whose hand-over fails while `failing` is set, as it does when the process is out of threads.
struct TroubledListener {
  TroubledListener() {
    listener->start(
        [this](std::shared_ptr<TcpConnection>) {
          bool fail;
          {
            std::lock_guard guard(mutex);
            ++handovers;
            fail = failing;
          }
          changed.notify_all();
          if (fail) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "no thread");
        },
        [this](const std::string& error, bool pausing) {
          std::lock_guard guard(mutex);
          troubles.push_back(error);
          pauses.push_back(pausing);
        });
  }
  ~TroubledListener() { listener->stop(); }

  // Connects one client and waits until its hand-over has run to its end on the listener's thread.
  void connectOne(bool failHandover) {
    int expected;
    {
      std::lock_guard guard(mutex);
      failing = failHandover;
      expected = handovers + 1;
    }
    clients.push_back(std::make_unique<vela::testkit::RawTcp>("127.0.0.1", "127.0.0.1", listener->port()));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return handovers == expected; }));
    lock.unlock();
    thread->sync([] {});
  }
  size_t troubleCount() {
    std::lock_guard guard(mutex);
    return troubles.size();
  }

  std::shared_ptr<NetThread> thread = NetThread::start("test.listen");
  std::unique_ptr<TcpListenSocket> listener = TcpListenSocket::open(thread, 0, ServiceClass::bestEffort);
  std::mutex mutex;
  std::condition_variable changed;
  int handovers = 0;
  bool failing = false;
  std::vector<std::string> troubles;
  std::vector<bool> pauses;  // of each trouble told
  std::vector<std::unique_ptr<vela::testkit::RawTcp>> clients;
};

TEST(TcpListenSocket, ReportsFailedHandOversOncePerSpellWhichEndsWithAConnectionHandedOver) {
  TroubledListener rig;
  for (int i = 0; i < 3; ++i) rig.connectOne(/*failHandover=*/true);
  EXPECT_EQ(rig.troubleCount(), 1u) << "a peer that keeps connecting while the hand-over fails makes one line";
  rig.connectOne(/*failHandover=*/false);
  EXPECT_EQ(rig.troubleCount(), 1u);
  rig.connectOne(/*failHandover=*/true);
  EXPECT_EQ(rig.troubleCount(), 2u) << "a connection handed over ended the spell, so the next failure is told";
  std::lock_guard guard(rig.mutex);
  EXPECT_EQ(rig.pauses, (std::vector<bool>{false, false})) << "a failed hand-over does not pause accepting";
}

}  // namespace
}  // namespace tavlo
