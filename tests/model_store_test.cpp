// The model store: where models are found, reservations shared between
// processes, the download catalog, and installing a model from a file URL:
// downloads that fail and archives that would write outside the store leave
// no model and nothing behind.
#include "platform/linux/models/model_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <map>

#include "platform/error.h"
#include "platform/linux/models/model_download.h"
#include "platform/linux/speech/pocketsphinx_service.h"
#include "tests/support/speech_audio.h"

namespace dictate {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kModelFiles = {
    "en-us/mdef",        "en-us/means",  "en-us/variances",   "en-us/transition_matrices",
    "en-us/sendump",     "en-us.lm.bin", "en-us/feat.params", "en-us/noisedict",
    "cmudict-en-us.dict"};

using speechaudio::readFile;

SpeechModules transcriberFor(const std::string& locale) {
  return {std::make_shared<PocketSphinxTranscriber>(
      TranscriberConfiguration{Locale(locale), {}, {}, {}})};
}

// Runs `task` on a loop of its own: what it threw ("" when nothing), and its value.
template <typename T>
std::pair<std::string, T> outcomeOf(Task<T> task) {
  MainLoop loop;
  std::optional<std::pair<std::string, T>> outcome;
  spawn([](Task<T> t, auto* out) -> Task<void> { out->emplace("", co_await std::move(t)); }(
                                     std::move(task), &outcome),
        [&](std::exception_ptr e) { outcome.emplace(describeError(e), T{}); });
  EXPECT_TRUE(loop.runUntil([&] { return outcome.has_value(); }, std::chrono::seconds(20)));
  return outcome ? std::move(*outcome) : std::pair<std::string, T>{"hangs", T{}};
}

class ModelStoreTest : public ::testing::Test {
 protected:
  fs::path path(const std::string& relative) const { return scratch_.path() / relative; }
  ModelStore store() const { return ModelStore({path("store"), {path("data"), path("system")}}); }
  void makeModel(const fs::path& dir, const std::string& skip = "") {
    for (const auto& name : kModelFiles) {
      fs::create_directories((dir / name).parent_path());
      if (name != skip) std::ofstream(dir / name) << name;
    }
  }
  // Installs through the inventory as the engine does; "" on success.
  std::string install() {
    ModelStore s = store();
    return outcomeOf([](ModelStore& s) -> Task<bool> {
             auto request = co_await s.assetInstallationRequest(transcriberFor("en-US"));
             if (request) co_await request->downloadAndInstall();
             co_return true;
           }(s))
        .first;
  }

  speechaudio::ScratchDir scratch_;
};

// Relative folders are not valid in the XDG variables and are skipped.
TEST_F(ModelStoreTest, LocationsFollowTheXdgVariablesButNotRelativeFolders) {
  const char* names[] = {"HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"};
  const char* values[] = {"/home/u", "relative", "rel:/a::/b/c"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* value = getenv(names[i])) saved[i] = value;
    setenv(names[i], values[i], 1);
  }
  auto locations = ModelStoreLocations::fromEnvironment();
  EXPECT_EQ(locations.userStore, "/home/u/.local/share/quillmarsh-dictate");
  EXPECT_EQ(locations.dataDirs, std::vector<fs::path>({"/a", "/b/c"}));
  unsetenv(names[1]);
  unsetenv(names[2]);
  EXPECT_EQ(ModelStoreLocations::fromEnvironment().dataDirs,
            std::vector<fs::path>({"/usr/local/share", "/usr/share"}));
  for (int i = 0; i < 3; ++i)
    saved[i] ? setenv(names[i], saved[i]->c_str(), 1) : unsetenv(names[i]);
}

