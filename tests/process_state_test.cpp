// The built program with its services and Debian's speech model, as hosts
// start it: with signals and standard error set up oddly, and with odd
// files where the program keeps its own. No audio server runs, so every
// start that gets past the model fails at capture, the same way each time.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>

#include "output/output.h"
#include "platform/linux/speech/decoder_adaptation.h"
#include "tests/support/speech_audio.h"

namespace dictate::testing {
namespace {

namespace fs = std::filesystem;
namespace sa = dictate::speechaudio;

const std::string kStartThenQuit = "{\"cmd\":\"start\"}\n{\"cmd\":\"quit\"}\n";
const std::string kNoServer = "no audio server is running (Connection refused)";

class SpeechProcessTest : public ::testing::Test {
 protected:
  // Debian's model in the user's store, its mdef cut to half when `damaged`.
  void installModel(bool damaged) {
    const std::string from = sa::quoted(sa::kDebianModel), to = sa::quoted(model_);
    sa::run("rm -rf " + to + " && mkdir -p " + to + " && cp -rs " + from + "/. " + to + " && rm " +
            to + "/en-us/mdef && head -c $(($(stat -c %s " + from + "/en-us/mdef) / " +
            (damaged ? "2" : "1") + ")) " + from + "/en-us/mdef >" + to + "/en-us/mdef");
  }
  // Runs the program on `input` after the shell commands `before`, through
  // `wrapper`, with standard error redirected by `redirect`. True when it
  // ended with status 0; fills out_ and err_.
  bool run(const std::string& input, const std::string& before = "",
           const std::string& wrapper = "", const std::string& redirect = "2>err") {
    std::ofstream(home() / "input") << input;
    const std::string command =
        "cd " + sa::quoted(home()) + " && " + before +
        "HOME=$PWD XDG_DATA_HOME=$PWD/data XDG_CACHE_HOME=$PWD/cache XDG_STATE_HOME=$PWD/state "
        "PULSE_SERVER=unix:$PWD/no-server timeout 30 " + wrapper + " " DICTATE_BINARY
        " <input >out " + redirect;
    const int status = std::system(command.c_str());
    out_ = sa::readFile(home() / "out");
    err_ = sa::readFile(home() / "err");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  // What a start that fails with `failure`, and then "quit", write.
  static std::string startFailedWith(const std::string& failure) {
    std::string error;
    serializeEvent({{"type", "error"}, {"message", "start failed: " + failure}}, error);
    return "{\"type\":\"ready\"}\n{\"status\":\"ready\",\"type\":\"model\"}\n" + error +
           "\n{\"type\":\"state\",\"value\":\"stopped\"}\n";
  }
  fs::path home() const { return scratch_.path(); }

  sa::ScratchDir scratch_;
  const fs::path model_ = home() / "data/quillmarsh-dictate/model/en-us";
  std::string out_, err_;
};

// A host that ignores SIGCHLD (the system reaps the checker, and its status
// is lost), or that never reads standard error (its pipe fills after a few
// thousand diagnostics): the model check still tells a damaged model from a
// sound one, only a sound one is remembered, and every event comes.
TEST_F(SpeechProcessTest, InheritedSignalsAndAnUnreadStandardErrorHoldNothingUp) {
  const std::string ignoreChld = "perl -e '$SIG{CHLD}=\"IGNORE\"; exec @ARGV'";
  std::string unparseable;
  for (int i = 0; i < 6000; ++i) unparseable += "not a command " + std::to_string(i) + "\n";
  const std::string damaged = "speech model in " + model_.string() +
                              " is damaged: en-us/mdef is shorter than its header says";
  struct Row {
    const char* name;
    bool damaged;
    std::string input, before, wrapper, redirect;
  } rows[] = {
      {"SIGCHLD ignored, a damaged model", true, kStartThenQuit, "", ignoreChld, "2>err"},
      {"SIGCHLD ignored, a sound model", false, kStartThenQuit, "", ignoreChld, "2>err"},
      // A FIFO that the shell holds open for reading and never reads; the
      // audio library, given a home it cannot use, writes there too.
      {"standard error never read", true, unparseable + kStartThenQuit,
       "mkfifo fifo && exec 3<>fifo && ", "env HOME=.", "2>fifo 3<&-"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    installModel(row.damaged);
    fs::remove_all(home() / "cache");
    EXPECT_TRUE(run(row.input, row.before, row.wrapper, row.redirect)) << err_;
    EXPECT_EQ(out_, startFailedWith(row.damaged ? damaged : kNoServer));
    EXPECT_EQ(fs::exists(home() / "cache/quillmarsh-dictate/checked-models"), !row.damaged);
  }
}

// A FIFO, a folder, a device or a huge file where the program keeps a file
// of its own is ignored with a diagnostic, without waiting on it or reading
// it; a file that the start writes replaces it (a folder stays).
TEST_F(SpeechProcessTest, OddFilesWhereTheProgramKeepsItsOwnAreIgnored) {
  installModel(false);
  const std::pair<fs::path, bool> files[] = {  // and whether a start writes it
      {"cache/quillmarsh-dictate/checked-models", true},
      {"data/quillmarsh-dictate/reserved-locales", true},
      {"state/quillmarsh-dictate/adaptation/" + adaptationKey(model_), false}};
  const std::pair<const char*, void (*)(const fs::path&)> kinds[] = {
      {"a FIFO", [](const fs::path& p) { sa::run("mkfifo " + sa::quoted(p)); }},
      {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
      {"a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }},
      {"a huge file",
       [](const fs::path& p) { std::ofstream{p}.close(), fs::resize_file(p, 1LL << 30); }}};
  for (const auto& [file, written] : files) {
    for (const auto& [kind, make] : kinds) {
      SCOPED_TRACE(file.string() + " is " + kind);
      const fs::path path = home() / file;
      for (const char* dir : {"cache", "data/quillmarsh-dictate/reserved-locales", "state"})
        fs::remove_all(home() / dir);
      fs::create_directories(path.parent_path());
      make(path);
      EXPECT_TRUE(run(kStartThenQuit)) << err_;
      EXPECT_EQ(out_, startFailedWith(kNoServer));
      EXPECT_NE(err_.find("[dictate] ignoring " + path.string() + ": it is "), std::string::npos)
          << err_;
      EXPECT_TRUE(!written || fs::is_regular_file(fs::symlink_status(path)) ==
                                  (kind != std::string("a folder")));
    }
  }
}

}  // namespace
}  // namespace dictate::testing
