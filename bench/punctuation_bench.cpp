// Spoken punctuation through our whole analyzer: how many of the marks said
// come out right, how many marks appear where nobody said one, and what the
// marks' language model costs plain sentences in word errors.
//
//   bench/make_punctuation_corpus.sh DIR     (once: generates the audio)
//   bench/make_speech_corpus.sh SPEECH       (once: the plain report material)
//   punctuation_bench --corpus DIR --speech-corpus SPEECH [--grids N]
//                     [--options "-spoken_marks no"] [--said-marks]
//                     [--marks-only [--half tuning|report] | --plain-only]
//
// Sentences with marks (bench/punctuation_sentences.txt), each spoken by
// three voices: each clip is a dictation of its own, one after another in
// one process, and its finals put together as a host does are compared with
// the text as a person writes it. The sentences alternate between a tuning
// half, for choosing settings, and a report half, reported apart. Words
// and marks are aligned (a mark never stands for a word); a mark said is
// placed right when the same mark is aligned with it, and a mark with
// nothing said under it is invented. Reported: marks placed right, by mark;
// marks invented; word error rate.
//
// Plain sentences: the speech benchmark's tuning and report halves (espeak-ng
// and Debian's recordings) and 70 sentences by flite's voices, each as one
// stream with pauses, decoded cold at N frame grids (default 1) as the
// speech benchmark does. Every mark in them is invented. Reported: word
// error rate, and marks invented per 200 words. Words are compared with
// their numbers written as the program writes them (bench/speech_corpus.h).
//
// --said-marks scores the said words of a mark ("question mark") as the mark,
// for a decoder without the marks' own words (--options "-spoken_marks no");
// --options adds decoder options as speech_bench's does; --marks-only and
// --plain-only measure one of the two, --half one half of the marks.
//
// Load: the decoder's load with and without spoken punctuation, alternately,
// median of 7 each, and their ratio.
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>

#include "bench/speech_bench_runs.h"
#include "platform/linux/models/model_check.h"

namespace dictate {
namespace {

using namespace speechbench;

struct Token {
  std::string text;  // a word in lower case, or the mark ("\n" and "\n\n" included)
  bool mark = false;
  bool operator==(const Token&) const = default;
};

bool isWordChar(unsigned char c) { return std::isalnum(c) || c == '\''; }

// Words and marks. A colon or a comma between digits is part of the word
// ("3:30", "12,500").
std::vector<Token> tokens(const std::string& text) {
  std::vector<Token> out;
  std::string word;
  auto endWord = [&] {
    if (!word.empty()) out.push_back({word, false});
    word.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool inNumber = (c == ':' || c == ',') && !word.empty() && std::isdigit(word.back()) &&
                    i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]));
    if (isWordChar(c) || inNumber) {
      word += static_cast<char>(std::tolower(c));
      continue;
    }
    endWord();
    if (c == '\n') {
      size_t breaks = text.find_first_not_of('\n', i);
      breaks = (breaks == std::string::npos ? text.size() : breaks) - i;
      out.push_back({std::string(std::min<size_t>(breaks, 2), '\n'), true});
      i += breaks - 1;
    } else if (std::string_view(",.?!:;\"()").find(static_cast<char>(c)) != std::string::npos) {
      out.push_back({std::string(1, static_cast<char>(c)), true});
    }
  }
  endWord();
  return out;
}

// The said words of the marks, as the marks.
std::vector<Token> saidAsMarks(const std::vector<Token>& in) {
  static const std::vector<std::pair<std::vector<std::string>, std::string>> said = {
      {{"full", "stop"}, "."},
      {{"question", "mark"}, "?"},
      {{"exclamation", "mark"}, "!"},
      {{"exclamation", "point"}, "!"},
      {{"semi", "colon"}, ";"},
      {{"new", "line"}, "\n"},
      {{"new", "paragraph"}, "\n\n"},
      {{"open", "quote"}, "\""},
      {{"close", "quote"}, "\""},
      {{"end", "quote"}, "\""},
      {{"open", "parenthesis"}, "("},
      {{"close", "parenthesis"}, ")"},
      {{"comma"}, ","},
      {{"period"}, "."},
      {{"colon"}, ":"}};
  std::vector<Token> out;
  for (size_t i = 0; i < in.size();) {
    bool found = false;
    for (const auto& [words, mark] : said) {
      bool match = i + words.size() <= in.size();
      for (size_t k = 0; match && k < words.size(); ++k) match = in[i + k].text == words[k];
      if (match) {
        out.push_back({mark, true});
        i += words.size();
        found = true;
        break;
      }
    }
    if (!found) out.push_back(in[i++]);
  }
  return out;
}

struct Score {
  size_t words = 0, wordErrors = 0;
  size_t marksSaid = 0, marksRight = 0, marksInvented = 0;
  std::map<std::string, std::pair<size_t, size_t>> byMark;  // said, right
  double audioSeconds = 0, cpu = 0;

