// The model checker program (see model_check.h):
//
//     quillmarsh-dictate-model-check <model folder> [<-option> <value>]...
//
// Checks the model's text files, then has the library read the model's
// files with the given decoder options, as the decoder's load reads them:
// the acoustic model with the filler words, then the language model. Ends
// with the verdict line and status 0 when all of it worked, with
// kModelCheckDamaged (the reason on the last line of standard error) when a
// text file is unfit, with kModelCheckRefused when the library returned an
// error; any other end (another exit status, a signal) means the library
// gave up on the model on its own. The library's log goes to standard
// error, which tells the caller which file it was reading when it failed;
// standard output is not used.
//
// Left to the decoder's own load, where a failure is only an error: the
// dictionary's words (the library reads them into memory it grows as it
// goes, and skips what it cannot use; a file of absurd size is refused
// here), the search built from them and the language model, and decoding,
// which works only on what was read by then. No damaged model we know of
// fails there and not here (see bench/README.md).
#include <sphinxbase/logmath.h>
#include <sphinxbase/ngram_model.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/linux/models/model_check.h"
#include "platform/linux/models/model_store.h"
#include "platform/linux/speech/pocketsphinx_decoder.h"

namespace {

using dictate::PocketSphinxDecoder;
using dictate::kAcousticModelFolder;
using dictate::kDictionaryFile;
using dictate::kLanguageModelFile;
namespace fs = std::filesystem;

// The library accepts these text files cut short or overwritten and then
// recognises poorly or nothing; what it would silently skip is checked here.
// Each non-blank line must be printable and have at least two fields (a
// feature option and its value; a filler word and its phone).
bool wellFormedLines(const fs::path& file, bool options) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    for (char c : line) {
      if (!std::isprint(static_cast<unsigned char>(c)) &&
          !std::isspace(static_cast<unsigned char>(c)))
        return false;
    }
    std::istringstream fields(line);
    std::string first;
    std::string second;
    if (!(fields >> first)) continue;
    if (!(fields >> second) || (options && first.front() != '-')) return false;
  }
  return !in.bad();
}

// The dictionary must pronounce common words from the whole alphabet; one
// cut short or overwritten loses the later part or all of them.
bool pronouncesCommonWords(const fs::path& dictionary) {
  // Some ten times the largest dictionary a model ships: the library would
  // try to hold a word entry for every line of a larger one.
  constexpr uintmax_t kLargestDictionary = 64 << 20;
  std::error_code ec;
  if (fs::file_size(dictionary, ec) > kLargestDictionary || ec) return false;
  std::ifstream in(dictionary, std::ios::binary);
  const std::string text = "\n" + std::string(std::istreambuf_iterator<char>(in), {});
  for (const char* word : {"a ", "and ", "have ", "of ", "the ", "to ", "you ", "zero "}) {
    if (text.find("\n" + std::string(word)) == std::string::npos) return false;
  }
  return !in.bad();
}

// The library accepts quantised mixture weights cut short, without a word
// about the weights that are missing. The header
// says how large the weights are: a title, strings ending with an empty
// one ("feature_count <n>" among them), the number of codewords and of
// senones, then one byte per feature, codeword and senone. False when the
// file is shorter than that; files in forms not known here are left to the
// library.
bool sendumpIsWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  bool swap = false;
  auto readInt = [&](int32_t& v) {
    uint32_t u = 0;
    if (!in.read(reinterpret_cast<char*>(&u), 4)) return false;
    if (swap) u = __builtin_bswap32(u);
    v = static_cast<int32_t>(u);
    return true;
  };
  int32_t length = 0;
  if (!readInt(length)) return false;
  if (length < 1 || length > 999) {
    swap = true;
    length = static_cast<int32_t>(__builtin_bswap32(static_cast<uint32_t>(length)));
    if (length < 1 || length > 999) return false;
  }
  int64_t features = 1;
  while (length != 0) {
    if (length < 0 || length > 999) return false;
    std::string text(static_cast<size_t>(length), '\0');
    if (!in.read(text.data(), length)) return false;
    if (text.starts_with("cluster_count ") && std::atoi(text.c_str() + 14) != 0) return true;
    if (text.starts_with("feature_count ")) features = std::atoi(text.c_str() + 14);
    if (!readInt(length)) return false;
  }
  int32_t codewords = 0;
  int32_t senones = 0;
  if (!readInt(codewords) || !readInt(senones)) return false;
  // Quantised weights are single bytes: no model has more than this.
  if (features < 1 || features > 64 || codewords < 1 || codewords > 256 || senones < 1 ||
      senones > (1 << 24))
    return false;
  std::error_code ec;
  const auto size = static_cast<int64_t>(fs::file_size(file, ec));
  return !ec && size - static_cast<int64_t>(in.tellg()) >= features * codewords * senones;
}

// Reads int32 values in the file's byte order.
class BinaryReader {
 public:
  explicit BinaryReader(const fs::path& file) : in_(file, std::ios::binary) {}
  bool read(int32_t& v) {
    uint32_t u = 0;
    if (!in_.read(reinterpret_cast<char*>(&u), 4)) return false;
    v = static_cast<int32_t>(swap_ ? __builtin_bswap32(u) : u);
    return true;
  }
  void swapBytes() { swap_ = true; }
  std::ifstream& stream() { return in_; }

 private:
  std::ifstream in_;
  bool swap_ = false;
};

