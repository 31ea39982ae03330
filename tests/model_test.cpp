// The speech model check of every start: installation before reservation,
// "downloading" before the download, reservation matched by BCP 47
// identifier, and inventory failures ending the start.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/engine_harness.h"

namespace dictate {
namespace {

using Strings = std::vector<std::string>;

struct ModelCase {
  const char* name;
  bool installed;
  std::vector<Locale> reserved;
  const char* failingStep;  // nullptr: nothing fails
  Strings assetCalls;
  Strings output;  // everything the start writes
};

const Error kInventoryError("assets", 9, "inventory unavailable");

std::vector<ModelCase> modelCases() {
  const std::string failed = startFailedLine("inventory unavailable");
  const Strings request = {"assets.installationRequest"};
  const Strings download = {"assets.installationRequest", "assets.downloadAndInstall"};
  const Strings check = {"assets.installationRequest", "assets.reservedLocales"};
  const Strings reserve = {"assets.installationRequest", "assets.reservedLocales",
                           "assets.reserve(en-US)"};
  const Strings downloadAndReserve = {"assets.installationRequest", "assets.downloadAndInstall",
                                      "assets.reservedLocales", "assets.reserve(en-US)"};
  return {
      {"installed and reserved",
       true,
       {Locale("en-US")},
       nullptr,
       check,
       {kModelReady, kListening}},
      {"missing",
       false,
       {Locale("en-US")},
       nullptr,
       {"assets.installationRequest", "assets.downloadAndInstall", "assets.reservedLocales"},
       {kModelDownloading, kModelReady, kListening}},
      {"installed, other locale reserved",
       true,
       {Locale("fr-FR")},
       nullptr,
       reserve,
       {kModelReady, kListening}},
      {"nothing reserved", true, {}, nullptr, reserve, {kModelReady, kListening}},
      {"missing and not reserved",
       false,
       {},
       nullptr,
       downloadAndReserve,
       {kModelDownloading, kModelReady, kListening}},
      {"reserved with an underscore",
       true,
       {Locale("de-DE"), Locale("en_US")},
       nullptr,
       check,
       {kModelReady, kListening}},
      {"reserved in other letter case",
       true,
       {Locale("EN-us")},
       nullptr,
       check,
       {kModelReady, kListening}},
      {"request fails", true, {}, "assets.installationRequest", request, {failed, kStopped}},
      {"download fails",
       false,
       {},
       "assets.downloadAndInstall",
       download,
       {kModelDownloading, failed, kStopped}},
      {"reservation fails", true, {}, "assets.reserve", reserve, {failed, kStopped}},
      {"reservation fails after a download",
       false,
       {},
       "assets.reserve",
       downloadAndReserve,
       {kModelDownloading, failed, kStopped}},
  };
}

Strings assetCalls(const CallLog& log) {
  Strings calls = log.calls();
  calls.erase(std::remove_if(calls.begin(), calls.end(),
                             [](const std::string& c) { return c.rfind("assets.", 0) != 0; }),
              calls.end());
  return calls;
}

TEST(ModelTest, InstallsAndReservesBeforeEveryStart) {
  for (const ModelCase& c : modelCases()) {
    SCOPED_TRACE(c.name);
    EngineHarness h;
    h.platform.fakeAssets.installed = c.installed;
    h.platform.fakeAssets.reserved = c.reserved;
    if (c.failingStep) h.platform.failAt(c.failingStep, kInventoryError);

    ASSERT_TRUE(h.run(h.engine.start()));

    EXPECT_EQ(assetCalls(h.platform.log()), c.assetCalls);
    EXPECT_EQ(h.output.lines(), c.output);
    const bool formatAsked = h.platform.log().count("speech.bestAvailableAudioFormat") > 0;
    EXPECT_EQ(formatAsked, c.failingStep == nullptr) << "a failed model step ends the setup";
  }
}

TEST(ModelTest, DownloadingIsAnnouncedBeforeTheDownloadFinishes) {
  EngineHarness h;
  h.platform.fakeAssets.installed = false;
  h.platform.fakeAssets.download.close();

  auto done = h.launch(h.engine.start());
  ASSERT_TRUE(h.runUntil([&] { return h.platform.fakeAssets.download.heldCount() == 1; }));
  EXPECT_EQ(h.output.lines(), Strings{kModelDownloading});
  EXPECT_EQ(h.platform.log().calls().back(), "assets.downloadAndInstall");

  h.platform.fakeAssets.download.open();
  ASSERT_TRUE(h.runUntil([&] { return *done; }));
  EXPECT_EQ(h.output.lines(), (Strings{kModelDownloading, kModelReady, kListening}));
}

TEST(ModelTest, ALaterStartFindsTheModelInstalledAndReserved) {
  EngineHarness h;
  h.platform.fakeAssets.installed = false;
  h.platform.fakeAssets.reserved = {};
  ASSERT_TRUE(h.run(h.engine.start()));
  ASSERT_TRUE(h.run(h.engine.stop()));
  h.platform.log().clear();
  h.output.clear();

  ASSERT_TRUE(h.run(h.engine.start()));

  EXPECT_EQ(assetCalls(h.platform.log()),
            (Strings{"assets.installationRequest", "assets.reservedLocales"}));
  EXPECT_EQ(h.output.lines(), (Strings{kModelReady, kListening}));
}

}  // namespace
}  // namespace dictate
