#include <curl/curl.h>

#include <mutex>

#include "platform/http/http_client.hpp"

namespace tavlo {
namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct Sink {
  std::string body;
  bool tooLarge = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  size_t bytes = size * count;
  if (sink->body.size() + bytes > HttpClient::maxBodyBytes) {
    sink->tooLarge = true;
    return 0;  // libcurl ends the transfer with a write error
  }
  sink->body.append(data, bytes);
  return bytes;
}

class CurlHttpClient final : public HttpClient {
 public:
  CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  }

  HttpResponse send(const HttpRequest& request) override {
    HttpResponse response;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) {
      response.error = "curl_easy_init failed";
      return response;
    }
    CURL* h = easy.get();
    Sink sink;
    std::unique_ptr<curl_slist, ListDeleter> headers;
    for (const auto& [name, value] : request.headers) {
      std::string line = name + ": " + value;
      curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
      if (!grown) {
        response.error = "out of memory";
        return response;
      }
      (void)headers.release();
      headers.reset(grown);
    }
    // Without an Expect header libcurl would wait for a "100 Continue" that small routers never send.
    curl_slist* grown = curl_slist_append(headers.get(), "Expect:");
    if (grown) {
      (void)headers.release();
      headers.reset(grown);
    }
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    // Every request goes to a device on the local network: a proxy named in the environment is meant
    // for the internet and must neither see nor swallow what we ask the router.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMs));
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBodyBytes));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    if (request.method == "POST") {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
    CURLcode result = curl_easy_perform(h);
    if (result != CURLE_OK) {
      response.error = sink.tooLarge ? "body larger than " + std::to_string(maxBodyBytes) + " bytes"
                                     : curl_easy_strerror(result);
      return response;
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
    response.completed = true;
    response.body = std::move(sink.body);
    return response;
  }
};

}  // namespace

std::shared_ptr<HttpClient> makeCurlHttpClient() { return std::make_shared<CurlHttpClient>(); }

}  // namespace tavlo
