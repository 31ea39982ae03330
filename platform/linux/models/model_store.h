// The speech model store on Linux, and the asset inventory built on it.
//
// A model counts as installed when a complete copy is found in the user's
// store ($XDG_DATA_HOME/quillmarsh-dictate/model/<name>) or in a system data
// folder ($XDG_DATA_DIRS, where Debian's pocketsphinx-en-us package puts
// pocketsphinx/model/en-us). Models missing from both are downloaded into
// the user's store from a source listed in the catalog installed with the
// program (see model_download.h). Reserved locales are kept in the user's
// store, one BCP 47 identifier a line, rewritten atomically under a file
// lock so that processes reserving at the same time lose nothing. Where the
// list cannot be saved (a read-only or sandboxed home), a reservation holds
// for the life of the process instead: an installed model is not made
// unusable by a folder we cannot write.
//
// The platform owns one ModelStore for the life of the process. The
// AssetInventory operations are called on the main loop and run file work
// that may block (locks, downloads) on threads of their own; the other
// members are plain synchronous calls. The only mutable state, the
// reservations held for the process, is guarded by a mutex.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/assets.h"

namespace dictate {

// Where the store looks, read from the environment once.
struct ModelStoreLocations {
  // The user's store: $XDG_DATA_HOME (default ~/.local/share)/quillmarsh-dictate.
  std::filesystem::path userStore;
  // $XDG_DATA_DIRS (default /usr/local/share:/usr/share), in order.
  std::vector<std::filesystem::path> dataDirs;

  static ModelStoreLocations fromEnvironment();
};

// A model folder holds the acoustic model in a folder of its own, and the
// language model and the pronouncing dictionary beside it.
inline constexpr const char* kAcousticModelFolder = "en-us";
inline constexpr const char* kLanguageModelFile = "en-us.lm.bin";
inline constexpr const char* kDictionaryFile = "cmudict-en-us.dict";

// The files of a model folder that are absent or empty, as paths relative to
// `modelDir`; empty when the model is complete.
std::vector<std::string> missingModelFiles(const std::filesystem::path& modelDir);

class ModelStore : public AssetInventory {
 public:
  explicit ModelStore(ModelStoreLocations locations);

  // True for the locales that a model exists for (en-US).
  static bool isSupported(const Locale& locale);
  // The description of the error for an unsupported locale.
  static std::string unsupportedLocaleDescription(const Locale& locale);

  // A complete installed model for `locale`: the user's store first, then
  // the system data folders in order.
  std::optional<std::filesystem::path> findModel(const Locale& locale) const;
  // Where a downloaded model for `locale` is installed.
  std::filesystem::path userModelDir(const Locale& locale) const;
  // The catalog files that exist, in the order of the data folders.
  std::vector<std::filesystem::path> catalogFiles() const;

  // The reserved locales, saved ones first, then those held for this
  // process; lines that are not locale identifiers are ignored.
  std::vector<Locale> readReservations() const;
  // Adds `locale` unless reserved already; true when it was added. Blocks
  // while another process updates the list. Throws an Error on I/O failure.
  bool addReservation(const Locale& locale) const;

  // AssetInventory. A locale without a model is refused at once with an Error.
  Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const SpeechModules& modules) override;
  Task<std::vector<Locale>> reservedLocales() override;
  // A reservation that cannot be saved is held for this process, with one
  // diagnostic; the call then succeeds.
  Task<bool> reserve(const Locale& locale) override;

  const ModelStoreLocations& locations() const { return locations_; }

 private:
  std::filesystem::path reservationsFile() const;
  // Holds `locale` for this process; false when it was held already.
  bool holdForThisProcess(const Locale& locale);

  const ModelStoreLocations locations_;
  mutable std::mutex heldMutex_;
  std::vector<std::string> held_;  // BCP 47 identifiers; any thread, under heldMutex_
};

// The error domain of the model store; codes below.
inline constexpr const char* kAssetsErrorDomain = "assets";
enum AssetsErrorCode : int {
  kAssetUnsupportedLocale = 1,
  kAssetNoSource = 2,
  kAssetDownloadFailed = 3,
  kAssetChecksumMismatch = 4,
  kAssetUnpackFailed = 5,
  kAssetStoreFailed = 6,
};

}  // namespace dictate
