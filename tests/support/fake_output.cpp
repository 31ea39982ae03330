#include "tests/support/fake_output.h"

namespace dictate {

CapturedOutput::CapturedOutput() : previous_(setOutputSink(this)) {}

CapturedOutput::~CapturedOutput() { setOutputSink(previous_); }

void CapturedOutput::writeStdout(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.push_back({true, std::string(line)});
}

void CapturedOutput::writeStderr(std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.push_back({false, std::string(line)});
}

std::vector<std::string> CapturedOutput::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& write : writes_) out.push_back(write.bytes);
  return out;
}

std::string CapturedOutput::stdoutText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto& write : writes_) {
    if (write.toStdout) out += write.bytes;
  }
  return out;
}

std::string CapturedOutput::stderrText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const auto& write : writes_) {
    if (!write.toStdout) out += write.bytes;
  }
  return out;
}

size_t CapturedOutput::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_.size();
}

void CapturedOutput::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  writes_.clear();
}

}  // namespace dictate
