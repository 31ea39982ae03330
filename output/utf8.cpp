#include "output/utf8.h"

namespace dictate {

namespace {

struct LeadByte {
  size_t length;     // 0 when the byte cannot start a sequence
  unsigned char lo;  // allowed range of the second byte
  unsigned char hi;
};

// The ranges follow the Unicode table of well-formed byte sequences; the
// narrowed second-byte ranges exclude overlong forms, surrogates and
// values past U+10FFFF.
LeadByte classify(unsigned char c) {
  if (c < 0x80) return {1, 0, 0};
  if (c >= 0xC2 && c <= 0xDF) return {2, 0x80, 0xBF};
  if (c == 0xE0) return {3, 0xA0, 0xBF};
  if (c == 0xED) return {3, 0x80, 0x9F};
  if (c >= 0xE1 && c <= 0xEF) return {3, 0x80, 0xBF};
  if (c == 0xF0) return {4, 0x90, 0xBF};
  if (c >= 0xF1 && c <= 0xF3) return {4, 0x80, 0xBF};
  if (c == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// How many bytes from s[i] on form a well-formed sequence or the longest
// valid beginning of one: at least 1, so an ill-formed byte counts alone.
size_t validPrefixLength(std::string_view s, size_t i, LeadByte lead) {
  size_t k = 1;
  for (; k < lead.length && i + k < s.size(); ++k) {
    auto b = static_cast<unsigned char>(s[i + k]);
    unsigned char lo = k == 1 ? lead.lo : 0x80, hi = k == 1 ? lead.hi : 0xBF;
    if (b < lo || b > hi) break;
  }
  return k;
}

}  // namespace

size_t utf8SequenceLength(std::string_view s, size_t i) {
  LeadByte lead = classify(static_cast<unsigned char>(s[i]));
  if (lead.length <= 1) return lead.length;
  return validPrefixLength(s, i, lead) == lead.length ? lead.length : 0;
}

bool isValidUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8SequenceLength(s, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string toValidUtf8(std::string_view s) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  if (isValidUtf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 16);
  for (size_t i = 0; i < s.size();) {
    LeadByte lead = classify(static_cast<unsigned char>(s[i]));
    size_t len = lead.length == 0 ? 1 : validPrefixLength(s, i, lead);
    if (len == lead.length) {
      out.append(s, i, len);
    } else {
      out += kReplacement;
    }
    i += len;
  }
  return out;
}

char32_t decodeUtf8(std::string_view s, size_t i, size_t length) {
  auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k])); };
  switch (length) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 |
             (byte(3) & 0x3F);
  }
}

}  // namespace dictate
