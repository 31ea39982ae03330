// The built program end to end on real services: a private PulseAudio
// server (or PipeWire with its PulseAudio server) whose virtual microphone
// plays sentences spoken by espeak-ng over a noise floor, in real time,
// while the program recognises them with PocketSphinx. Checks the events a
// host sees, byte for byte where they are fixed; of the recognised text, that
// the last word of the dictation is there.
#include <gmock/gmock.h>
#include <sys/wait.h>

#include <algorithm>

#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/pulse_server.h"
#include "tests/support/speech_audio.h"

namespace dictate::testing {
namespace {

namespace fs = std::filesystem;
namespace sa = dictate::speechaudio;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

const std::string kReady = R"({"type":"ready"})", kStart = R"({"cmd":"start"})";
const std::string kModelReady = R"({"status":"ready","type":"model"})";
const std::string kListening = R"({"type":"state","value":"listening"})";
const std::string kStopped = R"({"type":"state","value":"stopped"})", kStop = R"({"cmd":"stop"})";

class EndToEndTest : public ::testing::Test {
 protected:
  // A value of nullopt removes the variable.
  using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;
  explicit EndToEndTest(PulseServer::Options server = {}) : server_(server) {}
  void SetUp() override { ASSERT_TRUE(server_.isUp()) << "the private audio server did not start"; }

  // Three sentences, the last one cut short by the end of the dictation:
  // the voice-activity detector has not ended it then, so only the
  // finalisation delivers its last word. The program runs with `args` and
  // the environment changed by `env`. The shell sends "start" (without
  // `args`), waits until the program listens and records, plays the
  // sentences into `sink` in real time, then sends `stop` (or ends the
  // input). Returns the events as letters: R, M, L and S for the fixed
  // ready, model ready, listening and stopped lines, byte for byte, v and f
  // for volatile and final results.
  std::string dictate(const std::vector<std::string>& args, Environment env,
                      const std::string& sink, const std::string& stop) {
    const std::string first = "we need to buy milk bread eggs and coffee on the way home",
                      second = "the project deadline has been moved to the end of next month",
                      last = "please send the report to the team before the meeting on friday "
                             "morning";
    std::vector<int16_t> samples = sa::silence(0.8);
    for (const std::string& sentence : {first, second, last}) {
      sa::append(samples, sa::speak(sentence, "en-us", scratch_.path()));
      sa::append(samples, sa::silence(sentence == last ? 0.3 : 1.2));
    }
    sa::addNoiseFloor(samples, scratch_.path());
    const fs::path home = scratch_.path();
    std::ofstream(home / "clip.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    env.insert(env.begin(), {{"HOME", home}, {"XDG_DATA_HOME", home / "data"},
                             {"XDG_CONFIG_HOME", home / "config"}, {"XDG_CACHE_HOME", home / "cache"},
                             {"XDG_STATE_HOME", std::nullopt}, {"XDG_RUNTIME_DIR", std::nullopt},
                             {"XDG_DATA_DIRS", std::nullopt}});
    std::string unset, set;  // env takes its options first
    for (const auto& [name, value] : env)
      value ? set += " " + name + "=" + sa::quoted(*value) : unset += " -u " + name;
    std::string program = "env" + unset + set + " timeout 120 " DICTATE_BINARY;
    for (const auto& arg : args) program += " " + arg;
    // The record stream of the remapped microphone itself has no client ("-").
    const std::string script =
        "cd " + sa::quoted(home) + " && export PULSE_SERVER=" + server_.address() +
        " PULSE_COOKIE=" + server_.dir() + "/client-cookie && { " +
        (args.empty() ? "echo " + sa::quoted(kStart) + "; " : "") +
        "for i in $(seq 600); do grep -q 'state.*listening' out && break; sleep 0.05; done; "
        "for i in $(seq 200); do pactl list short source-outputs | cut -f3 | grep -qvx -- - && "
        "break; sleep 0.05; done; "
        "paplay --raw --format=s16le --rate=16000 --channels=1 --device=" + sink + " clip.raw; " +
        (stop.empty() ? "" : "echo " + sa::quoted(stop) + "; ") + "} | " + program +
        " >out 2>err";
    const int status = std::system(script.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << script << ": " << status;
    std::ifstream out(home / "out");
    const std::map<std::string, char> fixed = {
        {kReady, 'R'}, {kModelReady, 'M'}, {kListening, 'L'}, {kStopped, 'S'}};
    std::string letters, finals;
    for (std::string line; std::getline(out, line); output_ += line + "\n") {
      auto event = nlohmann::json::parse(line, nullptr, false);
      const std::string type = event.is_object() ? event.value("type", "") : "";
      letters += fixed.contains(line) ? fixed.at(line) : type == "final" ? 'f'
                                                          : type == "volatile" ? 'v' : '?';
      if (type == "final") finals += event.value("text", "") + "\n";
    }
    diagnostics_ = sa::readFile(home / "err");
    output_ += "stderr:\n" + diagnostics_;
    EXPECT_NE(finals.find("morning"), std::string::npos) << "the last word is missing\n" << output_;
    return letters;
  }