// A binary model definition cut short is read past its end, which crashes
// the library or not depending on what lies behind it in memory, so a check
// that runs it cannot be relied on. Its header gives its length: a format
// text, ten counts, the phone names (padded to 4 bytes), 8 bytes per
// context tree node, 12 per phone, then a count and 2 bytes per state of each
// senone sequence. Text model definitions are left to the library.
bool mdefIsWhole(const fs::path& file) {
  BinaryReader in(file);
  char mark[4] = {};
  if (!in.stream().read(mark, 4)) return false;
  if (std::string_view(mark, 4) == "FDMB")
    in.swapBytes();
  else if (std::string_view(mark, 4) != "BMDF")
    return true;
  int32_t version = 0;
  int32_t length = 0;
  if (!in.read(version) || !in.read(length) || length < 0 || length > (1 << 20)) return false;
  in.stream().seekg(length, std::ios::cur);
  int32_t counts[10];
  for (int32_t& count : counts) {
    if (!in.read(count) || count < 0 || count > (1 << 26)) return false;
  }
  const auto [ciPhones, phones, emitStates, ciSenones, senones, tmats, sequences, contexts,
              treeNodes, silence] = counts;
  for (int32_t i = 0; i < ciPhones; ++i) {
    std::string name;
    if (!std::getline(in.stream(), name, '\0')) return false;
  }
  if (emitStates == 0) return true;  // sequences of varying length
  int64_t at = in.stream().tellg();
  int64_t expected = (at + 3) / 4 * 4 + 8LL * treeNodes + 12LL * phones + 4 +
                     2LL * sequences * emitStates;
  std::error_code ec;
  return static_cast<int64_t>(fs::file_size(file, ec)) >= expected && !ec;
}

std::optional<std::string> unfitFile(const fs::path& modelDir) {
  const fs::path acoustic = modelDir / kAcousticModelFolder;
  const std::string shown = std::string(kAcousticModelFolder) + "/";
  if (!wellFormedLines(acoustic / "feat.params", true))
    return shown + "feat.params does not hold one option and its value a line";
  if (!wellFormedLines(acoustic / "noisedict", false))
    return shown + "noisedict does not hold one filler word and its phone a line";
  if (!pronouncesCommonWords(modelDir / kDictionaryFile))
    return std::string(kDictionaryFile) + " lacks common words";
  if (!mdefIsWhole(acoustic / "mdef")) return shown + "mdef is shorter than its header says";
  std::error_code ec;
  if (fs::exists(acoustic / "sendump", ec) && !sendumpIsWhole(acoustic / "sendump"))
    return shown + "sendump is shorter than its header says";
  return std::nullopt;
}

// What the library makes of the language model, as the decoder's load
// reads it and its search takes it: nothing when both would accept it.
std::optional<std::string> refusedLanguageModel(const fs::path& modelDir) {
  const fs::path file = modelDir / kLanguageModelFile;
  // The decoder's default log base; the values are converted, not checked.
  logmath_t* logMath = logmath_init(1.0001, 0, 0);
  ngram_model_t* model = ngram_model_read(nullptr, file.c_str(), NGRAM_AUTO, logMath);
  if (!model) return "speech language model " + file.string() + " could not be read";
  // The one thing the search asks of the words a cut model has lost.
  if (ngram_wid(model, "</s>") == ngram_unknown_wid(model))
    return "speech language model " + file.string() + " has no end of sentence";
  return std::nullopt;
}

// Ends the check with `status` alone: without the library's or the leak
// checker's exit handlers, which could change it.
[[noreturn]] void finish(int status) {
  std::fflush(stderr);
  _exit(status);
}

[[noreturn]] void reportUnfit(const std::string& what) {
  std::fprintf(stderr, "\n%s%s\n", dictate::kModelCheckDamagedPrefix, what.c_str());
  finish(dictate::kModelCheckDamaged);
}

[[noreturn]] void reportRefused(const std::string& what) {
  std::fprintf(stderr, "\n%s\n", what.c_str());
  finish(dictate::kModelCheckRefused);
}

}  // namespace

// In the sanitizer builds a crash must end the checker by its signal, as it
// does otherwise, not by the sanitizer's report and exit status; and a huge
// allocation asked for by a damaged file fails as it does otherwise.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0:"
         "allocator_may_return_null=1";
}
extern "C" const char* __tsan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0";
}

int main(int argc, char** argv) {
  if (argc < 2 || argc % 2 != 0) {
    std::fprintf(stderr, "usage: %s <model folder> [<-option> <value>]...\n", argv[0]);
    finish(dictate::kModelCheckUsage);
  }
  const fs::path modelDir = argv[1];
  PocketSphinxDecoder::Options options;
  for (int i = 2; i + 1 < argc; i += 2) options.emplace_back(argv[i], argv[i + 1]);
  if (auto unfit = unfitFile(modelDir)) reportUnfit(*unfit);
  std::unique_ptr<PocketSphinxDecoder> decoder;  // kept: finish() frees nothing
  try {
    // Standard error is unbuffered: the log is complete up to a crash.
    decoder = PocketSphinxDecoder::loadUnchecked(modelDir, options, stderr, false);
  } catch (const dictate::Error& e) {
    reportRefused(e.localizedDescription());
  }
  if (auto refused = refusedLanguageModel(modelDir)) reportRefused(*refused);
  std::fprintf(stderr, "\n%s\n", dictate::kModelCheckPassedLine);
  finish(0);
}
