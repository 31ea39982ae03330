// Captures the program's output for a test: every event line and every
// diagnostic line, in the order written, byte for byte. Installed as the
// output sink for its lifetime. Written from any thread (diagnostics come
// from capture threads too); read by the test.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "output/output.h"

namespace dictate {

class CapturedOutput : public OutputSink {
 public:
  CapturedOutput();
  ~CapturedOutput() override;
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  void writeStdout(std::string_view line) override;
  void writeStderr(std::string_view line) override;

  // Every write so far, in order: event lines as "{...}\n", diagnostic
  // lines as "[dictate] ...\n" (the two channels tell themselves apart).
  std::vector<std::string> lines() const;
  // One channel's bytes, all writes joined.
  std::string stdoutText() const;
  std::string stderrText() const;
  size_t size() const;
  void clear();

 private:
  struct Write {
    bool toStdout;
    std::string bytes;
  };
  OutputSink* previous_;
  mutable std::mutex mutex_;
  std::vector<Write> writes_;  // guarded by mutex_
};

}  // namespace dictate
