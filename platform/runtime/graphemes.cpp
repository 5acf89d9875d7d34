#include "platform/runtime/graphemes.hpp"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <memory>

namespace tavlo {

std::string firstGraphemes(std::string_view utf8, size_t count) {
  // Every character is at least one byte: a text no longer than the count needs no segmentation.
  if (utf8.size() <= count) return std::string(utf8);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UText, decltype(&utext_close)> text(
      utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status), &utext_close);
  std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status),
                                                                &ubrk_close);
  if (U_FAILURE(status)) return std::string(utf8.substr(0, count));  // cannot happen short of memory
  ubrk_setUText(breaks.get(), text.get(), &status);
  if (U_FAILURE(status)) return std::string(utf8.substr(0, count));
  int32_t end = ubrk_first(breaks.get());
  for (size_t i = 0; i < count; ++i) {
    int32_t next = ubrk_next(breaks.get());
    if (next == UBRK_DONE) return std::string(utf8);
    end = next;
  }
  // Break positions of a UTF-8 UText are byte offsets.
  return std::string(utf8.substr(0, static_cast<size_t>(end)));
}

}  // namespace tavlo