  // The enrolment program in scripted use, with the folders dictate() gives
  // the program: `sentences` are shown, espeak-ng reads `spoken` (nothing
  // for "": 9 s of the floor alone) into the microphone meanwhile. Returns
  // its exit status and standard error.
  std::pair<int, std::string> enrol(const std::vector<std::string>& sentences,
                                    const std::vector<std::string>& spoken) {
    const fs::path home = scratch_.path();
    std::ofstream list(home / "sentences.txt");
    for (const std::string& sentence : sentences) list << sentence << "\n";
    list.close();
    std::vector<int16_t> samples = sa::silence(0.8);
    for (const std::string& sentence : spoken)
      sa::append(samples, sentence.empty() ? sa::silence(9) : sa::speak(sentence, "en-us", home)),
          sa::append(samples, sa::silence(1.4));
    sa::addNoiseFloor(samples, home);
    std::ofstream(home / "enrol.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()), samples.size() * 2);
    const std::string script =
        "cd " + sa::quoted(home) + " && export PULSE_SERVER=" + server_.address() +
        " PULSE_COOKIE=" + server_.dir() + "/client-cookie || exit 1; { "
        "for i in $(seq 600); do pactl list short source-outputs | cut -f3 | grep -qvx -- - && "
        "break; sleep 0.05; done; paplay --raw --format=s16le --rate=16000 --channels=1 "
        "--device=feed enrol.raw; } & env -u XDG_STATE_HOME -u XDG_RUNTIME_DIR -u XDG_DATA_DIRS "
        "HOME=$PWD XDG_DATA_HOME=$PWD/data XDG_CACHE_HOME=$PWD/cache timeout 600 " +
        (fs::path(DICTATE_BINARY).parent_path() / "quillmarsh-dictate-enrol").string() +
        " --sentences sentences.txt </dev/null 2>enrol.err; status=$?; wait; exit $status";
    const int status = std::system(script.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, sa::readFile(home / "enrol.err")};
  }

  sa::ScratchDir scratch_;
  PulseServer server_;
  std::string output_;       // what the program wrote, for failure messages
  std::string diagnostics_;  // its standard error
};

// With --once, until the end of input, from a second microphone that
// PULSE_SOURCE names (the default one hears nothing).
TEST_F(EndToEndTest, OnceDictatesFromTheMicrophonePulseSourceNames) {
  for (const std::string module :
       {"null-sink sink_name=feed2 rate=48000 channels=2 format=float32le norewinds=1",
        "remap-source source_name=othermic master=feed2.monitor"}) {
    ASSERT_EQ(server_.runTool("pactl load-module module-" + module), 0) << module;
  }
  // A volatile result first, at least a final per sentence, nothing after "stopped".
  EXPECT_THAT(dictate({"--once"}, {{"PULSE_SOURCE", "othermic"}}, "feed2", ""),
              MatchesRegex("RMLv[vf]*f[vf]*f[vf]*S")) << output_;
}

// espeak-ng's voice enrols with the first 20 of our sentences (15 to adapt,
// 5 held back), and the next dictation uses the adapted model. Before that,
// an enrolment read badly (other sentences, then silence) is given up
// after its third reading and leaves no model behind.
TEST_F(EndToEndTest, EnrolmentAdaptsTheModelThatTheNextDictationUses) {
  std::vector<std::string> ours;
  std::ifstream file(DICTATE_SOURCE_DIR "/data/enrolment_sentences.txt");
  for (std::string line; std::getline(file, line);)
    if (!line.empty() && line.front() != '#') ours.push_back(line);
  ASSERT_GE(ours.size(), 20u);
  const fs::path adapted = scratch_.path() / "data/quillmarsh-dictate/adapted-model";

  auto [status, stderrText] = enrol({ours[0], ours[1], ours[2]}, {ours[4], ours[10], ""});
  EXPECT_EQ(status, 1) << stderrText;
  const std::string other = "not used: it does not sound like the sentence";
  EXPECT_NE(stderrText.find(other, stderrText.find(other) + 1), std::string::npos) << stderrText;
  EXPECT_THAT(stderrText, HasSubstr("not used: no speech was heard\nstopped: 3 readings in a row"));
  EXPECT_FALSE(fs::exists(adapted));

  ours.resize(20);
  std::tie(status, stderrText) = enrol(ours, ours);
  ASSERT_EQ(status, 0) << stderrText;
  EXPECT_TRUE(fs::is_directory(adapted));
  EXPECT_THAT(dictate({"--once"}, {}, "feed", ""), MatchesRegex("RMLv[vf]*f[vf]*f[vf]*S"))
      << output_;
  EXPECT_THAT(diagnostics_, HasSubstr("[dictate] speech model: adapted to this speaker (" +
                                      adapted.string() + ")\n"));
}

// On PipeWire's PulseAudio server, as most desktops run, with folders
// nobody can create (a file is in the way, as in a read-only or sandboxed
// home): the program dictates all the same and says so once, first; the
// adaptation that cannot be kept speaks for itself. The second start shows
// that the reservation holds for the run.
class EndToEndOnPipeWireTest : public EndToEndTest {
 protected:
  EndToEndOnPipeWireTest() : EndToEndTest({.pipeWire = true}) {}
};

TEST_F(EndToEndOnPipeWireTest, DictatesBetweenStartAndStopWithUnwritableDataFolders) {
  const fs::path blocked = scratch_.path() / "blocked";
  std::ofstream(blocked) << "";
  EXPECT_THAT(dictate({}, {{"HOME", blocked / "home"}, {"XDG_DATA_HOME", blocked / "data"}}, "feed",
                      kStop + "\n" + kStart + "\n" + kStop + "\n" + R"({"cmd":"quit"})"),
              MatchesRegex("RMLv[vf]*f[vf]*f[vf]*SMLS")) << output_;
  const std::string reservation =
      "[dictate] the speech model reservation for en-US is kept for this run only: could not "
      "create " + (blocked / "data" / "quillmarsh-dictate").string() + ": Not a directory\n";
  EXPECT_EQ(diagnostics_.find(reservation), 0u) << diagnostics_;
  EXPECT_EQ(diagnostics_.find(reservation, 1), std::string::npos) << diagnostics_;
}

}  // namespace
}  // namespace dictate::testing
