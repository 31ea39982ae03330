#include "platform/linux/models/model_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "output/output.h"
#include "platform/error.h"
#include "platform/linux/models/kept_files.h"
#include "platform/linux/models/model_download.h"

namespace dictate {

namespace fs = std::filesystem;

namespace {

constexpr const char* kProgramFolder = "quillmarsh-dictate";
constexpr const char* kSupportedLocale = "en-US";
constexpr const char* kModelFolder = "en-us";
constexpr const char* kDebianPackage = "pocketsphinx-en-us";
// Thousands of locales; a larger file is not a list of ours.
constexpr size_t kMaxReservationsFile = 64 * 1024;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

fs::path homeDirectory() {
  if (auto home = environment("HOME"); !home.empty()) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

// A reservation line holds one locale identifier: letters and digits in
// subtags joined by '-' or '_'. Anything else is not ours to interpret.
bool isLocaleIdentifier(const std::string& line) {
  if (line.empty() || line.size() > 35) return false;
  if (!std::isalpha(static_cast<unsigned char>(line.front()))) return false;
  return line.find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") ==
         std::string::npos;
}

std::vector<std::string> parseReservations(std::istream& in) {
  std::vector<std::string> locales;
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (!isLocaleIdentifier(line)) continue;
    std::string id = Locale(line).bcp47Identifier();
    if (std::find(locales.begin(), locales.end(), id) == locales.end()) locales.push_back(id);
  }
  return locales;
}

Error storeError(const std::string& what, const fs::path& where, int err) {
  return Error(kAssetsErrorDomain, kAssetStoreFailed,
               "could not " + what + " " + where.string() + ": " + std::strerror(err));
}

// Holds an exclusive lock on a file for the life of the object. Only a
// regular file is locked: anything else where it belongs is not ours.
class FileLock {
 public:
  explicit FileLock(const fs::path& file)
      : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0644)) {
    struct stat st {};
    if (fd_ < 0) throw storeError("open", file, errno);
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd_);
      throw storeError("lock", file, EINVAL);
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int err = errno;
        ::close(fd_);
        throw storeError("lock", file, err);
      }
    }
  }
  ~FileLock() { ::close(fd_); }  // closing releases the lock
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

// The saved reservations; an odd file in their place counts as none.
std::vector<std::string> readSavedReservations(const fs::path& file) {
  std::istringstream in(readKeptFile(file, kMaxReservationsFile).value_or(""));
  return parseReservations(in);
}

// Installs the model for one locale when its request is carried out.
class ModelInstallationRequest : public AssetInstallationRequest {
 public:
  ModelInstallationRequest(Locale locale, const ModelStore& store)
      : locale_(std::move(locale)), store_(store) {}

  Task<void> downloadAndInstall() override {
    auto entry = findCatalogEntry(store_.catalogFiles(), locale_);
    if (!entry) {
      throw Error(
          kAssetsErrorDomain, kAssetNoSource,
          "the speech model for " + locale_.bcp47Identifier() +
              " is not installed and no download source is known; install the Debian package " +
              kDebianPackage);
    }
    // Named, not a temporary: GCC 12 mishandles a capturing lambda that is
    // a temporary inside a co_await expression.
    auto install = [entry = *entry, target = store_.userModelDir(locale_)] {
      installModel(entry, target);
    };
    co_await offload(std::move(install));
  }

 private:
  Locale locale_;
  const ModelStore& store_;
};

}  // namespace

ModelStoreLocations ModelStoreLocations::fromEnvironment() {
  ModelStoreLocations locations;
  fs::path dataHome = environment("XDG_DATA_HOME");
  if (dataHome.empty() || dataHome.is_relative()) dataHome = homeDirectory() / ".local" / "share";
  locations.userStore = dataHome / kProgramFolder;
  std::string dirs = environment("XDG_DATA_DIRS");
  if (dirs.empty()) dirs = "/usr/local/share:/usr/share";
  std::istringstream list(dirs);
  std::string dir;
  while (std::getline(list, dir, ':')) {
    if (!dir.empty() && fs::path(dir).is_absolute()) locations.dataDirs.emplace_back(dir);
  }
  return locations;
}

std::vector<std::string> missingModelFiles(const fs::path& modelDir) {
  static const std::string kAcoustic = std::string(kAcousticModelFolder) + "/";
  static const std::string kRequired[] = {
      kAcoustic + "mdef",        kAcoustic + "means",     kAcoustic + "variances",
      kAcoustic + "transition_matrices", kAcoustic + "feat.params", kAcoustic + "noisedict",
      kLanguageModelFile,        kDictionaryFile};
  std::vector<std::string> missing;
  auto present = [&](const std::string& name) {
    std::error_code ec;
    return fs::is_regular_file(modelDir / name, ec) && fs::file_size(modelDir / name, ec) > 0;
  };
  for (const std::string& name : kRequired) {
    if (!present(name)) missing.emplace_back(name);
  }
  // Mixture weights come in one of two forms.
  if (!present(kAcoustic + "sendump") && !present(kAcoustic + "mixture_weights"))
    missing.emplace_back(kAcoustic + "sendump");
  return missing;
}