// The user's store comes first, then each data folder: ours, then Debian's
// package's. A model without all its files is not there.
TEST_F(ModelStoreTest, ModelIsFoundInTheUserStoreFirstThenInSystemFolders) {
  makeModel(path("store/model/en-us"), "en-us/means");
  EXPECT_EQ(store().findModel(Locale("en_US")), std::nullopt);
  EXPECT_NE(outcomeOf(store().assetInstallationRequest(transcriberFor("en-US"))).second, nullptr);
  for (const char* dir : {"system/pocketsphinx/model/en-us", "data/quillmarsh-dictate/model/en-us",
                          "store/model/en-us"}) {
    makeModel(path(dir));
    EXPECT_EQ(store().findModel(Locale("en_US")), path(dir));
  }
  EXPECT_EQ(outcomeOf(store().assetInstallationRequest(transcriberFor("en-US"))).second, nullptr);
  EXPECT_EQ(outcomeOf(store().assetInstallationRequest(transcriberFor("fr-FR"))).first,
            "no speech model exists for fr-FR; only en-US is supported");
}

TEST_F(ModelStoreTest, ReservationsAreSharedBetweenProcessesAndUnreadableLinesIgnored) {
  ModelStore s = store();
  EXPECT_EQ(outcomeOf(s.reserve(Locale("en-US"))), std::pair(std::string(), true));
  EXPECT_EQ(outcomeOf(s.reserve(Locale("en_us"))), std::pair(std::string(), false));
  std::ofstream(path("store/reserved-locales"), std::ios::app)
      << "\x01\xff garbage\n\n# note\nde-DE\r\nen-US\n";
  auto reserved = outcomeOf(s.reservedLocales()).second;
  ASSERT_EQ(reserved.size(), 2u);
  EXPECT_EQ(reserved[1].identifier(), "de-DE");
  EXPECT_TRUE(s.addReservation(Locale("it-IT")));
  EXPECT_EQ(readFile(path("store/reserved-locales")), "en-US\nde-DE\nit-IT\n");
  // Two processes reserving at once lose nothing, and leave only the list and its lock.
  std::vector<pid_t> children;
  for (const char* region : {"-AA", "-BB"}) {
    if (pid_t pid = fork(); pid != 0) {
      children.push_back(pid);
      continue;
    }
    for (char c = 'a'; c < 'a' + 25; ++c)
      store().addReservation(Locale(std::string{'a', c} + region));
    _exit(0);
  }
  for (pid_t pid : children) {
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(store().readReservations().size(), 53u);
  EXPECT_EQ(std::distance(fs::directory_iterator(path("store")), fs::directory_iterator()), 2);
}

// Each install but the flat archive's starts over a stale, incomplete copy
// in the user's store.
TEST_F(ModelStoreTest, DownloadsInstallTheModelOrFailSayingWhyAndLeaveNothingBehind) {
  const fs::path outside = path("outside"), victim = outside / "victim";
  // Archives with the model at the top or in one folder, without a file,
  // or with one entry that would write outside the store. Made with
  // Python's tarfile: only a pax archive's hard link carries data, and tar
  // cannot write one.
  auto model = [](const std::string& prefix, const std::string& skip = "") {
    std::string entries = "('" + prefix + "en-us', b'5', ''), ";
    for (const auto& name : kModelFiles)
      if (name != skip) entries += "('" + prefix + name + "', b'0', ''), ";
    return entries;
  };
  const std::map<std::string, std::string> archives = {
      {"model.tar.gz", model("en-us-model/")},
      {"flat.tar", model("./")},
      {"incomplete.tar.gz", model("", "en-us/mdef")},
      {"hardlink.tar", model("m/") + "('m/hl', b'1', '" + victim.string() + "')"},
      {"symlink.tar",
       model("m/") + "('m/up', b'2', '" + outside.string() + "'), ('m/up/x', b'0', '')"},
      {"absolute.tar", model("m/") + "('" + outside.string() + "/x', b'0', '')"},
      {"dotdot.tar", model("m/") + "('m/../../../outside/x', b'0', '')"},
      {"device.tar", model("m/") + "('m/null', b'3', '')"},
      {"fifo.tar", model("m/") + "('m/fifo', b'6', '')"}};
  std::string script =
      "import io, tarfile\n"
      "def tar(file, entries):\n"
      "  t = tarfile.open(file, 'w:gz' if file.endswith('gz') else 'w', "
      "format=tarfile.PAX_FORMAT)\n"
      "  for name, type, link in entries:\n"
      "    data = name.encode() if type in (b'0', b'1') else b''\n"
      "    i = tarfile.TarInfo(name); i.type = type; i.linkname = link; i.mode = 0o644\n"
      "    i.size = len(data); i.pax_headers = {'comment': 'pax'}; t.addfile(i, io.BytesIO(data))\n"
      "  t.close()\n";
  for (const auto& [name, entries] : archives)
    script += "tar('" + path(name).string() + "', [" + entries + "])\n";
  speechaudio::run("python3 - <<'EOF'\n" + script + "EOF");

  // The model archive's bytes, all changed: what a damaged download gives.
  std::ofstream(path("corrupt")) << std::string(fs::file_size(path("model.tar.gz")), 'x');
  const std::string unpack = "could not be unpacked: ";
  struct Case {
    std::string source;    // the file the catalog names
    int sizeChange;        // of the size the catalog gives
    std::string expected;  // "" for an installed model
  };
  const auto size = fs::file_size(path("model.tar.gz"));
  const Case cases[] = {{"model.tar.gz", 0, ""},
                        {"flat.tar", 0, ""},
                        {"missing", 0, "failed: Couldn't open file " + path("missing").string()},
                        {"model.tar.gz", 10,
                         "was cut short: received " + std::to_string(size) + " of " +
                             std::to_string(size + 10) + " bytes"},
                        {"model.tar.gz", -10, "is larger than the expected"},
                        {"corrupt", 0, "is corrupt: its SHA-256 checksum does not match"},
                        {"incomplete.tar.gz", 0, "does not hold a complete speech model"},
                        {"hardlink.tar", 0, unpack + "hard link m/hl"},
                        {"symlink.tar", 0, unpack + "symbolic link m/up"},
                        {"absolute.tar", 0, unpack + "unsafe path " + outside.string() + "/x"},
                        {"dotdot.tar", 0, unpack + "unsafe path m/../../../outside/x"},
                        {"device.tar", 0, unpack + "special file m/null"},
                        {"fifo.tar", 0, unpack + "special file m/fifo"},
                        {"", 0,
                         "the speech model for en-US is not installed and no download source is "
                         "known; install the Debian package pocketsphinx-en-us"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    for (const char* dir : {"store", "data", "outside"}) fs::remove_all(path(dir));
    if (c.source != "flat.tar") makeModel(path("store/model/en-us"), "en-us/means");
    fs::create_directories(path("data/quillmarsh-dictate"));
    fs::create_directories(outside);
    std::ofstream(victim) << "secret";
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const std::string url = "file://" + path(c.source).string();
    if (!c.source.empty()) {
      // A missing or corrupt download was meant to be the model archive.
      const bool damaged = c.source == "missing" || c.source == "corrupt";
      const fs::path archive = path(damaged ? "model.tar.gz" : c.source);
      // Entries that are not well formed are skipped; locale and checksum
      // may be written either way.
      std::string sha = sha256OfFile(archive), upper = sha;
      for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
      std::ofstream(path("data/quillmarsh-dictate/model-catalog.txt"))
          << "# test catalog\n\nen-US " << url << " 12x " << sha << "\nen-US " << url << " 1 "
          << sha.substr(1) << "\nen-US " << url << " 1 " << sha << " extra\n#en-US " << url << " 1 "
          << sha << "\nen-US " << url << "\nen_us " << url << " "
          << fs::file_size(archive) + c.sizeChange << " " << upper << "\n";
    }
    const std::string failure = install();
    if (c.expected.empty()) {
      EXPECT_EQ(failure, "");
      EXPECT_EQ(store().findModel(Locale("en-US")), path("store/model/en-us"));
      EXPECT_TRUE(readFile(path("store/model/en-us/en-us/means")).ends_with("en-us/means"));
    } else {
      EXPECT_NE(failure.find(c.expected), std::string::npos) << failure;
      EXPECT_EQ(failure.find(" from " + url + " ") == std::string::npos, c.source.empty());
      EXPECT_EQ(store().findModel(Locale("en-US")), std::nullopt);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(path("store/model")), fs::directory_iterator()),
              1)
        << "a download's temporary files are left";
    EXPECT_EQ(readFile(victim), "secret");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
  }
}

}  // namespace
}  // namespace dictate
