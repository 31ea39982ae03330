// Installing a model through the asset inventory from a catalog entry: over
// HTTP from a server thread on 127.0.0.1, or from a file; and the ways a
// download fails, each leaving no model and no temporary file behind, nor
// anything written outside the store.
#include "platform/linux/model_download.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "platform/error.h"
#include "platform/linux/model_store.h"
#include "platform/linux/pocketsphinx_service.h"
#include "tests/support/speech_audio.h"

namespace dictate {
namespace {

namespace fs = std::filesystem;
using speechaudio::ScratchDir;

// Serves one canned response to every connection: the header announces
// `declaredLength` bytes, and the first `sentLength` bytes of `body` follow
// before the connection closes.
class TinyHttpServer {
 public:
  struct Response {
    int status = 200;
    std::string body;
    size_t declaredLength = 0;
    size_t sentLength = 0;
  };

  explicit TinyHttpServer(Response response) : response_(std::move(response)) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TinyHttpServer() {
    shutdown(listener_, SHUT_RDWR);  // wakes accept()
    thread_.join();
    close(listener_);
  }

  std::string url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  void serve() {
    for (;;) {
      int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      std::string request;
      char chunk[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(client, chunk, sizeof chunk);
        if (n <= 0) break;
        request.append(chunk, static_cast<size_t>(n));
      }
      std::string reply = "HTTP/1.1 " + std::to_string(response_.status) +
                          (response_.status == 200 ? " OK" : " Error") +
                          "\r\nContent-Length: " + std::to_string(response_.declaredLength) +
                          "\r\nConnection: close\r\n\r\n" +
                          response_.body.substr(0, response_.sentLength);
      for (size_t sent = 0; sent < reply.size();) {
        ssize_t n = write(client, reply.data() + sent, reply.size() - sent);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      close(client);
    }
  }

  const Response response_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

constexpr const char* kModelFiles[] = {
    "en-us/mdef",        "en-us/means",     "en-us/variances", "en-us/transition_matrices",
    "en-us/feat.params", "en-us/noisedict", "en-us/sendump",   "en-us.lm.bin",
    "cmudict-en-us.dict"};

std::string readBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ModelDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The model's files, packed once with a top-level folder and once
    // without, as a model archive may come either way.
    const fs::path source = scratch_.path() / "source" / "en-us-model";
    for (const char* name : kModelFiles) {
      fs::create_directories((source / name).parent_path());
      std::ofstream(source / name) << "content of " << name;
    }
    speechaudio::run("tar -czf " + archive_.string() + " -C " + source.parent_path().string() +
                     " en-us-model");
    speechaudio::run("tar -cf " + flatArchive_.string() + " -C " + source.string() + " .");
    fs::remove(source / "en-us" / "mdef");
    speechaudio::run("tar -czf " + incompleteArchive_.string() + " -C " + source.string() + " .");
  }

  fs::path userStore() const { return scratch_.path() / "store"; }
  fs::path modelDir() const { return userStore() / "model" / "en-us"; }

  void writeCatalog(const std::string& url, uint64_t size, const std::string& sha) {
    fs::create_directories(dataDir() / "quillmarsh-dictate");
    std::ofstream(dataDir() / "quillmarsh-dictate" / "model-catalog.txt")
        << "# test catalog\n"
        << "en-US " << url << " " << size << " " << sha << "\n";
  }
  void writeCatalogFor(const std::string& url, const fs::path& archive) {
    writeCatalog(url, fs::file_size(archive), sha256OfFile(archive));
  }
  fs::path dataDir() const { return scratch_.path() / "data"; }

  // Installs through the inventory as the engine does; "" on success.
  std::string install() {
    ModelStore store({userStore(), {dataDir()}});
    MainLoop loop;
    bool done = false;
    std::string failure;
    spawn(
        [](ModelStore& s, bool& finished) -> Task<void> {
          SpeechModules modules{
              std::make_shared<PocketSphinxTranscriber>(TranscriberConfiguration{})};
          auto request = co_await s.assetInstallationRequest(modules);
          if (request) co_await request->downloadAndInstall();
          finished = true;
        }(store, done),
        [&](std::exception_ptr e) {
          failure = describeError(e);
          done = true;
        });
    EXPECT_TRUE(loop.runUntil([&] { return done; }, std::chrono::seconds(20)));
    installedAt = store.findModel(Locale("en-US"));
    return failure;
  }

  // Nothing but the installed model (if any) is left in the store.
  void expectNoLeftovers() {
    if (!fs::exists(userStore() / "model")) return;
    for (const auto& entry : fs::directory_iterator(userStore() / "model")) {
      EXPECT_EQ(entry.path(), modelDir()) << "left behind";
    }
  }

