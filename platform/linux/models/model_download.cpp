#include "platform/linux/models/model_download.h"

#include <archive.h>
#include <archive_entry.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>

#include "platform/error.h"
#include "platform/linux/models/kept_files.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/models/sha256_hex.h"

namespace dictate {

namespace fs = std::filesystem;

namespace {

Error assetsError(int code, std::string description) {
  return Error(kAssetsErrorDomain, code, std::move(description));
}

Error storeError(const fs::path& where, int err) {
  return assetsError(kAssetStoreFailed, "could not write the speech model to " + where.string() +
                                            ": " + std::strerror(err));
}

bool isHex(const std::string& s) {
  return s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

std::optional<CatalogEntry> parseCatalogLine(const std::string& line) {
  std::istringstream fields(line);
  CatalogEntry entry;
  std::string size;
  std::string extra;
  if (!(fields >> entry.locale >> entry.url >> size >> entry.sha256) || (fields >> extra)) {
    return std::nullopt;
  }
  if (entry.locale.front() == '#') return std::nullopt;
  if (size.find_first_not_of("0123456789") != std::string::npos || size.size() > 18)
    return std::nullopt;
  if (entry.sha256.size() != 64 || !isHex(entry.sha256)) return std::nullopt;
  entry.size = std::stoull(size);
  for (auto& c : entry.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  entry.locale = Locale(entry.locale).bcp47Identifier();
  return entry;
}

// The download's work folder in `parent`: one it cannot make is the store's
// failure.
ScratchFolder workFolder(const fs::path& parent, const std::string& prefix) {
  try {
    return ScratchFolder(parent, prefix);
  } catch (const std::system_error& e) {
    throw storeError(parent, e.code().value());
  }
}

struct Download {
  FILE* file = nullptr;
  uint64_t received = 0;
  uint64_t limit = 0;
  bool tooLarge = false;
};

// Called by libcurl on the downloading thread; must not throw.
size_t writeChunk(char* data, size_t size, size_t count, void* user) noexcept {
  auto* download = static_cast<Download*>(user);
  size_t bytes = size * count;
  if (download->received + bytes > download->limit) {
    download->tooLarge = true;
    return 0;  // aborts the transfer
  }
  if (std::fwrite(data, 1, bytes, download->file) != bytes) return 0;
  download->received += bytes;
  return bytes;
}

void initCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Fetches `entry.url` into `file`; throws when the transfer fails or its
// size differs from the catalog's.
void downloadTo(const CatalogEntry& entry, const fs::path& file) {
  initCurlOnce();
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(file.c_str(), "wb"), std::fclose);
  if (!out) throw storeError(file.parent_path(), errno);
  Download download{out.get(), 0, entry.size, false};
  std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) throw assetsError(kAssetDownloadFailed, "model download could not start");
  std::array<char, CURL_ERROR_SIZE> message{};
  curl_easy_setopt(curl.get(), CURLOPT_URL, entry.url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https,file");
  curl_easy_setopt(curl.get(), CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 30L);
  // A stalled connection fails instead of keeping the start waiting forever.
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, message.data());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, writeChunk);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &download);
  CURLcode code = curl_easy_perform(curl.get());
  bool flushed = std::fflush(out.get()) == 0;
  const std::string from = "model download from " + entry.url;
  if (download.tooLarge) {
    throw assetsError(kAssetDownloadFailed, from + " is larger than the expected " +
                                                std::to_string(entry.size) + " bytes");
  }
  if (code != CURLE_OK) {
    std::string reason = message[0] ? message.data() : curl_easy_strerror(code);
    throw assetsError(kAssetDownloadFailed, from + " failed: " + reason + " (received " +
                                                std::to_string(download.received) + " of " +
                                                std::to_string(entry.size) + " bytes)");
  }
  if (!flushed) throw storeError(file.parent_path(), errno);
  if (download.received != entry.size) {
    throw assetsError(kAssetDownloadFailed, from + " was cut short: received " +
                                                std::to_string(download.received) + " of " +
                                                std::to_string(entry.size) + " bytes");
  }
}

// True for a relative name without ".." components.
bool isInside(const std::string& name) {
  fs::path path(name);
  if (name.empty() || path.is_absolute()) return false;
  return std::none_of(path.begin(), path.end(), [](const fs::path& part) { return part == ".."; });
}

// Copies one entry's data from the archive to the disk writer.
int copyData(archive* in, archive* out) {
  const void* block;
  size_t size;
  la_int64_t offset;
  for (;;) {
    int r = archive_read_data_block(in, &block, &size, &offset);
    if (r == ARCHIVE_EOF) return ARCHIVE_OK;
    if (r < ARCHIVE_OK) return r;
    if (archive_write_data_block(out, block, size, offset) < ARCHIVE_OK) return ARCHIVE_FATAL;
  }
}

// Why an entry may not be unpacked; "" for a plain file or folder whose
// name stays inside the destination. A hard link that carries data is
// reported as a regular file: only its link name tells it apart.
std::string refusal(archive_entry* entry) {
  const char* pathname = archive_entry_pathname(entry);
  const std::string name = pathname ? pathname : "";
  const auto type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry)) return "hard link " + name;
  if (archive_entry_symlink(entry) || type == AE_IFLNK) return "symbolic link " + name;
  if (type != AE_IFREG && type != AE_IFDIR) return "special file " + name;
  if (!isInside(name)) return "unsafe path " + name;
  return "";
}