  void add(const std::string& reference, const std::string& hypothesis, bool saidMarks) {
    auto ref = tokens(reference), hyp = tokens(hypothesis);
    if (saidMarks) hyp = saidAsMarks(hyp);
    std::string refWords, hypWords;
    for (const auto& t : ref) refWords += t.mark ? "" : t.text + " ";
    for (const auto& t : hyp) hypWords += t.mark ? "" : t.text + " ";
    words += speechaudio::comparedWords(refWords).size();
    wordErrors += speechaudio::wordErrors(refWords, hypWords);
    alignMarks(ref, hyp);
  }

 private:
  // Levenshtein alignment of words and marks, a word never aligned with a
  // mark; then the marks of each side are counted along the path.
  void alignMarks(const std::vector<Token>& ref, const std::vector<Token>& hyp) {
    const size_t n = ref.size(), m = hyp.size();
    std::vector<std::vector<size_t>> cost(n + 1, std::vector<size_t>(m + 1));
    for (size_t i = 0; i <= n; ++i) cost[i][0] = i;
    for (size_t j = 0; j <= m; ++j) cost[0][j] = j;
    auto sub = [&](size_t i, size_t j) -> size_t {
      if (ref[i] == hyp[j]) return 0;
      return ref[i].mark == hyp[j].mark ? 1 : 2;
    };
    for (size_t i = 1; i <= n; ++i)
      for (size_t j = 1; j <= m; ++j)
        cost[i][j] = std::min(
            {cost[i - 1][j] + 1, cost[i][j - 1] + 1, cost[i - 1][j - 1] + sub(i - 1, j - 1)});
    for (const auto& t : ref) {
      if (!t.mark) continue;
      ++marksSaid;
      ++byMark[t.text].first;
    }
    for (size_t i = n, j = m; i > 0 || j > 0;) {
      if (i > 0 && j > 0 && cost[i][j] == cost[i - 1][j - 1] + sub(i - 1, j - 1)) {
        if (ref[i - 1].mark && ref[i - 1] == hyp[j - 1]) {
          ++marksRight;
          ++byMark[ref[i - 1].text].second;
        } else if (hyp[j - 1].mark) {
          ++marksInvented;
        }
        --i, --j;
      } else if (i > 0 && cost[i][j] == cost[i - 1][j] + 1) {
        --i;
      } else {
        if (hyp[j - 1].mark) ++marksInvented;
        --j;
      }
    }
  }
};

struct Clip {
  std::string set, name, written;
  std::vector<int16_t> samples;
};

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
      out += '\n';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<Clip> readIndex(const fs::path& dir, const char* maker) {
  std::ifstream index(dir / "index.tsv");
  if (!index)
    throw std::runtime_error("no corpus in " + dir.string() + ": run " + maker + " " +
                             dir.string());
  std::vector<Clip> clips;
  for (std::string line; std::getline(index, line);) {
    auto a = line.find('\t'), b = line.find('\t', a + 1);
    if (b == std::string::npos) continue;
    std::string name = line.substr(a + 1, b - a - 1);
    clips.push_back(
        {line.substr(0, a), name, unescaped(line.substr(b + 1)), readPcm16(dir / name)});
  }
  return clips;
}

struct PlainSet {
  std::string name;
  std::vector<int16_t> stream;
  std::string reference;
};

PlainSet plainSet(std::string name, const std::vector<Clip>& clips, const fs::path& work) {
  PlainSet set{std::move(name), {}, {}};
  auto gap = silence(1.0);
  addNoiseFloor(gap, work);
  for (const auto& clip : clips) {
    append(set.stream, clip.samples);
    append(set.stream, gap);
    set.reference += clip.written + " ";
  }
  return set;
}

Score measurePlain(MainLoop& loop, const PlainSet& set, std::shared_ptr<ModelStore> store,
                   const PocketSphinxDecoder::Options& options, int grids) {
  Score score;
  for (int grid = 0; grid < grids; ++grid) {
    std::vector<int16_t> stream(static_cast<size_t>(grid) * 53, 0);
    append(stream, set.stream);
    PocketSphinxService fresh(store, options);
    OurRun ours = runOurs(loop, fresh, stream, 0);
    std::fprintf(stderr, "%s, grid %d: %s\n", set.name.c_str(), grid, ours.text.c_str());
    score.add(set.reference, ours.text, false);
    score.cpu += ours.cpu;
    score.audioSeconds += seconds(stream);
  }
  return score;
}

void printMarks(const char* half, const Score& s, size_t clips) {
  std::printf("Sentences with marks, %s: %zu clips, %zu words, %zu marks said\n", half, clips,
              s.words, s.marksSaid);
  std::printf("  marks placed right: %zu of %zu (%.1f %%; goal >= 90 %%)\n", s.marksRight,
              s.marksSaid, 100.0 * s.marksRight / s.marksSaid);
  for (const auto& [mark, counts] : s.byMark) {
    std::string shown = mark == "\n" ? "new line" : mark == "\n\n" ? "new paragraph" : mark;
    std::printf("    %-14s %3zu of %3zu\n", shown.c_str(), counts.second, counts.first);
  }
  std::printf("  marks invented: %zu; word error rate %.1f %%; CPU per audio second %.3f\n\n",
              s.marksInvented, 100.0 * s.wordErrors / s.words, s.cpu / s.audioSeconds);
}

