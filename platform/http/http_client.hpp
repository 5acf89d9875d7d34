#pragma once
// Plain HTTP requests for talking to devices on the local network (a router's UPnP description and
// control). Calls block the calling thread up to their time limit.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tavlo {

struct HttpResponse {
  bool completed = false;  // a response arrived whole; false on any transport error
  long status = 0;         // the HTTP status code when completed
  std::string body;
  std::string error;  // why it did not complete
};

struct HttpRequest {
  std::string method = "GET";  // "GET" or "POST"
  std::string url;             // only http:// URLs are followed
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  uint32_t timeoutMs = 60'000;  // the whole exchange, connection included
};

class HttpClient {
 public:
  // A body past this size ends the request as failed: nothing a router sends is near it, and a
  // peer must not make us hold an unbounded answer.
  static constexpr size_t maxBodyBytes = 1 << 20;

  virtual ~HttpClient() = default;
  // Thread-safe; each call is one request, never redirected.
  virtual HttpResponse send(const HttpRequest& request) = 0;
};

// libcurl, limited to plain HTTP.
std::shared_ptr<HttpClient> makeCurlHttpClient();

}  // namespace tavlo
