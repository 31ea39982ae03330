// The process entry: makes the standard descriptors safe to use, then runs
// the command loop on the main loop of the main thread until it ends, and
// exits with status 0.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>

#include "app/command_loop.h"
#include "app/line_reader.h"
#include "output/output.h"
#include "platform/error.h"
#include "app/platform_module.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace {

// A descriptor among 0, 1 and 2 that the parent left closed is opened on
// /dev/null before anything else can take its number: otherwise the next
// socket or eventfd would become "standard output", or the reader would
// wait on its own wake-up descriptor. Closed standard input therefore reads
// as an empty one.
void openClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

dictate::Task<void> runThenQuit(dictate::Platform& platform, dictate::LineSource& lines, bool once,
                                dictate::MainLoop& loop) {
  co_await dictate::runDictationProcess(platform, lines, once);
  loop.quit();
}

}  // namespace

int main(int argc, char** argv) {
  openClosedStandardDescriptors();
  dictate::takeOverStandardError();
  // A host that stops reading our output must not end us: writes to a
  // closed pipe fail with EPIPE instead, and output drops them.
  ::signal(SIGPIPE, SIG_IGN);

  dictate::MainLoop loop;
  std::unique_ptr<dictate::Platform> platform = dictate::makeLazyLinuxPlatform();
  dictate::LineReader lines(STDIN_FILENO);
  dictate::spawn(runThenQuit(*platform, lines, dictate::hasOnceArgument(argc, argv), loop),
                 [&loop](std::exception_ptr error) {
                   dictate::writeDiagnostic("internal error: " + dictate::describeError(error));
                   loop.quit();
                 });
  loop.run();
  // What is still queued for standard error gets a moment, not more: a host
  // that never reads it must not keep us from ending.
  dictate::flushDiagnostics(std::chrono::milliseconds(500));
  return 0;
}