// Median milliseconds of 7 loads each, with and without spoken punctuation,
// taken in turn so that both see the same load on the machine.
std::pair<double, double> loadMs(PocketSphinxDecoder::Options options) {
  std::vector<double> with, without;
  auto time = [](const PocketSphinxDecoder::Options& o) {
    auto t0 = Clock::now();
    PocketSphinxDecoder::loadUnchecked(kDebianModel, o, nullptr);
    return ms(Clock::now() - t0);
  };
  auto plain = options;
  plain.emplace_back(PocketSphinxDecoder::kSpokenMarksOption, "no");
  for (int i = 0; i < 7; ++i) {
    with.push_back(time(options));
    without.push_back(time(plain));
  }
  return {median(with), median(without)};
}

int runBench(int argc, char** argv) {
  fs::path corpusDir, speechDir;
  std::string optionText;
  int grids = 1;
  bool saidMarks = false, marksOnly = false, plainOnly = false;
  int onlyHalf = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--corpus") corpusDir = value;
    if (arg == "--speech-corpus") speechDir = value;
    if (arg == "--grids") grids = std::atoi(value);
    if (arg == "--options") optionText = value;
    if (arg == "--said-marks") saidMarks = true;
    if (arg == "--marks-only") marksOnly = true;
    if (arg == "--plain-only") plainOnly = true;
    if (arg == "--half") onlyHalf = std::string(value) == "report" ? 1 : 0;
  }
  if (corpusDir.empty() || speechDir.empty()) {
    std::fprintf(stderr, "usage: punctuation_bench --corpus DIR --speech-corpus DIR [--grids N]\n");
    return 2;
  }
  setModelChecker(DICTATE_MODEL_CHECKER);
  ScratchDir work;
  auto store =
      std::make_shared<ModelStore>(ModelStoreLocations{work.path() / "store", {"/usr/share"}});
  const auto options = parseOptions(optionText);
  auto [withMs, withoutMs] = loadMs(options);
  std::printf("Decoder load: %.0f ms with spoken punctuation, %.0f ms without (ratio %.2f)\n\n",
              withMs, withoutMs, withMs / withoutMs);
  MainLoop loop;
  std::vector<Clip> marks, flite, tune, report;
  for (auto& clip : readIndex(corpusDir, "bench/make_punctuation_corpus.sh"))
    (clip.set == "marks" ? marks : flite).push_back(std::move(clip));
  for (auto& clip : readIndex(speechDir, "bench/make_speech_corpus.sh"))
    (clip.set == "tune" ? tune : report).push_back(std::move(clip));
  auto debian = debianRecordings();
  for (size_t i = 0; i < debian.size(); ++i)
    (i % 2 ? report : tune)
        .push_back({"", debian[i].name, debian[i].transcript, debian[i].samples});

  // Clips are named mSS-T, sentence SS spoken by its T-th voice.
  Score marked[2];
  size_t clips[2] = {0, 0};
  PocketSphinxService service(store, options);
  if (plainOnly) marks.clear();
  for (const auto& clip : marks) {
    const int half = std::atoi(clip.name.c_str() + 1) % 2;
    if (onlyHalf >= 0 && half != onlyHalf) continue;
    OurRun ours = runOurs(loop, service, clip.samples, 0);
    marked[half].add(clip.written, ours.text, saidMarks);
    marked[half].cpu += ours.cpu;
    marked[half].audioSeconds += seconds(clip.samples);
    ++clips[half];
    std::fprintf(stderr, "%s: %s\n", clip.name.c_str(), ours.text.c_str());
  }
  if (!plainOnly) {
    if (clips[0]) printMarks("tuning half", marked[0], clips[0]);
    if (clips[1]) printMarks("report half", marked[1], clips[1]);
  }
  if (marksOnly) return 0;

  std::printf("Plain sentences (%d frame grid%s):\n", grids, grids > 1 ? "s" : "");
  Score all;
  for (auto& set :
       {plainSet("report half", report, work.path()), plainSet("tuning half", tune, work.path()),
        plainSet("flite", flite, work.path())}) {
    if (set.stream.empty()) continue;
    Score s = measurePlain(loop, set, store, options, grids);
    std::printf(
        "  %-12s %5zu words, word error rate %.1f %%, marks invented %zu (%.2f per 200 words)\n",
        set.name.c_str(), s.words, 100.0 * s.wordErrors / s.words, s.marksInvented,
        200.0 * s.marksInvented / s.words);
    all.words += s.words;
    all.marksInvented += s.marksInvented;
    all.cpu += s.cpu;
    all.audioSeconds += s.audioSeconds;
  }
  std::printf("  all          %5zu words, marks invented %zu (%.2f per 200 words; goal <= 1)\n",
              all.words, all.marksInvented, 200.0 * all.marksInvented / all.words);
  std::printf("  CPU per audio second %.3f\n", all.cpu / all.audioSeconds);
  return 0;
}

}  // namespace
}  // namespace dictate

int main(int argc, char** argv) { return dictate::runBench(argc, argv); }
