// Installing a speech model from the network: the catalog of download
// sources, and the download, verification, unpacking and move into place.
//
// The catalog is a text file installed with the program
// (<data dir>/quillmarsh-dictate/model-catalog.txt). Each entry is one line
// of four fields separated by blanks:
//
//     <locale> <url> <size in bytes> <SHA-256 in hex>
//
// Blank lines, lines starting with '#' and malformed lines are ignored.
//
// installModel() blocks for the whole download; callers run it off the main
// loop. It keeps no state between calls and may run in several processes at
// once: each works in temporary names of its own and only a complete,
// verified model is renamed into place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "platform/speech.h"

namespace dictate {

struct CatalogEntry {
  std::string locale;  // BCP 47
  std::string url;
  uint64_t size = 0;
  std::string sha256;  // lower-case hex
};

std::vector<CatalogEntry> parseCatalog(std::istream& in);

// The first entry for `locale` in `catalogFiles`, read in order.
std::optional<CatalogEntry> findCatalogEntry(const std::vector<std::filesystem::path>& catalogFiles,
                                             const Locale& locale);

// The SHA-256 of a file as lower-case hex. Throws an Error when unreadable.
std::string sha256OfFile(const std::filesystem::path& file);

// Downloads `entry`, checks its size and checksum, unpacks it (a tar or zip
// archive, compressed or not, holding the model folder or its contents) and
// renames the complete model to `target`. On any failure nothing is left
// behind and an Error with a description for the user is thrown. When
// another process installed `target` meanwhile, its copy is kept.
void installModel(const CatalogEntry& entry, const std::filesystem::path& target);

}  // namespace dictate
