#pragma once
// User-perceived characters (extended grapheme clusters): "é" written as e + combining accent, a flag
// or a family emoji each count as one.
#include <cstddef>
#include <string>
#include <string_view>

namespace tavlo {

// The first `count` characters of a UTF-8 text (all of it when it has no more). Invalid UTF-8 counts
// one character per bad sequence and is passed through unchanged.
std::string firstGraphemes(std::string_view utf8, size_t count);
// The number of characters of a UTF-8 text, counted like firstGraphemes counts them.
size_t graphemeCount(std::string_view utf8);

}  // namespace tavlo
