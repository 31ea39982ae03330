#include "platform/linux/speech/acoustic_training.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace dictate {

namespace fs = std::filesystem;

namespace {

std::string tail(const fs::path& log, size_t bytes) {
  std::ifstream in(log, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > bytes) text.erase(0, text.size() - bytes);
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text;
}

// Runs `args` (args[0] a path, or a name looked up in PATH) with standard
// input from /dev/null and its output into `log`; throws when it cannot be
// started or does not end with status 0. posix_spawn, not fork: the
// calling process may have other threads.
void runTool(std::vector<std::string> args, const fs::path& log) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int error = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    throw std::runtime_error(args[0] + " could not be started: " + std::strerror(error));
  }
  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  // A host that ignores SIGCHLD has the system reap the child: its status
  // is lost, and the files it should have written decide.
  if (waited < 0) return;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(fs::path(args[0]).filename().string() + " failed: " + tail(log, 300));
  }
}

std::string tool(const char* name) { return (fs::path(kSphinxTrainDir) / name).string(); }

void writeFile(const fs::path& file, std::string_view content) {
  std::ofstream out(file, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out.flush()) throw std::runtime_error("could not write " + file.string());
}

// The recordings as raw files, a control file listing them and the
// transcripts, as sphinx_fe and bw read them.
void writeCorpus(std::span<const TrainingUtterance> utterances, const fs::path& work) {
  fs::create_directories(work / "audio");
  fs::create_directories(work / "features");
  std::string control, transcripts;
  for (size_t i = 0; i < utterances.size(); ++i) {
    const std::string id = "r" + std::to_string(i);
    const auto& samples = utterances[i].samples;
    writeFile(work / "audio" / (id + ".raw"),
              {reinterpret_cast<const char*>(samples.data()), samples.size_bytes()});
    control += id + '\n';
    transcripts += "<s>";
    for (const auto& word : utterances[i].words) transcripts += ' ' + word;
    transcripts += " </s> (" + id + ")\n";
  }
  writeFile(work / "control", control);
  writeFile(work / "transcripts", transcripts);
}

// The model's initial cepstral mean, as its feat.params gives it.
std::string cmnInit(const fs::path& acousticDir) {
  std::ifstream in(acousticDir / "feat.params");
  for (std::string name, value; in >> name >> value;) {
    if (name == "-cmninit") return value;
  }
  return "40,3,-1";
}

}  // namespace

