// UTF-8 checks shared by the output channels and the standard input reader:
// validation, repair of ill-formed input and decoding of single code
// points. Pure functions; safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace dictate {

// Length of the well-formed UTF-8 sequence that starts at s[i], or 0 when
// it is not one (stray continuation bytes, overlong forms, surrogates,
// values past U+10FFFF and sequences cut off by the end of `s`).
size_t utf8SequenceLength(std::string_view s, size_t i);

bool isValidUtf8(std::string_view s);

// `s` with every maximal ill-formed subsequence replaced by one U+FFFD, so
// that whatever a line held can be echoed in a diagnostic as valid UTF-8.
std::string toValidUtf8(std::string_view s);

// The code point of the well-formed sequence of `length` bytes at s[i].
char32_t decodeUtf8(std::string_view s, size_t i, size_t length);

}  // namespace dictate
