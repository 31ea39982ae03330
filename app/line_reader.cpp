#include "app/line_reader.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <system_error>

#include "output/utf8.h"

namespace dictate {

namespace {

constexpr size_t kReadChunkBytes = 64 * 1024;
constexpr std::string_view kTruncationMark = "\xE2\x80\xA6";  // U+2026

int makeWakeFd() {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::system_category(), "eventfd");
  return fd;
}

InputLine textLine(std::string bytes) {
  if (!isValidUtf8(bytes)) bytes = toValidUtf8(bytes);
  return InputLine{LineStatus::line, std::move(bytes)};
}

}  // namespace

void LineSplitter::feed(std::string_view bytes) { input_.append(bytes); }

void LineSplitter::finish() { finished_ = true; }

std::optional<std::string> LineSplitter::takeLine() {
  while (inputPos_ < input_.size()) {
    if (skipLineFeed_) {
      skipLineFeed_ = false;
      if (input_[inputPos_] == '\n') {
        ++inputPos_;
        continue;
      }
    }
    size_t end = input_.find_first_of("\r\n", inputPos_);
    if (end == std::string::npos) {
      appendToLine(std::string_view(input_).substr(inputPos_));
      break;
    }
    appendToLine(std::string_view(input_).substr(inputPos_, end - inputPos_));
    skipLineFeed_ = input_[end] == '\r';
    inputPos_ = end + 1;
    return takeCurrentLine();
  }
  input_.clear();
  inputPos_ = 0;
  // An empty unterminated tail is no line at all.
  if (finished_ && (!line_.empty() || truncated_)) return takeCurrentLine();
  return std::nullopt;
}

void LineSplitter::appendToLine(std::string_view bytes) {
  size_t room = maxLineBytes_ - line_.size();
  if (bytes.size() > room) {
    bytes = bytes.substr(0, room);
    truncated_ = true;
  }
  line_.append(bytes);
}

std::string LineSplitter::takeCurrentLine() {
  std::string line = std::move(line_);
  line_.clear();
  if (truncated_) line += kTruncationMark;
  truncated_ = false;
  return line;
}

LineReader::LineReader(int fd) : fd_(fd), wakeFd_(makeWakeFd()) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    ::close(wakeFd_);
    throw;
  }
}

LineReader::~LineReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  requested_.notify_one();
  uint64_t one = 1;
  // Cannot fail short of a broken descriptor: the counter starts at zero
  // and is written once.
  [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
  thread_.join();
  ::close(wakeFd_);
}

Task<InputLine> LineReader::nextLine() {
  if (std::optional<InputLine> buffered = takeBuffered()) {
    // Resuming from the loop's queue rather than returning at once keeps
    // the stack flat: a caller that reads in a loop would otherwise nest
    // one frame per buffered line wherever the compiler does not turn the
    // resumption into a tail call. It also lets other work on the loop
    // run between two lines.
    co_await YieldToLoop{};
    co_return std::move(*buffered);
  }
  co_return co_await Completion<InputLine>([this](Request request) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request_.emplace(std::move(request));
    }
    requested_.notify_one();
  });
}

// The reading thread: answers one request at a time until destruction. A
// request that is pending when the reader stops gets endOfInput, so that
// its coroutine is not left suspended for ever.
void LineReader::run() {
  while (std::optional<Request> request = awaitRequest()) {
    (*request)(readLine());
  }
}

std::optional<LineReader::Request> LineReader::awaitRequest() {
  std::unique_lock<std::mutex> lock(mutex_);
  requested_.wait(lock, [this] { return stopping_ || request_.has_value(); });
  std::optional<Request> request = std::move(request_);
  request_.reset();
  return request;
}

InputLine LineReader::readLine() {
  for (;;) {
    if (std::optional<InputLine> buffered = takeBuffered()) return std::move(*buffered);
    if (!awaitReadable()) return InputLine{LineStatus::endOfInput, {}};
    readChunk();
  }
}

// The next line already read, else the end once reached, else nothing.
std::optional<InputLine> LineReader::takeBuffered() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::optional<std::string> line = splitter_.takeLine()) return textLine(std::move(*line));
  return ending_;
}

// Waits for input or for the destructor's wake-up; false for the latter.
// Error and hang-up conditions count as readable: the read reports them.
bool LineReader::awaitReadable() {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  for (;;) {
    int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return true;
    }
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;
  }
}

void LineReader::readChunk() {
  char buffer[kReadChunkBytes];
  ssize_t n = ::read(fd_, buffer, sizeof buffer);
  int error = errno;
  std::lock_guard<std::mutex> lock(mutex_);
  if (n > 0) {
    splitter_.feed(std::string_view(buffer, static_cast<size_t>(n)));
  } else if (n == 0) {
    splitter_.finish();
    ending_ = InputLine{LineStatus::endOfInput, {}};
  } else if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
    // A partial line before the failure is dropped: only the end of the
    // input completes an unterminated line.
    ending_ = InputLine{LineStatus::readError, std::system_category().message(error)};
  }
}

}  // namespace dictate
