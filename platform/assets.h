// The speech model store: whether the model that a transcriber needs is
// installed, how to install it, and which locales this process has reserved.
// Called on the main loop; slow work happens off it.
#pragma once

#include <memory>
#include <vector>

#include "platform/speech.h"
#include "runtime/task.h"

namespace dictate {

class AssetInstallationRequest {
 public:
  virtual ~AssetInstallationRequest() = default;
  // Returns once the model is installed; throws an Error otherwise.
  virtual Task<void> downloadAndInstall() = 0;
};

class AssetInventory {
 public:
  virtual ~AssetInventory() = default;
  // A request when assets for `modules` are missing, else nullptr.
  virtual Task<std::unique_ptr<AssetInstallationRequest>> assetInstallationRequest(
      const SpeechModules& modules) = 0;
  virtual Task<std::vector<Locale>> reservedLocales() = 0;
  virtual Task<bool> reserve(const Locale& locale) = 0;
};

}  // namespace dictate
