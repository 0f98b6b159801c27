// Cutting UTF-8 text to a byte limit without splitting a character.
//
// Contract: the result is the longest prefix of at most max_bytes bytes that ends on a character
// boundary; a character that would be split is dropped whole, and a text that already fits is
// returned unchanged. The input is expected to be valid UTF-8 (the process layer repairs what the
// operating system gives it); on invalid input the cut still never reads outside the text.
#pragma once

#include <cstddef>
#include <string_view>

namespace treemon {

std::string_view cut_to_bytes(std::string_view text, size_t max_bytes);

}  // namespace treemon
