// The model store: where models are found, reservations shared between
// processes, the download catalog, and model installation from a local HTTP
// server or a file, including downloads that fail.
#include "platform/linux/model_store.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "platform/error.h"
#include "platform/linux/model_download.h"
#include "platform/linux/pocketsphinx_service.h"
#include "tests/support/speech_audio.h"

namespace dictate {
namespace {

namespace fs = std::filesystem;
using speechaudio::ScratchDir;

void writeFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A model folder whose files have the right names and some content.
void makeFakeModel(const fs::path& dir) {
  for (const char* name : {"en-us/mdef", "en-us/means", "en-us/variances",
                           "en-us/transition_matrices", "en-us/feat.params", "en-us/noisedict",
                           "en-us/sendump", "en-us.lm.bin", "cmudict-en-us.dict"}) {
    writeFile(dir / name, std::string("content of ") + name);
  }
}

std::shared_ptr<SpeechTranscriber> transcriberFor(const std::string& locale) {
  TranscriberConfiguration config;
  config.locale = Locale(locale);
  return std::make_shared<PocketSphinxTranscriber>(config);
}

// Runs `task` on a loop of its own; returns the description of what it
// threw, or "" when it succeeded.
template <typename T>
std::string outcomeOf(Task<T> task, T* result = nullptr) {
  MainLoop loop;
  bool done = false;
  std::string failure;
  spawn(
      [](Task<T> t, T* out, bool& finished) -> Task<void> {
        T value = co_await std::move(t);
        if (out) *out = std::move(value);
        finished = true;
      }(std::move(task), result, done),
      [&](std::exception_ptr e) {
        failure = describeError(e);
        done = true;
      });
  EXPECT_TRUE(loop.runUntil([&] { return done; }, std::chrono::seconds(20)));
  return failure;
}

class ModelStoreTest : public ::testing::Test {
 protected:
  fs::path userStore() const { return scratch_.path() / "home" / "quillmarsh-dictate"; }
  fs::path systemDir(int i) const { return scratch_.path() / ("system" + std::to_string(i)); }
  ModelStore makeStore() const { return ModelStore({userStore(), {systemDir(1), systemDir(2)}}); }

