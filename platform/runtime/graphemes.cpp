#include "platform/runtime/graphemes.hpp"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <memory>

namespace tavlo {

namespace {

using TextHandle = std::unique_ptr<UText, decltype(&utext_close)>;
using BreakHandle = std::unique_ptr<UBreakIterator, decltype(&ubrk_close)>;

// A character break iterator over the text, or null when ICU cannot make one (short of memory only).
// The text handle must outlive the iterator.
BreakHandle characterBreaks(std::string_view utf8, TextHandle& text) {
  UErrorCode status = U_ZERO_ERROR;
  text = TextHandle(utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status), &utext_close);
  BreakHandle breaks(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), &ubrk_close);
  if (U_FAILURE(status)) return BreakHandle(nullptr, &ubrk_close);
  ubrk_setUText(breaks.get(), text.get(), &status);
  if (U_FAILURE(status)) return BreakHandle(nullptr, &ubrk_close);
  return breaks;
}

}  // namespace

std::string firstGraphemes(std::string_view utf8, size_t count) {
  // Every character is at least one byte: a text no longer than the count needs no segmentation.
  if (utf8.size() <= count) return std::string(utf8);
  TextHandle text(nullptr, &utext_close);
  BreakHandle breaks = characterBreaks(utf8, text);
  if (!breaks) return std::string(utf8.substr(0, count));
  int32_t end = ubrk_first(breaks.get());
  for (size_t i = 0; i < count; ++i) {
    int32_t next = ubrk_next(breaks.get());
    if (next == UBRK_DONE) return std::string(utf8);
    end = next;
  }
  // Break positions of a UTF-8 UText are byte offsets.
  return std::string(utf8.substr(0, static_cast<size_t>(end)));
}

size_t graphemeCount(std::string_view utf8) {
  if (utf8.empty()) return 0;
  TextHandle text(nullptr, &utext_close);
  BreakHandle breaks = characterBreaks(utf8, text);
  if (!breaks) return utf8.size();
  size_t count = 0;
  ubrk_first(breaks.get());
  while (ubrk_next(breaks.get()) != UBRK_DONE) ++count;
  return count;
}

}  // namespace tavlo