// Unpacks plain files and folders into `dest`, a fresh folder; any other
// entry (links, devices, FIFOs) or a name that would leave `dest` refuses
// the whole archive. Returns an error text, empty on success.
std::string unpackInto(const fs::path& archiveFile, const fs::path& dest) {
  std::unique_ptr<archive, int (*)(archive*)> in(archive_read_new(), archive_read_free);
  std::unique_ptr<archive, int (*)(archive*)> out(archive_write_disk_new(), archive_write_free);
  archive_read_support_filter_all(in.get());
  archive_read_support_format_all(in.get());
  // The writer gets absolute names under `dest`, built from names that
  // refusal() let through, so its guard against absolute names cannot
  // apply; its guards against ".." and against following symbolic links
  // still do.
  archive_write_disk_set_options(out.get(),
                                 ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS);
  if (archive_read_open_filename(in.get(), archiveFile.c_str(), 1 << 16) != ARCHIVE_OK) {
    return archive_error_string(in.get());
  }
  archive_entry* entry;
  for (;;) {
    int r = archive_read_next_header(in.get(), &entry);
    if (r == ARCHIVE_EOF) return "";
    if (r < ARCHIVE_WARN) return archive_error_string(in.get());
    if (std::string why = refusal(entry); !why.empty()) return why;
    const bool isFile = archive_entry_filetype(entry) == AE_IFREG;
    archive_entry_set_pathname(entry, (dest / archive_entry_pathname(entry)).c_str());
    archive_entry_set_perm(entry, isFile ? 0644 : 0755);
    if (archive_write_header(out.get(), entry) < ARCHIVE_WARN)
      return archive_error_string(out.get());
    if (isFile && copyData(in.get(), out.get()) != ARCHIVE_OK) {
      const char* why = archive_error_string(in.get());
      return why ? why : archive_error_string(out.get());
    }
  }
}

// The archive may hold the model's files at its top level or inside one
// folder.
std::optional<fs::path> locateModel(const fs::path& unpacked) {
  if (missingModelFiles(unpacked).empty()) return unpacked;
  std::error_code ec;
  for (const auto& child : fs::directory_iterator(unpacked, ec)) {
    if (child.is_directory(ec) && missingModelFiles(child.path()).empty()) return child.path();
  }
  return std::nullopt;
}

void moveIntoPlace(const fs::path& model, const fs::path& target) {
  if (std::rename(model.c_str(), target.c_str()) == 0) return;
  int err = errno;
  if (err != EEXIST && err != ENOTEMPTY) throw storeError(target.parent_path(), err);
  if (missingModelFiles(target).empty()) return;  // another process won the race
  std::error_code ec;
  fs::remove_all(target, ec);
  if (std::rename(model.c_str(), target.c_str()) != 0)
    throw storeError(target.parent_path(), errno);
}

}  // namespace

std::vector<CatalogEntry> parseCatalog(std::istream& in) {
  std::vector<CatalogEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (auto entry = parseCatalogLine(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

std::optional<CatalogEntry> findCatalogEntry(const std::vector<fs::path>& catalogFiles,
                                             const Locale& locale) {
  const std::string wanted = locale.bcp47Identifier();
  for (const auto& file : catalogFiles) {
    std::ifstream in(file);
    for (auto& entry : parseCatalog(in)) {
      if (entry.locale == wanted) return entry;
    }
  }
  return std::nullopt;
}

std::string sha256OfFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw assetsError(kAssetDownloadFailed, "cannot read " + file.string());
  sha256_ctx ctx;
  sha256_init(&ctx);
  std::array<char, 1 << 16> block;
  while (in.read(block.data(), block.size()) || in.gcount() > 0) {
    sha256_update(&ctx, static_cast<size_t>(in.gcount()),
                  reinterpret_cast<const uint8_t*>(block.data()));
  }
  return finishSha256Hex(ctx);
}

void installModel(const CatalogEntry& entry, const fs::path& target) {
  std::error_code ec;
  fs::create_directories(target.parent_path(), ec);
  if (ec) throw storeError(target.parent_path(), ec.value());
  ScratchFolder work =
      workFolder(target.parent_path(), "." + target.filename().string() + ".download-");
  const fs::path archiveFile = work.path() / "archive";
  downloadTo(entry, archiveFile);
  if (sha256OfFile(archiveFile) != entry.sha256) {
    throw assetsError(
        kAssetChecksumMismatch,
        "model download from " + entry.url + " is corrupt: its SHA-256 checksum does not match");
  }
  const fs::path unpacked = work.path() / "model";
  fs::create_directory(unpacked, ec);
  if (ec) throw storeError(work.path(), ec.value());
  if (std::string why = unpackInto(archiveFile, unpacked); !why.empty()) {
    throw assetsError(kAssetUnpackFailed,
                      "model archive from " + entry.url + " could not be unpacked: " + why);
  }
  auto model = locateModel(unpacked);
  if (!model) {
    throw assetsError(kAssetUnpackFailed,
                      "model archive from " + entry.url + " does not hold a complete speech model");
  }
  moveIntoPlace(*model, target);
}

}  // namespace dictate
