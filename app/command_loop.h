// The process body: constructs the one DictationEngine, tells the host it is
// ready, optionally starts dictating at once, then hands the host's commands
// to the engine strictly one after another until "quit" or the end of input.
// Runs on the main loop; lines come from a LineSource so that tests can drive
// the whole process in memory.
#pragma once

#include <string>

#include "platform/platform.h"
#include "runtime/task.h"

namespace dictate {

enum class LineStatus { line, endOfInput, readError };

struct InputLine {
  LineStatus status = LineStatus::endOfInput;
  // The line without its terminator, or the read error's description.
  std::string text;
};

class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next line; after endOfInput or readError, nothing more is asked.
  virtual Task<InputLine> nextLine() = 0;
};

// True when one of the arguments, the program path included, is exactly
// "--once".
bool hasOnceArgument(int argc, const char* const* argv);

// Runs the whole process on the current main loop and returns when the
// process should end with status 0 (the engine stopped).
Task<void> runDictationProcess(Platform& platform, LineSource& lines, bool once);

}  // namespace dictate
