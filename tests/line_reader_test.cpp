// Reading command lines, case by case: cutting input into lines, then
// trimming and strictly parsing each. cli_test.cpp runs the reader itself on
// every kind of standard input, and shows its UTF-8 repair.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_parser.h"
#include "app/line_reader.h"

namespace dictate {
namespace {

using Lines = std::vector<std::string>;
const std::string kMark = "\xE2\x80\xA6";

TEST(LineSplitterTest, CutsAtLfCrAndCrlfAsSoonAsTheyArriveAndMarksOverlongLines) {
  // Each line comes tagged with the number of chunks fed when it came out.
  struct Case { Lines chunks, lines; size_t cap = 1 << 20; } cases[] = {
      {{"a\nb\rc\r\nd"}, {"a@1", "b@1", "c@1", "d@2"}},    // an unterminated last line counts
      {{"a\r", "\nb\r", "\n"}, {"a@1", "b@2"}},            // CRLF cut between reads
      {{"a\r", "\r", "\n", "\n"}, {"a@1", "@2", "@4"}},    // CR, CRLF, LF
      {{"ab", "c", "", "d\n", "e"}, {"abcd@4", "e@6"}},
      {{"x\xC2\x85y\xE2\x80\xA8z\n"}, {"x\xC2\x85y\xE2\x80\xA8z@1"}},  // only CR and LF end lines
      {{"abcd\nabcde\nx"}, {"abcd@1", "abcd" + kMark + "@1", "x@2"}, 4},
      {{"ab", "cdef", "ghij", "kl\r", "\nz"}, {"abcd" + kMark + "@4", "z@6"}, 4},
  };
  for (const Case& c : cases) {
    LineSplitter splitter(c.cap);
    Lines lines;
    for (size_t fed = 0; fed <= c.chunks.size(); ++fed) {
      fed < c.chunks.size() ? splitter.feed(c.chunks[fed]) : splitter.finish();
      while (auto l = splitter.takeLine()) lines.push_back(*l + "@" + std::to_string(fed + 1));
    }
    EXPECT_EQ(lines, c.lines) << ::testing::PrintToString(c.chunks);
  }
}

TEST(CommandParserTest, TrimsUnicodeWhitespaceOnlyWhereWellFormed) {
  // Every character trimmed: tab to CR, space, U+0085, U+00A0, U+1680,
  // U+2000, U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
  const std::string pad = "\t\n\v\f\r \xC2\x85\xC2\xA0\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8A"
                          "\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80";
  // Look-alikes that stay: zero-width space, word joiner, byte order mark,
  // Mongolian vowel separator; then bytes cut short or stray.
  const std::string kept = "\xE2\x80\x8B" "a\xE2\x81\xA0\xEF\xBB\xBF\xE1\xA0\x8E";
  const std::pair<std::string, std::string> cases[] = {
      {pad + "a" + pad + "b" + pad, "a" + pad + "b"}, {pad, ""}, {"", ""}, {" " + kept + " ", kept},
      {" \xFF ", "\xFF"}, {" x\xC2", "x\xC2"}, {"\x85 x", "\x85 x"}, {" \xE2\x80 x", "\xE2\x80 x"},
      {"\xE3\x80\x80\xE3\x80", "\xE3\x80"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(trimWhitespaceAndNewlines(in), out) << in;
}

TEST(CommandParserTest, AcceptsOnlyAnObjectWithAStringCmd) {
  const std::string nested = std::string(100000, '[') + std::string(100000, ']');
  // clang-format off
  const std::pair<std::string, std::string> accepted[] = {
      {R"( { "cmd" : "start" } )", "start"}, {R"({"id":[1,{"cmd":1}],"cmd":"quit"})", "quit"},
      {R"({"cmd":""})", ""}, {R"({"cmd":"a\/b\u00e9\"\\"})", "a/b\xC3\xA9\"\\"},
      {R"({"cmd":"st\u0000op"})", std::string("st\0op", 5)}, {R"({"cmd":"a","cmd":"b"})", "b"},
      {"{\"a\":" + nested + ",\"cmd\":\"deep\"}", "deep"}};  // deep nesting costs no recursion
  const std::string rejected[] = {
      R"({"cmd":"a","cmd":1})", R"({"x":{"cmd":"start"}})", R"({"cmd":null})", R"({})",
      R"({"cmd":["start"]})", R"({"cmd":{"cmd":"start"}})", R"([{"cmd":"start"}])", R"("start")",
      R"({"cmd":"start"}{})", R"({"cmd":"start"} // note)", R"({"cmd":"start",})", "",
      R"({'cmd':'start'})", "{\"cmd\":\"a\tb\"}", R"({"cmd":"start","n":1e999})", nested,
      std::string(100000, '{'), "{\"a\":" + std::string(100000, '[') + ",\"cmd\":\"deep\"}",
      std::string("{\"cmd\":\"stop\"}\0", 15)};  // a raw NUL is no end of the text
  // clang-format on
  for (const auto& [in, cmd] : accepted) EXPECT_EQ(parseCommand(in), cmd) << in.substr(0, 80);
  for (const auto& in : rejected) EXPECT_EQ(parseCommand(in), std::nullopt) << in.substr(0, 80);
}

}  // namespace
}  // namespace dictate
