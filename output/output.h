// The program's two output channels: event lines on standard output and
// diagnostic lines on standard error. Each line is handed over whole, and
// lines from different threads never interleave. Safe to call from any
// thread; events are emitted on the main loop, diagnostics also from the
// capture and other threads.
//
// Events are written at once, with no buffering in the program; a host
// that does not read them holds the program up, as it must. Diagnostics are
// for people and never hold anything up: they wait in a bounded queue that
// a writer thread of their own hands to standard error, a line that finds
// the queue full is dropped, and once the queue has room again one line
// says how many were. The libraries' own lines join the same queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace dictate {

using Event = std::map<std::string, std::string>;

// Writes `event` as one compact JSON line with sorted keys. An event that
// is not valid UTF-8 is dropped without a word.
void emitEvent(const Event& event);

// Writes "[dictate] " + message + "\n" to standard error, or queues it;
// never waits for standard error.
void writeDiagnostic(std::string_view message);

// Puts a pipe in place of standard error and hands each line written to it
// (the libraries we use write their own messages there) to the diagnostics'
// queue, so that those never wait for the host either. For the start of the
// process, before other threads run.
void takeOverStandardError();

// Waits until the diagnostics queued so far have been written, or `limit`
// has passed; for the end of the process.
void flushDiagnostics(std::chrono::milliseconds limit);

// At most this many bytes of diagnostics wait to be written; a single line
// is taken whenever nothing waits.
inline constexpr size_t kDiagnosticQueueBytes = 256 * 1024;

// Puts the event's JSON text, without the line feed, in `out`. Returns
// false, leaving `out` unusable, when a key or value is not valid UTF-8.
bool serializeEvent(const Event& event, std::string& out);

// Where output goes. The default writes to file descriptors 1 and 2; tests
// install their own to capture lines. Implementations must be thread-safe.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  virtual void writeStdout(std::string_view line) = 0;
  virtual void writeStderr(std::string_view line) = 0;
};

// Installs `sink` (nullptr restores the default) and returns the previous one.
OutputSink* setOutputSink(OutputSink* sink);

}  // namespace dictate