  ScratchDir scratch_;
};

TEST_F(ModelStoreTest, LocationsFollowTheXdgVariables) {
  struct Case {
    const char* dataHome;
    const char* dataDirs;
    const char* expectedStore;
    std::vector<fs::path> expectedDirs;
  };
  const Case cases[] = {
      {nullptr,
       nullptr,
       "/home/u/.local/share/quillmarsh-dictate",
       {"/usr/local/share", "/usr/share"}},
      {"", "", "/home/u/.local/share/quillmarsh-dictate", {"/usr/local/share", "/usr/share"}},
      {"/data", "/a:/b/c", "/data/quillmarsh-dictate", {"/a", "/b/c"}},
      // Relative paths are not valid in these variables and are skipped.
      {"relative", "rel:/a::", "/home/u/.local/share/quillmarsh-dictate", {"/a"}},
  };
  const char* names[] = {"HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* value = std::getenv(name);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
  }
  auto set = [](const char* name, const char* value) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  };
  for (const auto& c : cases) {
    setenv("HOME", "/home/u", 1);
    set("XDG_DATA_HOME", c.dataHome);
    set("XDG_DATA_DIRS", c.dataDirs);
    auto locations = ModelStoreLocations::fromEnvironment();
    EXPECT_EQ(locations.userStore, c.expectedStore) << (c.dataHome ? c.dataHome : "(unset)");
    EXPECT_EQ(locations.dataDirs, c.expectedDirs) << (c.dataDirs ? c.dataDirs : "(unset)");
  }
  for (size_t i = 0; i < saved.size(); ++i) set(names[i], saved[i] ? saved[i]->c_str() : nullptr);
}

TEST_F(ModelStoreTest, ModelIsFoundInTheUserStoreFirstThenInSystemFolders) {
  struct Case {
    const char* name;
    std::vector<fs::path> complete;    // relative to the scratch folder
    std::vector<fs::path> incomplete;  // complete but for one file
    std::optional<fs::path> expected;
  };
  const fs::path user = "home/quillmarsh-dictate/model/en-us";
  const fs::path debian = "system2/pocketsphinx/model/en-us";
  const fs::path ours = "system1/quillmarsh-dictate/model/en-us";
  const Case cases[] = {
      {"user store", {user, debian}, {}, user},
      {"Debian's package", {debian}, {}, debian},
      {"system folders in order", {debian, ours}, {}, ours},
      {"incomplete user copy", {debian}, {user}, debian},
      {"missing", {}, {user}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(scratch_.path());
    fs::create_directories(scratch_.path());
    for (const auto& dir : c.complete) makeFakeModel(scratch_.path() / dir);
    for (const auto& dir : c.incomplete) {
      makeFakeModel(scratch_.path() / dir);
      fs::remove(scratch_.path() / dir / "en-us" / "means");
    }
    auto store = makeStore();
    auto found = store.findModel(Locale("en_US"));
    EXPECT_EQ(found,
              c.expected ? std::optional<fs::path>(scratch_.path() / *c.expected) : std::nullopt);
    std::unique_ptr<AssetInstallationRequest> request;
    EXPECT_EQ(outcomeOf(store.assetInstallationRequest({transcriberFor("en-US")}), &request), "");
    EXPECT_EQ(request != nullptr, !c.expected);
  }
}

TEST_F(ModelStoreTest, LocaleWithoutAModelIsRefusedAtOnce) {
  auto store = makeStore();
  std::unique_ptr<AssetInstallationRequest> request;
  EXPECT_EQ(outcomeOf(store.assetInstallationRequest({transcriberFor("fr-FR")}), &request),
            "no speech model exists for fr-FR; only en-US is supported");
  EXPECT_EQ(outcomeOf(store.assetInstallationRequest({transcriberFor("fr-FR")}), &request),
            ModelStore::unsupportedLocaleDescription(Locale("fr_fr")));
}

TEST_F(ModelStoreTest, ReservationsRoundTripAndUnreadableLinesAreIgnored) {
  auto store = makeStore();
  EXPECT_TRUE(store.readReservations().empty());
  bool added = false;
  EXPECT_EQ(outcomeOf(store.reserve(Locale("en-US")), &added), "");
  EXPECT_TRUE(added);
  EXPECT_EQ(outcomeOf(store.reserve(Locale("en_us")), &added), "");
  EXPECT_FALSE(added) << "the same locale written differently";
  writeFile(userStore() / "reserved-locales", readFile(userStore() / "reserved-locales") +
                                                  "\x01\xff garbage\n\n# note\nde-DE\r\nen-US\n");
  std::vector<Locale> reserved;
  EXPECT_EQ(outcomeOf(store.reservedLocales(), &reserved), "");
  ASSERT_EQ(reserved.size(), 2u);
  EXPECT_EQ(reserved[0].identifier(), "en-US");
  EXPECT_EQ(reserved[1].identifier(), "de-DE");
  EXPECT_TRUE(store.addReservation(Locale("it-IT")));
  EXPECT_EQ(readFile(userStore() / "reserved-locales"), "en-US\nde-DE\nit-IT\n");
}

TEST_F(ModelStoreTest, TwoProcessesReservingAtOnceLoseNothing) {
  constexpr int kPerProcess = 25;
  const char* regions[] = {"AA", "BB"};
  std::vector<pid_t> children;
  for (const char* region : regions) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      auto store = makeStore();
      for (int i = 0; i < kPerProcess; ++i) {
        std::string language = {static_cast<char>('a' + i / 26), static_cast<char>('a' + i % 26)};
        store.addReservation(Locale(language + "-" + region));
      }
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(makeStore().readReservations().size(), 2u * kPerProcess);
  for (const auto& entry : fs::directory_iterator(userStore())) {
    EXPECT_TRUE(entry.path().filename() == "reserved-locales" ||
                entry.path().filename() == "reserved-locales.lock")
        << "left behind: " << entry.path();
  }
}

TEST(ModelCatalogTest, OnlyWellFormedEntriesAreRead) {
  const std::string sha(64, 'a');
  std::istringstream catalog(
      "# comment\n"
      "\n"
      "en-US https://example.org/a.tar.gz 123 " +
      sha + "\n" + "en_us file:///tmp/b.zip 9 " + std::string(64, 'B') + "\n" +
      "en-US https://example.org/c.tar.gz 12x " + sha + "\n" +          // size not a number
      "en-US https://example.org/d.tar.gz 1 " + sha.substr(1) + "\n" +  // short checksum
      "en-US https://example.org/e.tar.gz 1 " + sha + " extra\n" +
      "#en-US https://example.org/f.tar.gz 1 " + sha + "\n" +
      "en-US https://example.org/g.tar.gz\n");
  auto entries = parseCatalog(catalog);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].url, "https://example.org/a.tar.gz");
  EXPECT_EQ(entries[0].size, 123u);
  EXPECT_EQ(entries[1].locale, "en-US");
  EXPECT_EQ(entries[1].sha256, std::string(64, 'b'));
}

}  // namespace
}  // namespace dictate
