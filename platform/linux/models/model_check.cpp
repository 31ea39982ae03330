#include "platform/linux/models/model_check.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pocketsphinx.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string_view>
#include <thread>

#include "platform/linux/models/kept_files.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/models/sha256_hex.h"

extern char** environ;

namespace dictate {

namespace fs = std::filesystem;

namespace {

constexpr const char* kCheckerName = "quillmarsh-dictate-model-check";
// Passes kept in the record; older ones are checked again when used.
constexpr size_t kRecordedModels = 16;
// A line of the record and its line feed.
constexpr size_t kRecordLine = 65;

std::mutex checkerMutex;
fs::path checkerOverride;  // guarded by checkerMutex

// The files the library may read: everything in the acoustic model's
// folder, the language model and the dictionary.
std::vector<fs::path> modelFiles(const fs::path& modelDir) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(modelDir / kAcousticModelFolder, ec)) {
    if (entry.is_regular_file(ec)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  files.push_back(modelDir / kLanguageModelFile);
  files.push_back(modelDir / kDictionaryFile);
  return files;
}

std::string sha256Hex(const std::string& text) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
  return finishSha256Hex(ctx);
}

// What makes two checks of the same files alike. A model file: its device,
// inode, size and times; any write, truncation, replacement or touch
// changes one of them (ctime cannot be set back by the user). A program or
// library: its size and modification time, which a new version changes.
bool appendIdentity(std::string& text, const fs::path& file, bool modelFile) {
  struct stat st;
  if (::stat(file.c_str(), &st) != 0) return false;
  text += file.string() + '\0';
  std::vector<long long> fields = {static_cast<long long>(st.st_size),
                                   static_cast<long long>(st.st_mtim.tv_sec),
                                   static_cast<long long>(st.st_mtim.tv_nsec)};
  if (modelFile) {
    fields.insert(
        fields.end(),
        {static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
         static_cast<long long>(st.st_ctim.tv_sec), static_cast<long long>(st.st_ctim.tv_nsec)});
  }
  for (long long n : fields) text += std::to_string(n) + ' ';
  return true;
}

// The shared object that holds `symbol`; empty when it cannot be told.
fs::path libraryHolding(void* symbol) {
  Dl_info info{};
  if (::dladdr(symbol, &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

// Identifies the model as the library would read it, the library that
// reads it and the checker that judges it: a newer library may read the
// same files otherwise, and a newer checker look for more. Nothing when a
// file cannot be looked at.
std::optional<std::string> fingerprint(const fs::path& modelDir, const ModelOptions& options) {
  std::string text;
  for (const auto& [name, value] : options) text += name + '\0' + value + '\0';
  for (const auto& file : modelFiles(modelDir)) {
    if (!appendIdentity(text, file, true)) return std::nullopt;
  }
  for (void* symbol :
       {reinterpret_cast<void*>(&ps_init), reinterpret_cast<void*>(&cmd_ln_parse_r)}) {
    if (!appendIdentity(text, libraryHolding(symbol), false)) return std::nullopt;
  }
  if (!appendIdentity(text, modelChecker(), false)) return std::nullopt;
  return sha256Hex(text);
}

fs::path recordFile() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  fs::path dir = cache ? cache : "";
  if (dir.empty() || dir.is_relative()) {
    const char* home = std::getenv("HOME");
    const passwd* pw = home && *home ? nullptr : getpwuid(getuid());
    dir = fs::path(home && *home ? home : (pw && pw->pw_dir ? pw->pw_dir : "/")) / ".cache";
  }
  return dir / "quillmarsh-dictate" / "checked-models";
}

std::vector<std::string> readRecord() {
  // Anything else in its place counts as an empty record.
  std::istringstream in(readKeptFile(recordFile(), kRecordedModels * kRecordLine).value_or(""));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() + 1 == kRecordLine) lines.push_back(line);
  }
  return lines;
}

// Adds a pass. Another process may add one at the same moment and lose
// this one; a record that is lost or cannot be written only costs a check.
void record(const std::string& passed) {
  std::vector<std::string> lines = readRecord();
  std::erase(lines, passed);
  lines.push_back(passed);
  if (lines.size() > kRecordedModels)
    lines.erase(lines.begin(), lines.end() - static_cast<ptrdiff_t>(kRecordedModels));
  const fs::path file = recordFile();
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  replaceKeptFile(file, text);
}

// What the checker's log tells, read line by line as it arrives: the
// model file the library read last before it failed, the checker's own
// verdict on a file, and whether it said the model passed. The options the
// library prints first (lines starting with '-') name files too, and its
// line for the language model names none.
class CheckLog {
 public:
  explicit CheckLog(const fs::path& modelDir) : modelDir_(modelDir), files_(modelFiles(modelDir)) {}

