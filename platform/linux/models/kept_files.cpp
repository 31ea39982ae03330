#include "platform/linux/models/kept_files.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "output/output.h"

namespace dictate {

namespace fs = std::filesystem;

namespace {

// Closes a descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; false when closing reported an error (a failed write-back).
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::error_code lastError() { return {errno, std::generic_category()}; }

}  // namespace

std::optional<std::string> readKeptFile(const fs::path& file, size_t maxBytes, bool* missing) {
  if (missing) *missing = false;
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  Descriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (fd.get() < 0 && errno == ENOENT) {
    if (missing) *missing = true;
    return std::nullopt;
  }
  const bool symlink = fd.get() < 0 && errno == ELOOP;
  if (!symlink && (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)) return std::nullopt;
  if (symlink || !S_ISREG(st.st_mode)) {
    writeDiagnostic("ignoring " + file.string() + ": it is not a regular file");
    return std::nullopt;
  }
  if (static_cast<uint64_t>(st.st_size) > maxBytes) {
    writeDiagnostic("ignoring " + file.string() + ": it is larger than " +
                    std::to_string(maxBytes) + " bytes");
    return std::nullopt;
  }
  std::string content(maxBytes + 1, '\0');
  size_t size = 0;
  while (size < content.size()) {
    ssize_t n = ::read(fd.get(), content.data() + size, content.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  // Grown past the limit while it was read: not ours either.
  if (size > maxBytes) return std::nullopt;
  content.resize(size);
  return content;
}

std::error_code replaceKeptFile(const fs::path& file, std::string_view content) {
  std::string temporary = file.string() + ".XXXXXX";
  Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (fd.get() < 0) return lastError();
  std::error_code error;
  if (!writeAll(fd.get(), content) || ::fsync(fd.get()) != 0 || !fd.close() ||
      ::rename(temporary.c_str(), file.c_str()) != 0) {
    error = lastError();
    ::unlink(temporary.c_str());
    return error;
  }
  // The rename itself reaches the disk with the folder.
  Descriptor folder(::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() >= 0) ::fsync(folder.get());
  return error;
}

ScratchFolder::ScratchFolder(const fs::path& parent, const std::string& stem) {
  fs::path dir = parent;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  }
  std::string pattern = (dir / (stem + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "temporary folder " + pattern);
  }
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

}  // namespace dictate
