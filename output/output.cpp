#include "output/output.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "output/utf8.h"

namespace dictate {

namespace {

// Writes all of `data` to `fd`, retrying after a signal or a partial write
// and waiting when the descriptor was left non-blocking by whoever handed
// it to us. Any other failure (a closed pipe, say) drops the rest: the
// program keeps running, and SIGPIPE is ignored by the process entry.
void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
        continue;
      }
      return;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// A pipe takes a write of more than PIPE_BUF bytes in pieces, and another
// thread's write could land between them; one lock per descriptor keeps
// every line whole. The capture thread's diagnostics take the same lock.
class FileDescriptorSink : public OutputSink {
 public:
  void writeStdout(std::string_view line) override {
    std::lock_guard<std::mutex> lock(stdoutMutex_);
    writeAll(STDOUT_FILENO, line);
  }
  void writeStderr(std::string_view line) override {
    std::lock_guard<std::mutex> lock(stderrMutex_);
    writeAll(STDERR_FILENO, line);
  }

 private:
  std::mutex stdoutMutex_;  // held by any thread for one whole line on fd 1
  std::mutex stderrMutex_;  // held by any thread for one whole line on fd 2
};

FileDescriptorSink gDefaultSink;
std::atomic<OutputSink*> gSink{&gDefaultSink};

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
    auto c = static_cast<unsigned char>(s[i++]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
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