std::vector<std::string> dictionaryWords(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'') {
      word += static_cast<char>(std::tolower(u));
    } else if (!word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

// The sendump file: length-prefixed header strings ended by a zero length,
// then the number of densities and of senones, then for each stream and
// density one byte per senone, b standing for a weight of 1.0001^-(b << 10)
// (the library's log base and shift). The library reads it the same way.
void writeMixtureWeights(const fs::path& sendump, const fs::path& out) {
  std::ifstream in(sendump, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto bad = [&] { return std::runtime_error(sendump.string() + " is not a sendump file"); };
  size_t pos = 0;
  auto readInt = [&] {
    int32_t v;
    if (pos + 4 > data.size()) throw bad();
    std::memcpy(&v, data.data() + pos, 4);
    pos += 4;
    return v;
  };
  int32_t streams = 0, clusters = 0;
  for (int32_t n; (n = readInt()) != 0;) {
    if (n < 0 || pos + static_cast<size_t>(n) > data.size()) throw bad();
    std::string line(data.data() + pos, static_cast<size_t>(n));
    pos += static_cast<size_t>(n);
    if (line.starts_with("feature_count ")) streams = std::atoi(line.c_str() + 14);
    if (line.starts_with("cluster_count ")) clusters = std::atoi(line.c_str() + 14);
  }
  const int32_t densities = readInt(), senones = readInt();
  const size_t count = static_cast<size_t>(streams) * densities * senones;
  if (clusters != 0 || streams <= 0 || densities <= 0 || senones <= 0 ||
      data.size() - pos != count) {
    throw bad();
  }
  const double logBase = std::log(1.0001);
  double weightOf[256];
  for (int b = 0; b < 256; ++b) weightOf[b] = std::exp(-static_cast<double>(b << 10) * logBase);
  std::vector<float> weights(count);
  auto at = [&](size_t s, size_t f, size_t d) -> float& {
    return weights[(s * streams + f) * densities + d];
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data() + pos);
  for (int32_t f = 0; f < streams; ++f) {
    for (int32_t d = 0; d < densities; ++d) {
      const unsigned char* row = bytes + (static_cast<size_t>(f) * densities + d) * senones;
      for (int32_t s = 0; s < senones; ++s) at(s, f, d) = static_cast<float>(weightOf[row[s]]);
    }
  }
  for (size_t mixture = 0; mixture < count / densities; ++mixture) {
    float* w = weights.data() + mixture * densities;
    double sum = 0;
    for (int32_t d = 0; d < densities; ++d) sum += w[d];
    for (int32_t d = 0; d < densities; ++d) w[d] = static_cast<float>(w[d] / sum);
  }
  // An s3 parameter file: a text header padded so that the byte-order
  // word after it is aligned, then the dimensions and the values.
  std::string header = "s3\nversion 1.0\n";
  header += std::string((4 - (header.size() + 7) % 4) % 4, ' ') + "endhdr\n";
  const int32_t dims[] = {0x11223344, senones, streams, densities, static_cast<int32_t>(count)};
  std::string file = header;
  file.append(reinterpret_cast<const char*>(dims), sizeof dims);
  file.append(reinterpret_cast<const char*>(weights.data()), weights.size() * sizeof(float));
  writeFile(out, file);
}

void mapAdapt(const fs::path& acousticDir, const fs::path& dictionary,
              std::span<const TrainingUtterance> utterances, const fs::path& work,
              const fs::path& outDir) {
  writeCorpus(utterances, work);
  runTool({"sphinx_fe", "-argfile", (acousticDir / "feat.params").string(), "-samprate", "16000",
           "-c", (work / "control").string(), "-di", (work / "audio").string(), "-do",
           (work / "features").string(), "-ei", "raw", "-eo", "mfc", "-raw", "yes"},
          work / "sphinx_fe.log");
  fs::path mixtureWeights = acousticDir / "mixture_weights";
  if (!fs::exists(mixtureWeights)) {
    mixtureWeights = work / "mixture_weights";
    writeMixtureWeights(acousticDir / "sendump", mixtureWeights);
  }
  const fs::path mdef = work / "mdef.txt";
  runTool({"pocketsphinx_mdef_convert", "-text", (acousticDir / "mdef").string(), mdef.string()},
          work / "mdef.log");
  fs::create_directories(work / "counts");
  const std::string means = (acousticDir / "means").string();
  const std::string variances = (acousticDir / "variances").string();
  const std::string transitions = (acousticDir / "transition_matrices").string();
  // The model's own feature settings (its feat.params). The cepstral mean
  // is a running one from the model's initial mean, nearer the decoder's
  // than each recording's own mean ("batch"): through the analyzer, flite's
  // voices read a point better adapted that way (bench/README.md).
  runTool({tool("bw"), "-moddeffn", mdef.string(), "-ts2cbfn", ".ptm.", "-feat", "1s_c_d_dd",
           "-svspec", "0-12/13-25/26-38", "-cmn", "live", "-cmninit", cmnInit(acousticDir),
           "-agc", "none", "-varnorm", "no",
           "-dictfn", dictionary.string(), "-fdictfn", (acousticDir / "noisedict").string(),
           "-ctlfn", (work / "control").string(), "-lsnfn", (work / "transcripts").string(),
           "-cepdir", (work / "features").string(), "-accumdir", (work / "counts").string(),
           "-meanfn", means, "-varfn", variances, "-mixwfn", mixtureWeights.string(), "-tmatfn",
           transitions, "-timing", "no"},
          work / "bw.log");
  fs::create_directories(outDir);
  runTool({tool("map_adapt"), "-moddeffn", mdef.string(), "-ts2cbfn", ".ptm.", "-meanfn", means,
           "-varfn", variances, "-mixwfn", mixtureWeights.string(), "-tmatfn", transitions,
           "-accumdir", (work / "counts").string(), "-mapmeanfn", (outDir / "means").string(),
           "-mapvarfn", (outDir / "variances").string(), "-mapmixwfn",
           (outDir / "mixture_weights").string(), "-maptmatfn",
           (outDir / "transition_matrices").string()},
          work / "map_adapt.log");
  for (const char* name : {"mdef", "feat.params", "noisedict"})
    fs::copy_file(acousticDir / name, outDir / name, fs::copy_options::overwrite_existing);
}

}  // namespace dictate
