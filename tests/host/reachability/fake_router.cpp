#include "tests/host/reachability/fake_router.hpp"

#include <cctype>
#include <chrono>

namespace tavlo::testkit {
namespace {

constexpr auto pollStep = std::chrono::milliseconds(50);

std::string stripCr(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string lowerCase(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

FakeNatPmpGateway::FakeNatPmpGateway(Answer answer) : answer_(std::move(answer)) {
  thread_ = std::thread([this] {
    while (!stopping_.load()) {
      auto got = socket_.receiveFrom(pollStep);
      if (!got) continue;
      {
        std::lock_guard guard(mutex_);
        requests_.push_back(got->second);
      }
      if (auto reply = answer_(got->second)) socket_.sendTo(got->first, *reply);
    }
  });
}

FakeNatPmpGateway::~FakeNatPmpGateway() {
  stopping_.store(true);
  thread_.join();
}

std::vector<Bytes> FakeNatPmpGateway::requests() const {
  std::lock_guard guard(mutex_);
  return requests_;
}

void FakeNatPmpGateway::clear() {
  std::lock_guard guard(mutex_);
  requests_.clear();
}

Bytes natPmpMappingAnswer(ByteView request, uint16_t result, uint16_t externalPort, uint32_t lifetimeSec) {
  return {0,
          static_cast<uint8_t>(128 + request[1]),
          static_cast<uint8_t>(result >> 8),
          static_cast<uint8_t>(result),
          0,
          0,
          0x10,
          0,
          request[4],
          request[5],
          static_cast<uint8_t>(externalPort >> 8),
          static_cast<uint8_t>(externalPort),
          static_cast<uint8_t>(lifetimeSec >> 24),
          static_cast<uint8_t>(lifetimeSec >> 16),
          static_cast<uint8_t>(lifetimeSec >> 8),
          static_cast<uint8_t>(lifetimeSec)};
}

Bytes natPmpAddressAnswer(uint32_t epoch, uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return {0,
          128,
          0,
          0,
          static_cast<uint8_t>(epoch >> 24),
          static_cast<uint8_t>(epoch >> 16),
          static_cast<uint8_t>(epoch >> 8),
          static_cast<uint8_t>(epoch),
          a,
          b,
          c,
          d};
}

FakeIgd::FakeIgd(Respond respond) : respond_(std::move(respond)) {
  location_ = descriptionUrl();
  ssdpThread_ = std::thread([this] { serveSsdp(); });
  httpThread_ = std::thread([this] { serveHttp(); });
}

FakeIgd::~FakeIgd() {
  stopping_.store(true);
  ssdpThread_.join();
  httpThread_.join();
}

std::string FakeIgd::descriptionUrl() const {
  return "http://127.0.0.1:" + std::to_string(http_.port()) + "/rootDesc.xml";
}

void FakeIgd::setLocation(std::string location) {
  std::lock_guard guard(mutex_);
  location_ = std::move(location);
}

void FakeIgd::setLeadingReplies(std::vector<std::string> replies) {
  std::lock_guard guard(mutex_);
  leadingReplies_ = std::move(replies);
}

std::vector<std::string> FakeIgd::searches() const {
  std::lock_guard guard(mutex_);
  return searches_;
}

std::vector<HttpExchange> FakeIgd::exchanges() const {
  std::lock_guard guard(mutex_);
  return exchanges_;
}

void FakeIgd::serveSsdp() {
  while (!stopping_.load()) {
    auto got = ssdp_.receiveFrom(pollStep);
    if (!got) continue;
    std::string location;
    std::vector<std::string> leading;
    {
      std::lock_guard guard(mutex_);
      searches_.push_back(toString(got->second));
      location = location_;
      leading = leadingReplies_;
    }
    for (const auto& reply : leading) ssdp_.sendTo(got->first, toBytes(reply));
    std::string answer = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: "
                         "urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\nLocation: " +
                         location + "\r\n\r\n";
    ssdp_.sendTo(got->first, toBytes(answer));
  }
}

void FakeIgd::serveHttp() {
  while (!stopping_.load()) {
    auto connection = http_.accept(pollStep);
    if (!connection) continue;
    auto requestLine = connection->readLine();
    if (!requestLine) continue;
    HttpExchange exchange;
    std::string line = stripCr(*requestLine);
    exchange.method = line.substr(0, line.find(' '));
    size_t pathStart = line.find(' ') + 1;
    exchange.path = line.substr(pathStart, line.find(' ', pathStart) - pathStart);
    size_t contentLength = 0;
    while (auto headerLine = connection->readLine()) {
      std::string h = stripCr(*headerLine);
      if (h.empty()) break;
      size_t colon = h.find(':');
      std::string name = lowerCase(h.substr(0, colon));
      std::string value = colon == std::string::npos ? "" : h.substr(h.find_first_not_of(' ', colon + 1));
      if (name == "content-length") contentLength = std::stoul(value);
      if (name == "soapaction") exchange.soapAction = value;
    }
    if (contentLength > 0) {
      auto body = connection->read(contentLength);
      if (body) exchange.body = toString(*body);
    }
    Reply reply = respond_(exchange);
    {
      // Recorded before answering: the client may be done (or gone) before the answer is written.
      std::lock_guard guard(mutex_);
      exchanges_.push_back(exchange);
    }
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Type: text/xml\r\nContent-Length: " +
                       std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n";
    connection->write(head);
    connection->write(reply.body);
    connection->close();
  }
}

std::string igdDescription(const std::string& serviceType, const std::string& controlURL) {
  return "<?xml version=\"1.0\"?>\n<root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device><deviceType>"
         "urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><serviceList><service><serviceType>"
         "urn:schemas-upnp-org:service:Layer3Forwarding:1</serviceType><controlURL>/ctl/L3F</controlURL></service>"
         "<service><serviceType>urn:schemas-upnp-org:service:" +
         serviceType + "</serviceType>\n  <controlURL> " + controlURL +
         " </controlURL></service></serviceList></device></root>";
}

std::string externalAddressAnswer(const std::string& address) {
  return "<?xml version=\"1.0\"?>\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
         "<u:GetExternalIPAddressResponse xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">"
         "<NewExternalIPAddress>" +
         address + "</NewExternalIPAddress></u:GetExternalIPAddressResponse></s:Body></s:Envelope>";
}

}  // namespace tavlo::testkit