  void take(std::string_view chunk) {
    partial_.append(chunk);
    size_t begin = 0;
    for (size_t end; (end = partial_.find('\n', begin)) != std::string::npos; begin = end + 1)
      readLine(std::string_view(partial_).substr(begin, end - begin));
    partial_.erase(0, begin);
    // Junk printed by the library may never end a line.
    if (partial_.size() > kLongestLine) partial_.clear();
  }
  void finish() {
    if (!partial_.empty()) readLine(partial_);
    partial_.clear();
  }

  std::string file;  // relative to the model folder; "" when none was named
  bool passed = false;
  std::optional<std::string> damaged;

 private:
  static constexpr size_t kLongestLine = 64 * 1024;

  void readLine(std::string_view line) {
    // Only the last line may say so.
    if (!line.empty()) passed = line == kModelCheckPassedLine;
    if (line.starts_with(kModelCheckDamagedPrefix))
      damaged = line.substr(std::strlen(kModelCheckDamagedPrefix));
    if (line.starts_with('-')) return;
    if (line.find("read LM") != std::string_view::npos) file = kLanguageModelFile;
    for (const auto& path : files_) {
      if (line.find(path.string()) != std::string_view::npos)
        file = path.lexically_relative(modelDir_).string();
    }
  }

  const fs::path modelDir_;
  const std::vector<fs::path> files_;
  std::string partial_;
};

struct CheckRun {
  explicit CheckRun(const fs::path& modelDir) : log(modelDir) {}
  int spawnError = 0;
  bool timedOut = false;
  // Whether `status` is known: a host that ignores SIGCHLD leaves the
  // checker to be reaped by the system, and its status with it.
  bool reaped = false;
  int status = 0;  // as waitpid() reports it
  CheckLog log;

  // Passed only when the checker said so last and did not report otherwise.
  bool passed() const {
    return !timedOut && log.passed && (!reaped || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
  }
};

// Reads the checker's log until it closes it or the time is up.
void collectLog(int fd, std::chrono::steady_clock::time_point deadline, CheckRun& run) {
  std::array<char, 8192> buffer;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      return;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // the deadline is checked above
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      run.log.finish();
      return;
    }
    run.log.take(std::string_view(buffer.data(), static_cast<size_t>(n)));
  }
}

