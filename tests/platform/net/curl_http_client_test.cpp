#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/http/http_client.hpp"

namespace tavlo {
namespace {

// A loopback listener that answers one request with a fixed body and remembers whether anyone came.
class OneShotServer {
 public:
  explicit OneShotServer(std::string body) : body_(std::move(body)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    ::listen(fd_, 4);
    thread_ = std::thread([this] {
      int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      visited_ = true;
      char buf[4096];
      (void)::recv(c, buf, sizeof buf, 0);
      std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                           "\r\nConnection: close\r\n\r\n" + body_;
      (void)::send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(c);
    });
  }
  ~OneShotServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  uint16_t port() const { return port_; }
  bool visited() const { return visited_; }

 private:
  std::string body_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> visited_{false};
};

// A device on the local network is asked directly: a proxy set in the environment (meant for the
// internet) would otherwise see, or swallow, every request made to the router.
TEST(CurlHttpClient, AsksADeviceDirectlyWhateverProxyTheEnvironmentNames) {
  OneShotServer device("device");
  OneShotServer proxy("proxy");
  std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  ::setenv("http_proxy", proxyUrl.c_str(), 1);
  ::setenv("HTTP_PROXY", proxyUrl.c_str(), 1);
  ::setenv("no_proxy", "", 1);
  HttpRequest request;
  request.url = "http://127.0.0.1:" + std::to_string(device.port()) + "/rootDesc.xml";
  request.timeoutMs = 5'000;
  HttpResponse response = makeCurlHttpClient()->send(request);
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  ::unsetenv("no_proxy");
  ASSERT_TRUE(response.completed) << response.error;
  EXPECT_EQ(response.body, "device");
  EXPECT_FALSE(proxy.visited());
}

}  // namespace
}  // namespace tavlo
