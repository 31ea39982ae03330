// The Linux services live in a module of their own, loaded on first use:
// PulseAudio, libcurl, libarchive and PocketSphinx together bring some 75
// shared libraries, and loading them at exec would hold up the ready line
// by tens of milliseconds. The Platform returned here is cheap to make; the
// module is loaded, from a path relative to the executable, when a service
// is first asked for something (in practice at the first "start").
#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace dictate {

// The file name of the module, which the build places beside the executable
// and the install in the program's private folder (libexec/quillmarsh-dictate/).
inline constexpr const char* kPlatformModuleName = "libquillmarsh-dictate-platform.so";
// The private folder, relative to the folder of the installed executable;
// the module is loaded from there when it is not beside the executable.
inline constexpr const char* kPrivateFolderFromProgram = DICTATE_PRIVATE_DIR_FROM_BIN;
// The function the module exports: a new Platform, owned by the caller.
inline constexpr const char* kPlatformModuleEntry = "quillmarsh_dictate_make_platform";

std::unique_ptr<Platform> makeLazyLinuxPlatform();

// The running executable's folder, with a trailing slash ("./" when it
// cannot be told).
std::string executableFolder();

}  // namespace dictate
