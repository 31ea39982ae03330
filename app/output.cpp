#include "app/output.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>

namespace dictate {

namespace {

// Writes all of `data` to `fd` in one write request, retrying after a
// signal or a partial write. A failed write (a closed pipe, say) is dropped:
// the program keeps running, and SIGPIPE is ignored by the process entry.
void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

class FileDescriptorSink : public OutputSink {
 public:
  void writeStdout(std::string_view line) override { writeAll(STDOUT_FILENO, line); }
  void writeStderr(std::string_view line) override { writeAll(STDERR_FILENO, line); }
};

FileDescriptorSink gDefaultSink;
std::atomic<OutputSink*> gSink{&gDefaultSink};

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a
// well-formed one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t utf8SequenceLength(std::string_view s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = byte(i);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return len;
}

bool appendJsonString(std::string_view s, std::string& out) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < s.size();) {
    size_t len = utf8SequenceLength(s, i);
    if (len == 0) return false;
    if (len > 1) {
      out.append(s, i, len);
      i += len;
      continue;
    }
    char c = s[i++];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return true;
}

}  // namespace

bool serializeEvent(const Event& event, std::string& out) {
  out.clear();
  out += '{';
  bool first = true;
  // std::map keeps keys in byte order, which is the order the host expects.
  for (const auto& [key, value] : event) {
    if (!first) out += ',';
    first = false;
    if (!appendJsonString(key, out)) return false;
    out += ':';
    if (!appendJsonString(value, out)) return false;
  }
  out += '}';
  return true;
}

void emitEvent(const Event& event) {
  std::string line;
  if (!serializeEvent(event, line)) return;
  line += '\n';
  gSink.load()->writeStdout(line);
}

void writeDiagnostic(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 11);
  line += "[dictate] ";
  line += message;
  line += '\n';
  gSink.load()->writeStderr(line);
}

OutputSink* setOutputSink(OutputSink* sink) {
  OutputSink* previous = gSink.exchange(sink ? sink : &gDefaultSink);
  return previous == &gDefaultSink ? nullptr : previous;
}

}  // namespace dictate