// Waits for the checker to end; kills it once the time is up.
void reap(pid_t pid, std::chrono::steady_clock::time_point deadline, CheckRun& run) {
  if (run.timedOut) ::kill(pid, SIGKILL);
  for (;;) {
    pid_t r = ::waitpid(pid, &run.status, WNOHANG);
    run.reaped = r == pid;
    if (r == pid || (r < 0 && errno != EINTR)) return;
    if (r == 0 && !run.timedOut && std::chrono::steady_clock::now() >= deadline) {
      run.timedOut = true;
      ::kill(pid, SIGKILL);
    }
    if (r == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// posix_spawn, not fork: this process has other threads, and only a
// fresh program is safe to run in the child.
CheckRun runChecker(const fs::path& checker, const fs::path& modelDir,
                    const ModelOptions& options) {
  CheckRun run(modelDir);
  std::vector<std::string> args = {checker.string(), modelDir.string()};
  for (const auto& [name, value] : options) {
    args.push_back(name);
    args.push_back(value);
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    run.spawnError = errno;
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Standard output carries the program's events: the checker gets none.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The checker ends as the library makes it end, whatever signals the
  // host blocked or ignored for us.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  run.spawnError =
      ::posix_spawn(&pid, checker.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (run.spawnError == 0) {
    auto deadline = std::chrono::steady_clock::now() + kModelCheckTimeout;
    collectLog(pipeFds[0], deadline, run);
    reap(pid, deadline, run);
  }
  ::close(pipeFds[0]);
  return run;
}

std::string describeFailure(const fs::path& modelDir, const CheckRun& run) {
  const std::string damaged = "speech model in " + modelDir.string() + " is damaged: ";
  if (run.timedOut) {
    return damaged + "checking it took longer than " + std::to_string(kModelCheckTimeout.count()) +
           " s";
  }
  const std::string& file = run.log.file;
  const std::string step = file.empty() ? "loading it" : "reading " + file;
  const bool exited = run.reaped && WIFEXITED(run.status);
  if (run.log.damaged && (!run.reaped || (exited && WEXITSTATUS(run.status) == kModelCheckDamaged)))
    return damaged + *run.log.damaged;
  if (exited && WEXITSTATUS(run.status) == kModelCheckRefused)
    return damaged + "the decoder library refused it" + (file.empty() ? "" : " at " + file);
  if (run.reaped && WIFSIGNALED(run.status)) {
    return damaged + step + " crashed the model check (" + ::strsignal(WTERMSIG(run.status)) + ")";
  }
  if (!run.reaped) return damaged + "the model check ended without passing it, " + step;
  return damaged + "the decoder library gave up " + step + " (exit status " +
         std::to_string(WEXITSTATUS(run.status)) + ")";
}

// The folder of the shared object (or executable) holding this code.
fs::path folderOfThisCode() {
  Dl_info info{};
  link_map* map = nullptr;
  if (::dladdr1(reinterpret_cast<void*>(&folderOfThisCode), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) != 0 &&
      map && map->l_name && map->l_name[0] == '/') {
    return fs::path(map->l_name).parent_path();
  }
  // The main executable has no name in the link map.
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).parent_path();
}

}  // namespace

fs::path modelChecker() {
  {
    std::lock_guard<std::mutex> lock(checkerMutex);
    if (!checkerOverride.empty()) return checkerOverride;
  }
  // Beside the code in the build tree and beside the module once installed;
  // a program installed in bin/ that links this code finds it in the
  // private folder.
  const fs::path beside = folderOfThisCode() / kCheckerName;
  std::error_code ec;
  if (fs::exists(beside, ec)) return beside;
  return folderOfThisCode() / DICTATE_PRIVATE_DIR_FROM_BIN / kCheckerName;
}

void setModelChecker(fs::path executable) {
  std::lock_guard<std::mutex> lock(checkerMutex);
  checkerOverride = std::move(executable);
}

std::optional<std::string> checkModelOnce(const fs::path& modelDir, const ModelOptions& options) {
  const auto before = fingerprint(modelDir, options);
  if (before) {
    const auto passed = readRecord();
    if (std::find(passed.begin(), passed.end(), *before) != passed.end()) return std::nullopt;
  }
  const fs::path checker = modelChecker();
  CheckRun run = runChecker(checker, modelDir, options);
  if (run.spawnError != 0) {
    return "speech model in " + modelDir.string() + " could not be checked: cannot run " +
           checker.string() + ": " + std::strerror(run.spawnError);
  }
  if (!run.passed()) return describeFailure(modelDir, run);
  // A model changed while it was checked passed as some other model.
  if (before && fingerprint(modelDir, options) == before) record(*before);
  return std::nullopt;
}

}  // namespace dictate
