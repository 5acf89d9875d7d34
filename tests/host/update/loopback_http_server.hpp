#pragma once
// A minimal HTTP/1.0 server on 127.0.0.1 for the update tests: serves fixed bodies by path, one
// connection at a time, on its own thread. A body can be cut short after its full length was announced,
// and the connection then held open, silent, until the test releases it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace tavlo::testkit {

class LoopbackHttpServer {
 public:
  struct Body {
    std::string bytes;
    size_t cutAfter = std::string::npos;  // sends only this many bytes, then closes
    bool holdOpen = false;                 // after the cut, waits for `release()` before closing
  };

  LoopbackHttpServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LoopbackHttpServer() {
    release();
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  void set(const std::string& path, Body body) {
    std::lock_guard lock(mutex_);
    bodies_[path] = std::move(body);
  }
  // Whether a held-open connection is waiting now.
  bool holding() const {
    std::lock_guard lock(mutex_);
    return holding_;
  }
  // Lets every held-open connection close, now and later.
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    releasedChanged_.notify_all();
  }

 private:
  void serve() {
    while (true) {
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      answer(client);
      ::close(client);
    }
  }

  void answer(int client) {
    std::string request;
    char chunk[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
      ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      request.append(chunk, static_cast<size_t>(n));
    }
    const size_t start = request.find(' ') + 1;
    const std::string path = request.substr(start, request.find(' ', start) - start);
    Body body;
    bool found = false;
    {
      std::lock_guard lock(mutex_);
      if (auto it = bodies_.find(path); it != bodies_.end()) {
        body = it->second;
        found = true;
      }
    }
    std::string answer = found ? "HTTP/1.0 200 OK\r\n" : "HTTP/1.0 404 Not Found\r\n";
    answer += "Content-Length: " + std::to_string(body.bytes.size()) + "\r\nConnection: close\r\n\r\n";
    answer += body.bytes.substr(0, body.cutAfter);
    size_t sent = 0;
    while (sent < answer.size()) {
      ssize_t n = ::send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<size_t>(n);
    }
    if (!body.holdOpen) return;
    std::unique_lock lock(mutex_);
    holding_ = true;
    releasedChanged_.wait(lock, [this] { return released_; });
    holding_ = false;
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable releasedChanged_;
  std::map<std::string, Body> bodies_;
  bool holding_ = false;
  bool released_ = false;
};

}  // namespace tavlo::testkit
