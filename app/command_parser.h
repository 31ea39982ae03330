// Turning one line of standard input into a command: trimming and a strict
// parse that accepts only a JSON object with a string "cmd". Pure functions
// used by the command loop on the main loop.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dictate {

// True for the characters trimmed off command lines: tab, U+000A to
// U+000D, space, U+0085, every Unicode space separator (U+00A0, U+1680,
// U+2000 to U+200A, U+202F, U+205F, U+3000) and the line and paragraph
// separators U+2028 and U+2029.
bool isWhitespaceOrNewline(char32_t c);

// `line` without those characters at either end. Bytes that are not
// well-formed UTF-8 are never trimmed.
std::string_view trimWhitespaceAndNewlines(std::string_view line);

// The value of "cmd" when `text` is exactly one JSON object (nothing but
// JSON whitespace after it) whose key "cmd" holds a string; other keys are
// ignored, and of repeated "cmd" keys the last counts. Nothing otherwise:
// bad JSON, a top level that is not an object, no "cmd", or a "cmd" that is
// not a string. Parses without building a document and without recursion,
// so deep nesting and very long lines cost only their length.
std::optional<std::string> parseCommand(std::string_view text);

}  // namespace dictate
