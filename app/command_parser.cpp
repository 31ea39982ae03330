#include "app/command_parser.h"

#include <nlohmann/json.hpp>

#include "output/utf8.h"

namespace dictate {

namespace {

using Json = nlohmann::json;

// Follows the parse with a depth counter and remembers the last value of
// "cmd" at the top level of the object. A top level other than an object
// aborts at its first token.
class CommandSax : public nlohmann::json_sax<Json> {
 public:
  std::optional<std::string> command() && {
    if (!cmdIsString_) return std::nullopt;
    return std::move(command_);
  }

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t& value) override {
    if (depth_ == 0) return false;
    if (takeCmdValue()) {
      command_ = std::move(value);
      cmdIsString_ = true;
    }
    return true;
  }
  bool start_object(std::size_t) override { return open(true); }
  bool start_array(std::size_t) override { return open(false); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& name) override {
    nextIsCmd_ = depth_ == 1 && name == "cmd";
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // True when the value being read belongs to the top-level "cmd" key.
  bool takeCmdValue() {
    bool isCmd = nextIsCmd_ && depth_ == 1;
    nextIsCmd_ = false;
    return isCmd;
  }
  bool scalar() {
    if (depth_ == 0) return false;
    if (takeCmdValue()) cmdIsString_ = false;
    return true;
  }
  bool open(bool isObject) {
    if (depth_ == 0 && !isObject) return false;
    if (takeCmdValue()) cmdIsString_ = false;
    ++depth_;
    return true;
  }
  bool close() {
    --depth_;
    return true;
  }

  size_t depth_ = 0;
  bool nextIsCmd_ = false;
  bool cmdIsString_ = false;
  std::string command_;
};

// Start of the last code point of s[0, end), or `end` when the bytes before
// it do not end in a well-formed sequence.
size_t lastCodePointStart(std::string_view s, size_t end) {
  size_t start = end;
  while (start > 0 && end - start < 4) {
    --start;
    if ((static_cast<unsigned char>(s[start]) & 0xC0) != 0x80) break;
  }
  return utf8SequenceLength(s.substr(0, end), start) == end - start ? start : end;
}

}  // namespace

bool isWhitespaceOrNewline(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trimWhitespaceAndNewlines(std::string_view line) {
  size_t begin = 0;
  while (begin < line.size()) {
    size_t len = utf8SequenceLength(line, begin);
    if (len == 0 || !isWhitespaceOrNewline(decodeUtf8(line, begin, len))) break;
    begin += len;
  }
  size_t end = line.size();
  while (end > begin) {
    size_t start = lastCodePointStart(line, end);
    if (start == end || !isWhitespaceOrNewline(decodeUtf8(line, start, end - start))) break;
    end = start;
  }
  return line.substr(begin, end - begin);
}

std::optional<std::string> parseCommand(std::string_view text) {
  // The parser takes a NUL byte for the end of its input and would accept
  // whatever came before it. No JSON text holds a raw NUL (inside a string
  // it must be escaped), so such a line is bad as a whole.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  CommandSax sax;
  bool parsed = false;
  try {
    parsed = Json::sax_parse(text.data(), text.data() + text.size(), &sax);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!parsed) return std::nullopt;
  return std::move(sax).command();
}

}  // namespace dictate
