#include "app/command_loop.h"

#include <cstring>
#include <string_view>

#include "app/command_parser.h"
#include "output/output.h"
#include "engine/dictation_engine.h"

namespace dictate {

namespace {

enum class Next { readAnotherLine, quit };

// Handles one line of input: trims it, parses it and runs the command to
// its end before the caller reads on.
Task<Next> handleLine(DictationEngine& engine, std::string_view line) {
  std::string_view trimmed = trimWhitespaceAndNewlines(line);
  if (trimmed.empty()) co_return Next::readAnotherLine;
  std::optional<std::string> command = parseCommand(trimmed);
  if (!command) {
    writeDiagnostic("ignoring unparseable stdin line: " + std::string(trimmed));
  } else if (*command == "start") {
    co_await engine.start();
  } else if (*command == "stop") {
    co_await engine.stop();
  } else if (*command == "quit") {
    co_return Next::quit;
  } else {
    writeDiagnostic("unknown cmd: " + *command);
  }
  co_return Next::readAnotherLine;
}

}  // namespace

bool hasOnceArgument(int argc, const char* const* argv) {
  for (int i = 0; i < argc; ++i) {
    if (argv[i] != nullptr && std::strcmp(argv[i], "--once") == 0) return true;
  }
  return false;
}

Task<void> runDictationProcess(Platform& platform, LineSource& lines, bool once) {
  // The one engine of the process. It lives in this frame, which ends only
  // after the final stop has returned.
  DictationEngine engine(platform);
  emitEvent({{"type", "ready"}});
  if (once) co_await engine.start();
  for (;;) {
    InputLine input = co_await lines.nextLine();
    if (input.status == LineStatus::endOfInput) break;
    if (input.status == LineStatus::readError) {
      writeDiagnostic("stdin loop error: " + input.text);
      break;
    }
    if (co_await handleLine(engine, input.text) == Next::quit) break;
  }
  // "quit", the end of input and a read error all end here.
  co_await engine.stop();
}

}  // namespace dictate
