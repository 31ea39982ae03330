// The property list carried in the executable's .info_plist section: read
// back from the built binary and compared byte for byte, so that the usage
// descriptions the consent service shows are exactly ours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const char kExpectedPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "\t<key>CFBundleIdentifier</key>\n"
    "\t<string>org.quillmarsh.dictate</string>\n"
    "\t<key>CFBundleName</key>\n"
    "\t<string>quillmarsh-dictate</string>\n"
    "\t<key>CFBundleExecutable</key>\n"
    "\t<string>quillmarsh-dictate</string>\n"
    "\t<key>NSMicrophoneUsageDescription</key>\n"
    "\t<string>Quillmarsh uses your microphone for on-device dictation.</string>\n"
    "\t<key>NSSpeechRecognitionUsageDescription</key>\n"
    "\t<string>Quillmarsh transcribes your speech on-device to type where your cursor "
    "is.</string>\n"
    "</dict>\n"
    "</plist>\n";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

TEST(InfoPlistTest, TheBinaryCarriesThePropertyListByteForByte) {
  const std::string out =
      ::testing::TempDir() + "info_plist_" + std::to_string(::getpid()) + ".xml";
  const std::string command = "objcopy -O binary --only-section=.info_plist '" +
                              std::string(DICTATE_BINARY) + "' '" + out + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const std::string plist = readFile(out);
  std::remove(out.c_str());

  EXPECT_EQ(plist, kExpectedPlist);
}

}  // namespace
