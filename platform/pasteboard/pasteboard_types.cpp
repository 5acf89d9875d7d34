#include <array>
#include <string_view>
#include <utility>

#include "platform/pasteboard/pasteboard.hpp"

namespace tavlo {
namespace {

// The type identifiers clients send for what a desktop clipboard commonly holds, and their MIME types.
constexpr std::array<std::pair<std::string_view, std::string_view>, 9> knownTypes{{
    {"public.utf8-plain-text", "text/plain;charset=utf-8"},
    {"public.plain-text", "text/plain"},
    {"public.html", "text/html"},
    {"public.png", "image/png"},
    {"public.jpeg", "image/jpeg"},
    {"public.tiff", "image/tiff"},
    {"com.adobe.pdf", "application/pdf"},
    {"public.rtf", "text/rtf"},
    {"public.data", "application/octet-stream"},
}};

}  // namespace

std::string clipValidUTI(const std::string& uti) {
  for (const auto& [known, mime] : knownTypes) {
    if (known == uti) return uti;
  }
  return "public.data";
}

std::string pasteboardMimeFor(const std::string& uti) {
  const std::string valid = clipValidUTI(uti);
  for (const auto& [known, mime] : knownTypes) {
    if (known == valid) return std::string(mime);
  }
  return "application/octet-stream";
}

}  // namespace tavlo
