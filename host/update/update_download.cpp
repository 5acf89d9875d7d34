#include "host/update/update_download.hpp"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace tavlo {
namespace {

struct EasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct Sink {
  Bytes body;
  size_t limit = 0;
  bool tooLarge = false;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (bytes > sink->limit - sink->body.size()) {
    sink->tooLarge = true;
    return 0;  // libcurl ends the transfer with a write error
  }
  sink->body.insert(sink->body.end(), data, data + bytes);
  return bytes;
}

// libcurl calls this during the transfer, about once a second even when nothing arrives.
int stopIfCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(user);
  return cancel->load() ? 1 : 0;  // non-zero ends the transfer
}

struct UrlParts {
  std::string scheme;
  std::string host;
};

// Read by libcurl's own parser, so the host judged and shown is the host a transfer reaches (a prefix
// test would take "http://127.0.0.1:x@elsewhere/" for this machine).
UrlParts readUrl(const std::string& url) {
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
  auto part = [&](CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(parsed.get(), which, &text, 0) != CURLUE_OK || !text) return std::string();
    std::string value(text);
    curl_free(text);
    return value;
  };
  return {part(CURLUPART_SCHEME), part(CURLUPART_HOST)};
}

}  // namespace

std::string updateUrlHost(const std::string& url) { return readUrl(url).host; }

bool isAllowedUpdateUrl(const std::string& url) {
  const UrlParts parts = readUrl(url);
  if (parts.host.empty()) return false;
  if (parts.scheme == "https") return true;
  return parts.scheme == "http" && (parts.host == "127.0.0.1" || parts.host == "[::1]" || parts.host == "localhost");
}

std::optional<Bytes> fetchUpdateBytes(const std::string& url, size_t maxBytes, long timeoutSeconds,
                                      std::string& error, const std::atomic<bool>* cancel) {
  if (!isAllowedUpdateUrl(url)) {
    error = "neither https:// nor http:// to this machine: " + url.substr(0, 128);
    return std::nullopt;
  }
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) {
    error = "curl_easy_init failed";
    return std::nullopt;
  }
  CURL* h = easy.get();
  Sink sink{.body = {}, .limit = maxBytes, .tooLarge = false};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https,http");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  // A proxy from the environment serves the internet; this machine and the local network are reached
  // directly, so a test server or a local mirror is never sent through it.
  curl_easy_setopt(h, CURLOPT_NOPROXY,
                   "localhost,127.0.0.0/8,::1,10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,169.254.0.0/16,fc00::/7,"
                   "fe80::/10,.local");
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, timeoutSeconds);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  if (cancel) {
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &stopIfCancelled);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, cancel);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }
  CURLcode result = curl_easy_perform(h);
  if (result != CURLE_OK) {
    if (result == CURLE_ABORTED_BY_CALLBACK) {
      error = "cancelled";
    } else if (sink.tooLarge || result == CURLE_FILESIZE_EXCEEDED) {
      error = "larger than " + std::to_string(maxBytes) + " bytes";
    } else {
      error = curl_easy_strerror(result);
    }
    return std::nullopt;
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  if (status != 200) {
    error = "HTTP status " + std::to_string(status);
    return std::nullopt;
  }
  return std::move(sink.body);
}

}  // namespace tavlo
