// Reading command lines from a file descriptor (standard input in the
// process). LineSplitter cuts a byte stream into lines; LineReader runs a
// thread that reads the descriptor on demand and hands each line to the
// main loop. The process entry owns the one LineReader; the command loop
// awaits its lines on the main loop.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/command_loop.h"
#include "runtime/task.h"

namespace dictate {

// Splits bytes into lines at LF, CR and CRLF; the terminator is not part of
// the line, and a CRLF cut between two feeds still ends one line. A line is
// given out as soon as its terminator arrives, so a host that ends lines
// with CR alone gets its answer without waiting for the next byte.
//
// A line longer than the cap keeps its first maxLineBytes bytes followed
// by "…" (U+2026); the rest up to its terminator is dropped. No command is
// anywhere near that long, and the mark keeps such a line from being read
// as whatever its beginning happens to say.
//
// Not thread-safe; LineReader uses it on its reading thread only.
class LineSplitter {
 public:
  static constexpr size_t kDefaultMaxLineBytes = size_t{16} << 20;

  explicit LineSplitter(size_t maxLineBytes = kDefaultMaxLineBytes) : maxLineBytes_(maxLineBytes) {}

  // Adds bytes read from the input. Feed only when takeLine() has nothing
  // left, which keeps the buffered bytes to one read's worth.
  void feed(std::string_view bytes);

  // Marks the end of the input: an unterminated last line becomes
  // available to takeLine().
  void finish();

  // The next complete line, or nothing until more is fed or the input ends.
  std::optional<std::string> takeLine();

 private:
  void appendToLine(std::string_view bytes);
  std::string takeCurrentLine();

  const size_t maxLineBytes_;
  std::string input_;  // fed bytes, split up to inputPos_
  size_t inputPos_ = 0;
  std::string line_;           // the line being assembled, at most the cap
  bool truncated_ = false;     // line_ lost bytes to the cap
  bool skipLineFeed_ = false;  // the last line ended in CR: a LF next is its second half
  bool finished_ = false;
};

// A LineSource over a file descriptor that works for pipes, sockets,
// regular files, terminals and /dev/null alike. Reading is demand-driven:
// the thread reads only while a line is asked for and none is buffered, so
// memory stays at one read plus the longest line. A line already buffered
// is taken on the loop at once, without a round trip through the thread.
// Bytes that are not well-formed UTF-8 reach the command loop as U+FFFD, so
// that anything echoed in a diagnostic is valid UTF-8. A failed read ends
// the input with readError and the system's description of the error ("Is
// a directory").
class LineReader : public LineSource {
 public:
  // Reads `fd`, which the caller keeps open for the reader's lifetime.
  // Starts the reading thread; throws std::system_error when it cannot.
  explicit LineReader(int fd);
  // Wakes the thread even while it waits for input and joins it. A line
  // still asked for is answered at once: with a line already buffered, or
  // else with endOfInput.
  ~LineReader() override;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Main loop only; one request at a time.
  Task<InputLine> nextLine() override;

 private:
  using Request = CompletionHandler<InputLine>;

  void run();
  std::optional<Request> awaitRequest();
  InputLine readLine();
  std::optional<InputLine> takeBuffered();
  bool awaitReadable();
  void readChunk();

  const int fd_;
  const int wakeFd_;  // eventfd written once, by the destructor

  std::mutex mutex_;
  std::condition_variable requested_;  // signalled with mutex_ after request_ or stopping_ change
  std::optional<Request> request_;  // set on the loop thread, taken by the reading thread; mutex_
  bool stopping_ = false;           // set by the destructor; mutex_

  // Guarded by mutex_. The loop thread takes buffered lines between
  // requests; the reading thread feeds and takes while it serves one.
  LineSplitter splitter_;
  std::optional<InputLine> ending_;  // endOfInput or readError, once reached

  std::thread thread_;  // started last, joined by the destructor
};

}  // namespace dictate
