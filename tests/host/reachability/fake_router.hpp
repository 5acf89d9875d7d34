#pragma once
// Routers on 127.0.0.1 for the mapper tests: a NAT-PMP gateway and a UPnP gateway device (its SSDP
// answer, its description and its SOAP control), each scripted by the test and recording what it got.
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/bytes.hpp"
#include "tests/transport/raw_sockets.hpp"

namespace tavlo::testkit {

// Answers each datagram with what `answer` returns (nothing: no answer).
class FakeNatPmpGateway {
 public:
  using Answer = std::function<std::optional<Bytes>(ByteView request)>;
  explicit FakeNatPmpGateway(Answer answer);
  ~FakeNatPmpGateway();
  uint16_t port() const { return socket_.port(); }
  std::vector<Bytes> requests() const;
  void clear();

 private:
  vela::testkit::RawUdp socket_;
  Answer answer_;
  mutable std::mutex mutex_;
  std::vector<Bytes> requests_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A gateway's mapping answer: opcode 128 + request opcode, result, epoch, ports, lifetime.
Bytes natPmpMappingAnswer(ByteView request, uint16_t result, uint16_t externalPort, uint32_t lifetimeSec);
Bytes natPmpAddressAnswer(uint32_t epoch, uint8_t a, uint8_t b, uint8_t c, uint8_t d);

struct HttpExchange {
  std::string method, path, soapAction, body;
};

// SSDP on one UDP port and HTTP on one TCP port. SSDP searches are answered with `location` (by
// default the description on this device); HTTP requests with what `respond` returns.
class FakeIgd {
 public:
  struct Reply {
    int status = 200;
    std::string body;
  };
  using Respond = std::function<Reply(const HttpExchange& request)>;

  explicit FakeIgd(Respond respond);
  ~FakeIgd();
  uint16_t ssdpPort() const { return ssdp_.port(); }
  uint16_t httpPort() const { return http_.port(); }
  std::string descriptionUrl() const;
  void setLocation(std::string location);
  // Datagrams sent to each searcher before the answer (other devices of the LAN, junk).
  void setLeadingReplies(std::vector<std::string> replies);
  std::vector<std::string> searches() const;
  std::vector<HttpExchange> exchanges() const;

 private:
  void serveSsdp();
  void serveHttp();

  vela::testkit::RawUdp ssdp_;
  vela::testkit::RawTcpListener http_;
  Respond respond_;
  mutable std::mutex mutex_;
  std::string location_;
  std::vector<std::string> leadingReplies_;
  std::vector<std::string> searches_;
  std::vector<HttpExchange> exchanges_;
  std::atomic<bool> stopping_{false};
  std::thread ssdpThread_, httpThread_;
};

// A device description offering one service of `serviceType` with `controlURL`.
std::string igdDescription(const std::string& serviceType, const std::string& controlURL);
// A SOAP answer to GetExternalIPAddress.
std::string externalAddressAnswer(const std::string& address);

}  // namespace tavlo::testkit
