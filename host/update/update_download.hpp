#pragma once
// Fetching the feed and the archive. HTTPS only, except plain HTTP to this machine's loopback (a local
// test server); no redirects; a body larger than the limit ends the transfer as failed.
#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/runtime/bytes.hpp"

namespace tavlo {

// The host `url` names, as a transfer would reach it ("[::1]" for an IPv6 address); empty when none.
std::string updateUrlHost(const std::string& url);

// Whether `url` may be fetched: https://, or http:// to 127.0.0.1, [::1] or localhost.
bool isAllowedUpdateUrl(const std::string& url);

// The body of a 200 answer; none, with the reason in `error`, otherwise. Setting `*cancel` ends a
// transfer in progress within about a second.
std::optional<Bytes> fetchUpdateBytes(const std::string& url, size_t maxBytes, long timeoutSeconds, std::string& error,
                                      const std::atomic<bool>* cancel = nullptr);

}  // namespace tavlo
