#include "app/platform_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <string>
#include <utility>

#include "platform/error.h"

namespace dictate {

std::string executableFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "./";
  std::string folder(path, static_cast<size_t>(n));
  return folder.substr(0, folder.rfind('/') + 1);
}

namespace {

// Where the module is, relative to the executable's folder: beside it in the
// build tree, in the program's private folder once installed (the build
// gives the path from the installed executables' folder to it). Both are
// found from the executable itself, whatever the prefix.
std::string modulePath() {
  const std::string folder = executableFolder();
  std::string beside = folder + kPlatformModuleName;
  if (::access(beside.c_str(), F_OK) == 0) return beside;
  return folder + kPrivateFolderFromProgram + "/" + kPlatformModuleName;
}

// Loads the module once, from whichever thread asks first, and keeps it for
// the life of the process. A module that cannot be loaded makes every use
// fail with the loader's description.
class ModuleLoader {
 public:
  Platform& platform() {
    if (Platform* loaded = tryPlatform()) return *loaded;
    throw Error("platform", 1, failure_);
  }
  // The services, or nullptr when the module cannot be loaded.
  Platform* tryPlatform() {
    std::call_once(once_, [this] { load(); });
    return platform_.get();
  }
  bool isLoaded() const { return loaded_.load(); }

 private:
  void load() {
    const std::string path = modulePath();
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      const char* why = ::dlerror();
      failure_ = std::string("cannot load the audio and speech services: ") + (why ? why : path);
      return;
    }
    using Entry = Platform* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(module, kPlatformModuleEntry));
    if (!entry) {
      failure_ = "cannot load the audio and speech services: " + path + " has no entry point";
      return;
    }
    // The module stays loaded until the process ends, so that no code of it
    // can run after it was unmapped.
    platform_.reset(entry());
    loaded_ = true;
  }

  std::once_flag once_;
  std::unique_ptr<Platform> platform_;  // written once under once_
  std::string failure_;                 // written once under once_
  std::atomic<bool> loaded_{false};
};

// An audio engine that makes the real one on first use. Until then it does
// not run, so asking whether it runs or stopping it loads nothing.
class LazyAudioEngine : public AudioEngine {
 public:
  explicit LazyAudioEngine(ModuleLoader& loader) : loader_(loader) {}
  AudioInputNode& inputNode() override { return real().inputNode(); }
  void prepare() override { real().prepare(); }
  void start() override { real().start(); }
  bool isRunning() override { return real_ && real_->isRunning(); }
  void stop() override {
    if (real_) real_->stop();
  }

 private:
  AudioEngine& real() {
    if (!real_) real_ = loader_.platform().makeAudioEngine();
    return *real_;
  }
  ModuleLoader& loader_;
  std::unique_ptr<AudioEngine> real_;  // main loop only
};

// Called on the capture thread, after the audio engine has loaded the module.
class LazyConverters : public AudioConverterFactory {
 public:
  explicit LazyConverters(ModuleLoader& loader) : loader_(loader) {}
  std::unique_ptr<AudioConverter> make(const AudioFormat& from, const AudioFormat& to) override {
    try {
      return loader_.platform().audioConverters()->make(from, to);
    } catch (const Error&) {
      return nullptr;
    }
  }

 private:
  ModuleLoader& loader_;
};

// Without the module, a transcriber and an analyzer are still made: the
// engine stores both before any step that can fail, and its stop sequence
// finds the half-built dictation by its analyzer, so that a failed start
// ends in "stopped". The failure itself comes from the first service that
// has work to do (the model check, in practice).
class UnavailableTranscriber : public SpeechTranscriber {
 public:
  explicit UnavailableTranscriber(TranscriberConfiguration configuration)
      : configuration_(std::move(configuration)) {}
  const TranscriberConfiguration& configuration() const override { return configuration_; }
  std::shared_ptr<ResultChannel> results() override { return results_; }

 private:
  const TranscriberConfiguration configuration_;
  const std::shared_ptr<ResultChannel> results_ = std::make_shared<ResultChannel>();
};

class UnavailableAnalyzer : public SpeechAnalyzer {
 public:
  explicit UnavailableAnalyzer(ModuleLoader& loader) : loader_(loader) {}
  Task<void> start(AnalyzerInputStream::Sequence) override {
    loader_.platform();  // throws the loader's description
    co_return;
  }
  Task<void> finalizeAndFinishThroughEndOfInput() override { co_return; }

 private:
  ModuleLoader& loader_;
};

class LazyLinuxPlatform : public Platform, SpeechService, AssetInventory, ConsentService {
 public:
  std::unique_ptr<AudioEngine> makeAudioEngine() override {
    return std::make_unique<LazyAudioEngine>(loader_);
  }
  std::shared_ptr<AudioConverterFactory> audioConverters() override { return converters_; }
  SpeechService& speech() override { return *this; }
  AssetInventory& assetInventory() override { return *this; }
  ConsentService& consent() override { return *this; }

 private:
  std::shared_ptr<SpeechTranscriber> makeTranscriber(const TranscriberConfiguration& config) override {
    if (Platform* real = loader_.tryPlatform()) return real->speech().makeTranscriber(config);
    return std::make_shared<UnavailableTranscriber>(config);
  }
  std::shared_ptr<SpeechAnalyzer> makeAnalyzer(const SpeechModules& modules) override {
    if (Platform* real = loader_.tryPlatform()) return real->speech().makeAnalyzer(modules);
    return std::make_shared<UnavailableAnalyzer>(loader_);
  }
  Task<std::optional<AudioFormat>> bestAvailableAudioFormat(const SpeechModules& modules) override {
    return loader_.platform().speech().bestAvailableAudioFormat(modules);
  }
  Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const SpeechModules& modules) override {
    return loader_.platform().assetInventory().assetInstallationRequest(modules);
  }
  Task<std::vector<Locale>> reservedLocales() override {
    return loader_.platform().assetInventory().reservedLocales();
  }
  Task<bool> reserve(const Locale& locale) override {
    return loader_.platform().assetInventory().reserve(locale);
  }
  void requestAccess(MediaType media, std::function<void(bool)> handler) override {
    Platform* real = loader_.tryPlatform();
    // Not a refusal: the first service the start needs reports the failure.
    if (!real) return handler(true);
    real->consent().requestAccess(media, std::move(handler));
  }

  ModuleLoader loader_;
  std::shared_ptr<AudioConverterFactory> converters_ = std::make_shared<LazyConverters>(loader_);
};

}  // namespace

std::unique_ptr<Platform> makeLazyLinuxPlatform() { return std::make_unique<LazyLinuxPlatform>(); }

}  // namespace dictate
