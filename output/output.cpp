#include "output/output.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

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

// Diagnostic lines on their way to standard error. Any thread queues a line
// and returns; the writer thread, started with the first line, takes what
// has queued and writes it, blocking on standard error if it must. The
// object and its thread live until the process ends, so that a writer
// still blocked at exit holds nothing that is destroyed.
class DiagnosticQueue {
 public:
  void push(std::string line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const size_t extra = dropped_ ? kNoticeBytes : 0;
      if (waitingBytes_ > 0 && waitingBytes_ + extra + line.size() > kDiagnosticQueueBytes) {
        ++dropped_;
        return;
      }
      queueDroppedNotice();
      waitingBytes_ += line.size();
      queue_.push_back(std::move(line));
      if (!startWriter()) return;
    }
    changed_.notify_all();
  }

  // Where the writer thread writes; set before any line is queued.
  void setDestination(int fd) { destination_ = fd; }

  void flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] { return waitingBytes_ == 0; });
  }

 private:
  // Room kept for the line that says how many were dropped.
  static constexpr size_t kNoticeBytes = 96;

  // With mutex_ held.
  void queueDroppedNotice() {
    if (dropped_ == 0) return;
    std::string notice = "[dictate] dropped " + std::to_string(dropped_) +
                         " diagnostic lines while standard error was not being read\n";
    dropped_ = 0;
    waitingBytes_ += notice.size();
    queue_.push_back(std::move(notice));
  }

  // With mutex_ held. False when the line was written here instead,
  // because no thread could be started.
  bool startWriter() {
    if (writerStarted_) return true;
    try {
      std::thread([this] { writeForever(); }).detach();
      writerStarted_ = true;
      return true;
    } catch (const std::system_error&) {
      for (const auto& line : queue_) writeAll(destination_, line);
      queue_.clear();
      waitingBytes_ = 0;
      return false;
    }
  }

  // The writer thread: everything queued at once, in one write where it fits.
  void writeForever() {
    std::string batch;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        waitingBytes_ -= std::exchange(lastBatchBytes_, 0);
        changed_.notify_all();
        changed_.wait(lock, [this] { return !queue_.empty() || dropped_ > 0; });
        queueDroppedNotice();
        batch.clear();
        for (auto& line : queue_) batch += line;
        queue_.clear();
        lastBatchBytes_ = batch.size();
      }
      writeAll(destination_, batch);
      if (batch.capacity() > kDiagnosticQueueBytes) std::string().swap(batch);
    }
  }

  std::mutex mutex_;  // guards all below; held by any thread only to queue or take
  std::condition_variable changed_;
  std::deque<std::string> queue_;  // whole lines, oldest first
  size_t waitingBytes_ = 0;        // queued and being written
  size_t lastBatchBytes_ = 0;      // being written by the writer thread
  uint64_t dropped_ = 0;           // since the last notice
  bool writerStarted_ = false;
  std::atomic<int> destination_{STDERR_FILENO};
};

// Hands what the libraries write to the pipe in place of standard error to
// the queue, a line at a time (a line that never ends is cut).
void forwardLibraryLines(int pipe, DiagnosticQueue* queue) {
  constexpr size_t kLongestLine = 64 * 1024;
  std::string partial;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(pipe, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    partial.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1))
      queue->push(partial.substr(0, end + 1));
    if (partial.size() > kLongestLine) queue->push(std::exchange(partial, {}) + "\n");
  }
}

// A pipe takes a write of more than PIPE_BUF bytes in pieces, and another
// thread's write could land between them; one lock keeps every event line
// whole. Diagnostics go through their queue.
class FileDescriptorSink : public OutputSink {
 public:
  void writeStdout(std::string_view line) override {
    std::lock_guard<std::mutex> lock(stdoutMutex_);
    writeAll(STDOUT_FILENO, line);
  }
  void writeStderr(std::string_view line) override { diagnostics_->push(std::string(line)); }
  void flushStderr(std::chrono::milliseconds limit) { diagnostics_->flush(limit); }

  void takeOverStderr() {
    int host = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int fds[2];
    if (host < 0) return;
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      ::close(host);
      return;
    }
    diagnostics_->setDestination(host);
    ::dup2(fds[1], STDERR_FILENO);
    ::close(fds[1]);
    try {
      std::thread(forwardLibraryLines, fds[0], diagnostics_).detach();
    } catch (const std::system_error&) {
      ::dup2(host, STDERR_FILENO);
      diagnostics_->setDestination(STDERR_FILENO);
      ::close(host), ::close(fds[0]);
    }
  }

 private:
  std::mutex stdoutMutex_;  // held by any thread for one whole line on fd 1
  // Never destroyed: see DiagnosticQueue.
  DiagnosticQueue* const diagnostics_ = new DiagnosticQueue;
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

void flushDiagnostics(std::chrono::milliseconds limit) { gDefaultSink.flushStderr(limit); }

void takeOverStandardError() { gDefaultSink.takeOverStderr(); }

OutputSink* setOutputSink(OutputSink* sink) {
  OutputSink* previous = gSink.exchange(sink ? sink : &gDefaultSink);
  return previous == &gDefaultSink ? nullptr : previous;
}

}  // namespace dictate