ModelStore::ModelStore(ModelStoreLocations locations) : locations_(std::move(locations)) {}

bool ModelStore::isSupported(const Locale& locale) {
  return locale.bcp47Identifier() == kSupportedLocale;
}

std::string ModelStore::unsupportedLocaleDescription(const Locale& locale) {
  return "no speech model exists for " + locale.bcp47Identifier() + "; only " + kSupportedLocale +
         " is supported";
}

std::optional<fs::path> ModelStore::findModel(const Locale& locale) const {
  if (!isSupported(locale)) return std::nullopt;
  std::vector<fs::path> candidates = {userModelDir(locale)};
  for (const auto& dir : locations_.dataDirs) {
    candidates.push_back(dir / kProgramFolder / "model" / kModelFolder);
    candidates.push_back(dir / "pocketsphinx" / "model" / kModelFolder);
  }
  for (const auto& candidate : candidates) {
    if (missingModelFiles(candidate).empty()) return candidate;
  }
  return std::nullopt;
}

fs::path ModelStore::userModelDir(const Locale&) const {
  return locations_.userStore / "model" / kModelFolder;
}

std::vector<fs::path> ModelStore::catalogFiles() const {
  std::vector<fs::path> files;
  for (const auto& dir : locations_.dataDirs) {
    fs::path file = dir / kProgramFolder / "model-catalog.txt";
    std::error_code ec;
    if (fs::is_regular_file(file, ec)) files.push_back(file);
  }
  return files;
}

fs::path ModelStore::reservationsFile() const { return locations_.userStore / "reserved-locales"; }

std::vector<Locale> ModelStore::readReservations() const {
  std::vector<std::string> ids = readSavedReservations(reservationsFile());
  {
    std::lock_guard<std::mutex> lock(heldMutex_);
    for (const auto& id : held_) {
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
  }
  std::vector<Locale> locales;
  for (auto& id : ids) locales.emplace_back(std::move(id));
  return locales;
}

bool ModelStore::holdForThisProcess(const Locale& locale) {
  const std::string id = locale.bcp47Identifier();
  std::lock_guard<std::mutex> lock(heldMutex_);
  if (std::find(held_.begin(), held_.end(), id) != held_.end()) return false;
  held_.push_back(id);
  return true;
}

bool ModelStore::addReservation(const Locale& locale) const {
  std::error_code ec;
  fs::create_directories(locations_.userStore, ec);
  if (ec) throw storeError("create", locations_.userStore, ec.value());
  FileLock lock(locations_.userStore / "reserved-locales.lock");
  std::vector<std::string> ids = readSavedReservations(reservationsFile());
  const std::string id = locale.bcp47Identifier();
  if (std::find(ids.begin(), ids.end(), id) != ids.end()) return false;
  ids.push_back(id);
  std::string text;
  for (const auto& line : ids) text += line + "\n";
  // Readers see the old list or the new one, never a part.
  if (auto error = replaceKeptFile(reservationsFile(), text))
    throw storeError("write", reservationsFile(), error.value());
  return true;
}

Task<std::unique_ptr<AssetInstallationRequest>> ModelStore::assetInstallationRequest(
    const SpeechModules& modules) {
  for (const auto& module : modules) {
    const Locale& locale = module->configuration().locale;
    if (!isSupported(locale)) {
      throw Error(kAssetsErrorDomain, kAssetUnsupportedLocale,
                  unsupportedLocaleDescription(locale));
    }
    if (!findModel(locale)) co_return std::make_unique<ModelInstallationRequest>(locale, *this);
  }
  co_return nullptr;
}

Task<std::vector<Locale>> ModelStore::reservedLocales() { co_return readReservations(); }

// Taking the lock can wait for another process, so it happens off the loop.
Task<bool> ModelStore::reserve(const Locale& locale) {
  auto add = [this, locale] { return addReservation(locale); };
  std::string unsaved;
  try {
    co_return co_await offload(std::move(add));
  } catch (const Error& error) {
    if (error.domain() != kAssetsErrorDomain || error.code() != kAssetStoreFailed) throw;
    unsaved = error.localizedDescription();
  }
  // The reservation only records that this program uses the locale; the
  // model itself is in place, so dictation goes on. A later start finds the
  // locale held and asks no more, so this is said once per process.
  const bool added = holdForThisProcess(locale);
  writeDiagnostic("the speech model reservation for " + locale.bcp47Identifier() +
                  " is kept for this run only: " + unsaved);
  co_return added;
}

}  // namespace dictate
