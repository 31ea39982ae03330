// The model check: a speech model is loaded into this process only after it
// passed a check in a process of its own. Some damaged model files make the
// decoder library end the process (it calls exit(), or reads past a short
// file and crashes) instead of returning an error; in the checker program
// (quillmarsh-dictate-model-check, built beside the program and its module,
// installed beside the module) that only ends the check. The checker has
// the library read the model's files with the decoder's options (see its
// program).
//
// A pass counts only when the checker says so on its last line and ended
// with status 0 (or its status cannot be had: a host that ignores SIGCHLD
// has the system reap it). A pass is remembered in the user's cache
// ($XDG_CACHE_HOME/quillmarsh-dictate/checked-models) by the options, the
// device, inode, size and times of each model file, and the size and
// modification time of the decoder library and of the checker, so that
// later processes only look at the files' metadata, and a new library or
// checker checks again. Plain
// functions, called on the thread that loads the decoder; they block for as
// long as the check runs (about half the model's load, once per model).
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dictate {

using ModelOptions = std::vector<std::pair<std::string, std::string>>;

// Nothing when the model in `modelDir` passed the check (now or in an
// earlier process) with `options`; otherwise what is wrong with it, naming
// the model folder and, where the check can tell, the file.
std::optional<std::string> checkModelOnce(const std::filesystem::path& modelDir,
                                          const ModelOptions& options);

// The checker program: by default the one in the folder of the code that
// runs this (the program's module, or an executable linking it statically).
std::filesystem::path modelChecker();
void setModelChecker(std::filesystem::path executable);

// How long a check may take before the checker is killed.
inline constexpr std::chrono::seconds kModelCheckTimeout{30};

// What the checker program tells its caller besides the library's log.
inline constexpr int kModelCheckRefused = 3;  // exit status: the library returned an error
inline constexpr int kModelCheckUsage = 2;    // exit status: bad arguments
inline constexpr int kModelCheckDamaged = 4;  // exit status: a file is unfit, said on a line
inline constexpr const char* kModelCheckDamagedPrefix = "quillmarsh-dictate-model-check: damaged: ";
// The checker's last line on standard error when the model passed.
inline constexpr const char* kModelCheckPassedLine = "quillmarsh-dictate-model-check: passed";

}  // namespace dictate