  ScratchDir scratch_;
  const fs::path archive_ = scratch_.path() / "model.tar.gz";
  const fs::path flatArchive_ = scratch_.path() / "flat.tar";
  const fs::path incompleteArchive_ = scratch_.path() / "incomplete.tar.gz";
  std::optional<fs::path> installedAt;
};

TEST_F(ModelDownloadTest, ModelFromLocalHttpServerIsInstalledInTheUserStore) {
  const std::string body = readBytes(archive_);
  TinyHttpServer server({200, body, body.size(), body.size()});
  writeCatalogFor(server.url("/en-us.tar.gz"), archive_);

  EXPECT_EQ(install(), "");
  EXPECT_EQ(installedAt, modelDir());
  EXPECT_EQ(readBytes(modelDir() / "en-us" / "mdef"), "content of en-us/mdef");
  expectNoLeftovers();
}

TEST_F(ModelDownloadTest, ArchiveWithoutTopLevelFolderFromFileUrlIsInstalled) {
  writeCatalogFor("file://" + flatArchive_.string(), flatArchive_);
  EXPECT_EQ(install(), "");
  EXPECT_EQ(installedAt, modelDir());
  expectNoLeftovers();
}

TEST_F(ModelDownloadTest, FailedInstallationsLeaveNoModelAndSayWhy) {
  const std::string body = readBytes(archive_);
  const std::string sha = sha256OfFile(archive_);
  struct Case {
    const char* name;
    TinyHttpServer::Response response;
    uint64_t catalogSize;
    std::string catalogSha;
    std::string expected;
  };
  const Case cases[] = {
      {"cut short",
       {200, body, body.size(), body.size() / 2},
       body.size(),
       sha,
       "failed: transfer closed with " + std::to_string(body.size() - body.size() / 2) +
           " bytes remaining"},
      {"shorter than the catalog says",
       {200, body, body.size(), body.size()},
       body.size() + 10,
       sha,
       "was cut short: received " + std::to_string(body.size()) + " of " +
           std::to_string(body.size() + 10) + " bytes"},
      {"longer than the catalog says",
       {200, body, body.size(), body.size()},
       body.size() - 10,
       sha,
       "is larger than the expected"},
      {"wrong checksum",
       {200, body, body.size(), body.size()},
       body.size(),
       std::string(64, '0'),
       "is corrupt: its SHA-256 checksum does not match"},
      {"not found",
       {404, "", 0, 0},
       body.size(),
       sha,
       "failed: The requested URL returned error: 404"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TinyHttpServer server(c.response);
    writeCatalog(server.url("/en-us.tar.gz"), c.catalogSize, c.catalogSha);
    std::string failure = install();
    EXPECT_NE(failure.find(c.expected), std::string::npos) << failure;
    EXPECT_EQ(failure.rfind("model download from " + server.url("/en-us.tar.gz"), 0), 0u)
        << failure;
    EXPECT_EQ(installedAt, std::nullopt);
    expectNoLeftovers();
  }
}

TEST_F(ModelDownloadTest, ArchiveWithoutACompleteModelIsRefused) {
  writeCatalogFor("file://" + incompleteArchive_.string(), incompleteArchive_);
  EXPECT_EQ(install(), "model archive from file://" + incompleteArchive_.string() +
                           " does not hold a complete speech model");
  EXPECT_EQ(installedAt, std::nullopt);
  expectNoLeftovers();
}

// Archives with the whole model and one entry that would write outside the
// store, made with Python's tarfile: libarchive's and tar's writers cannot
// make a hard link that carries data.
TEST_F(ModelDownloadTest, HostileArchivesAreRefusedAndWriteNothingOutsideTheStore) {
  const fs::path outside = scratch_.path() / "outside";
  const fs::path victim = outside / "victim";
  const std::string out = outside.string();
  struct Case {
    const char* name;
    std::string entries;  // Python calls of add(name, type, data, link)
    std::string expected;
  };
  const Case cases[] = {
      {"hard link with data", "add('m/hl', tarfile.LNKTYPE, b'owned', '" + victim.string() + "')",
       "hard link m/hl"},
      {"symbolic link", "add('m/up', tarfile.SYMTYPE, b'', '" + out + "')\nadd('m/up/planted')",
       "symbolic link m/up"},
      {"absolute path", "add('" + out + "/planted')", "unsafe path " + out + "/planted"},
      {"dot-dot", "add('m/../../../outside/planted')", "unsafe path m/../../../outside/planted"},
      {"device", "add('m/null', tarfile.CHRTYPE)", "special file m/null"},
      {"fifo", "add('m/fifo', tarfile.FIFOTYPE)", "special file m/fifo"},
  };
  std::ofstream script(scratch_.path() / "make.py");
  script << "import io, tarfile\n"
         << "def add(name, type=tarfile.REGTYPE, data=b'owned', link=''):\n"
         << "    i = tarfile.TarInfo(name); i.type = type; i.linkname = link; i.mode = 0o644\n"
         << "    i.size = len(data) if type in (tarfile.REGTYPE, tarfile.LNKTYPE) else 0\n"
         // An extended header makes it a pax archive, in which a hard link
         // carries data.
         << "    i.pax_headers = {'comment': 'pax'}\n"
         << "    t.addfile(i, io.BytesIO(data))\n";
  auto archive = [&](size_t i) {
    return scratch_.path() / ("hostile" + std::to_string(i) + ".tar");
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    script << "t = tarfile.open('" << archive(i).string() << "', 'w', format=tarfile.PAX_FORMAT)\n";
    for (const char* name : kModelFiles) script << "add('m/" << name << "')\n";
    script << cases[i].entries << "\nt.close()\n";
  }
  script.close();
  speechaudio::run("python3 " + (scratch_.path() / "make.py").string());
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    fs::remove_all(userStore());
    fs::remove_all(outside);
    fs::create_directories(outside);
    std::ofstream(victim) << "secret";
    fs::permissions(victim, fs::perms::owner_read | fs::perms::owner_write);
    const std::string url = "file://" + archive(i).string();
    writeCatalogFor(url, archive(i));
    EXPECT_EQ(install(),
              "model archive from " + url + " could not be unpacked: " + cases[i].expected);
    EXPECT_EQ(installedAt, std::nullopt);
    expectNoLeftovers();
    EXPECT_EQ(readBytes(victim), "secret");
    EXPECT_EQ(fs::status(victim).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
  }
}

TEST_F(ModelDownloadTest, WithoutACatalogEntryTheFailureNamesTheDebianPackage) {
  EXPECT_EQ(install(),
            "the speech model for en-US is not installed and no download source is known; "
            "install the Debian package pocketsphinx-en-us");
  EXPECT_FALSE(fs::exists(userStore() / "model"));
}

}  // namespace
}  // namespace dictate
