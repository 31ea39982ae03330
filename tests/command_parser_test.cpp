// Trimming and strict parsing of command lines.
#include "app/command_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace dictate {
namespace {

std::string utf8(char32_t c) {
  std::string s;
  if (c < 0x80) {
    s += static_cast<char>(c);
  } else if (c < 0x800) {
    s += static_cast<char>(0xC0 | (c >> 6));
    s += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (c >> 12));
    s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (c & 0x3F));
  }
  return s;
}

TEST(CommandParserTest, TrimsEveryWhitespaceAndNewlineCharacterAtBothEnds) {
  const char32_t trimmed[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                              0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (char32_t c : trimmed) {
    SCOPED_TRACE(static_cast<unsigned>(c));
    std::string pad = utf8(c);
    EXPECT_EQ(trimWhitespaceAndNewlines(pad + pad + "a" + pad + "b" + pad), "a" + pad + "b");
    EXPECT_EQ(trimWhitespaceAndNewlines(pad), "");
  }
  // Look-alikes that are not separators stay: zero-width space, word
  // joiner, byte order mark, next to the Mongolian vowel separator.
  for (char32_t c : {char32_t{0x200B}, char32_t{0x2060}, char32_t{0xFEFF}, char32_t{0x180E}}) {
    SCOPED_TRACE(static_cast<unsigned>(c));
    EXPECT_EQ(trimWhitespaceAndNewlines(" " + utf8(c) + "x" + utf8(c) + " "),
              utf8(c) + "x" + utf8(c));
  }
}

TEST(CommandParserTest, TrimLeavesBytesThatAreNotWellFormedUtf8) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"", ""},
      {" \xFF ", "\xFF"},
      {" x\xC2", "x\xC2"},            // U+0085 cut short
      {"\x85 x", "\x85 x"},           // a stray continuation byte
      {" \xE2\x80 x", "\xE2\x80 x"},  // U+2028 cut short
      {"x\xC2\x85\xC2\x85", "x"},
      {"\xE3\x80\x80\xE3\x80", "\xE3\x80"},  // U+3000, then half of one
  };
  for (const Case& c : cases) EXPECT_EQ(trimWhitespaceAndNewlines(c.in), c.out) << c.in;
}

TEST(CommandParserTest, AcceptsOnlyAnObjectWithAStringCmd) {
  struct Case {
    std::string line;
    std::optional<std::string> command;
  } cases[] = {
      {R"({"cmd":"start"})", "start"},
      {R"({"cmd":"stop","id":7})", "stop"},
      {R"({"id":[1,{"cmd":1}],"cmd":"quit"})", "quit"},
      {R"( { "cmd" : "start" } )", "start"},
      {R"({"cmd":""})", ""},
      {R"({"cmd":"a\/b\u00e9\"\\"})", "a/b\xC3\xA9\"\\"},
      {R"({"cmd":"st\u0000op"})", std::string("st\0op", 5)},
      {std::string("{\"cmd\":\"stop\"}\0", 15), std::nullopt},  // a raw NUL is no end of text
      {std::string("{\"cmd\":\"st\0op\"}", 16), std::nullopt},
      {R"({"cmd":"a","cmd":"b"})", "b"},  // the last of repeated keys counts
      {R"({"cmd":"a","cmd":1})", std::nullopt},
      {R"({"x":{"cmd":"start"}})", std::nullopt},  // only the top level counts
      {R"({"cmd":1})", std::nullopt},
      {R"({"cmd":null})", std::nullopt},
      {R"({"cmd":true})", std::nullopt},
      {R"({"cmd":["start"]})", std::nullopt},
      {R"({"cmd":{"cmd":"start"}})", std::nullopt},
      {R"({"command":"start"})", std::nullopt},
      {R"({})", std::nullopt},
      {R"(["start"])", std::nullopt},
      {R"([{"cmd":"start"}])", std::nullopt},
      {R"("start")", std::nullopt},
      {"1", std::nullopt},
      {"null", std::nullopt},
      {R"({"cmd":"start"} x)", std::nullopt},
      {R"({"cmd":"start"}{})", std::nullopt},
      {R"({"cmd":"start"}})", std::nullopt},
      {R"({"cmd":"start"} // note)", std::nullopt},
      {R"({"cmd":"start",})", std::nullopt},
      {R"({"cmd":"start")", std::nullopt},
      {R"({cmd:"start"})", std::nullopt},
      {R"({'cmd':'start'})", std::nullopt},
      {"{\"cmd\":\"a\tb\"}", std::nullopt},  // raw control character in a string
      {"{\"cmd\":\"\xFF\"}", std::nullopt},
      {R"({"cmd":"start","n":1e999})", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parseCommand(c.line), c.command) << c.line;
}

TEST(CommandParserTest, DeepNestingAndLongLinesParseWithoutRecursion) {
  const std::string nested = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(parseCommand(nested), std::nullopt);
  EXPECT_EQ(parseCommand(std::string(100000, '{')), std::nullopt);
  EXPECT_EQ(parseCommand("{\"a\":" + nested + ",\"cmd\":\"deep\"}"), "deep");
  EXPECT_EQ(parseCommand("{\"a\":" + std::string(100000, '[') + ",\"cmd\":\"deep\"}"),
            std::nullopt);
  const std::string longText(256 * 1024, 'x');
  EXPECT_EQ(parseCommand("{\"cmd\":\"" + longText + "\"}"), longText);
}

}  // namespace
}  // namespace dictate
