// The files the program keeps for itself in the user's folders: the record
// of checked speech models, the reserved locales and the saved adaptation.
// Anything may stand where one of them belongs (a FIFO, a device, a
// folder, a huge file), and whatever stands there must neither hang nor
// flood the program: only a regular file of a sane size is read, anything
// else is ignored with a diagnostic. They are written whole through a
// temporary file of their own in the same folder and renamed into place,
// so that a reader sees the old content or the new, never a part, also
// after a crash. Plain functions, for any thread; they block only on the
// disk.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace dictate {

// The content of `file` when it is a regular file of at most `maxBytes`.
// Nothing when it is missing (then `missing`, when given, is set), cannot
// be read, or is something else; for something else, one diagnostic says
// so. Never waits for a writer or follows a symbolic link.
std::optional<std::string> readKeptFile(const std::filesystem::path& file, size_t maxBytes,
                                        bool* missing = nullptr);

// Replaces `file` with `content`: written to a new, uniquely named file
// beside it, flushed to the disk, renamed over it, and the folder flushed.
// On failure nothing is left behind and the error is returned.
std::error_code replaceKeptFile(const std::filesystem::path& file, std::string_view content);

// A new folder, named `stem` and a unique suffix, in `parent` (by default
// $TMPDIR or /tmp); removed, with everything in it, when this object goes.
class ScratchFolder {
 public:
  // Throws std::system_error when it cannot be made.
  explicit ScratchFolder(const std::filesystem::path& parent = {},
                         const std::string& stem = "quillmarsh-dictate-");
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace dictate
