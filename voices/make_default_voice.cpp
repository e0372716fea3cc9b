// make_default_voice: records the default voice's units with espeak-ng and
// writes its words file, from data that Debian packages install. The voice
// builder (`sonvale voice build`) then turns both into the voice files.
//
//   make_default_voice --overrides FILE --hand-words FILE --espeak-voice FILE --units DIR
//                      --words FILE [--phrase-list FILE]... [--rime DIR] [--unihan DIR] [--limit N]
//
// 1. Readings: every ideograph U+4E00..U+9FA5 gets one default reading
//    (reading_choice.h says from where). Every syllable that the character
//    list, the input method's words or the voice's own words use and no
//    ideograph says gets an extra unit (a unit code below 1000 that no text
//    reaches, or a rare ideograph's unit); a syllable left without one fails
//    the run.
// 2. Words: the input method's words whose syllables differ from the
//    defaults, and their simplified spellings, go to the words file with
//    carrier characters as their readings; words that are also keys of the
//    engine's phrase lists (--phrase-list) keep those entries' values, or are
//    left to the phrase rules when these read them right.
// 3. Units: each ideograph's reading, and each letter, digit and symbol of
//    symbol_units.cpp, is turned into phoneme codes; each distinct phoneme
//    string is said once (espeak_recorder.h: in a process of its own, so the
//    result depends on nothing else), converted to 11025 Hz and trimmed
//    (unit_audio.h), and the units that share it are hard-linked to one file.
//    A unit that is silent, clips or is longer than the engine's 30000
//    samples fails the run.
// 4. UNITS/manifest.txt, written last, lists every unit with its reading,
//    length and peak; UNITS/units.txt, the unit list that goes beside the
//    voice files, gives each unit's jyutping and its share of running text;
//    UNITS/syllables.txt, beside them too, lists the syllables for recording
//    a voice of one's own, the most used first, with everyday examples.
//
// --limit N voices only the N most frequent ideographs (plus the numerals the
// engine's number reading and the digit units need, and the ideograph that
// carries each syllable) for a small test voice that still says every
// syllable; words that would need another character are left out.
//
// Exit status 0 on success, 1 on a failure (reported on stderr), 2 on bad usage.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data_files.h"
#include "espeak_recorder.h"
#include "jyutping.h"
#include "phrase_lists.h"
#include "reading_choice.h"
#include "reading_data.h"
#include "symbol_units.h"
#include "tone_contours.h"
#include "unit_audio.h"

namespace {

namespace fs = std::filesystem;
using namespace sonvale::recipe;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The synthesizer's loudest syllables reach full scale, and rate conversion
// overshoots it (to about 33900). The engine multiplies a syllable by up to
// 1.64 at full volume with its loudest phrase template (volumeIndex 7), so
// units are kept below 20000 (x 1.64 < 32767): 0.58 x 33900 = 19700.
constexpr double kUnitGain = 0.58;
constexpr double kMaxUnitPeak = 19800;
constexpr int kEdgeLevel = 64;                     // about -54 dBFS
constexpr std::size_t kEdgeMarginSamples = 110;    // 10 ms
constexpr int kMinUnitPeak = 1024;                 // a unit quieter than -30 dBFS is taken for silence
constexpr std::uint32_t kFirstIdeographUnit = 1000;
constexpr char kUnitListName[] = "units.txt";          // beside the voice files
constexpr char kSyllableListName[] = "syllables.txt";  // and this too

// Ideographs a small voice always needs: the numerals, units and signs the
// engine's number reading speaks, and the ones the digit units share.
constexpr char32_t kAlwaysVoiced[] = U"零一二三四五六七八九十廿卅百千万亿两点负分份之壹贰叁肆伍陆柒捌玖拾佰仟";

const char kUsage[] =
    "usage: make_default_voice --overrides FILE --hand-words FILE --espeak-voice FILE --units DIR\n"
    "                          --words FILE [--phrase-list FILE]... [--rime DIR] [--unihan DIR] [--limit N]\n"
    "\n"
    "Records the default voice's units (DIR/<unitcode>.wav, 11025 Hz) with espeak-ng\n"
    "and writes its words file, for `sonvale voice build DIR FILE OUT`.\n"
    "  --hand-words FILE   the voice's own word list (words.txt)\n"
    "  --phrase-list FILE  one of the engine's phrase lists (data/phrases/*.txt), each once\n"
    "  --rime DIR          the Cantonese input method's data (default /usr/share/rime-data)\n"
    "  --unihan DIR        the Unicode data with Unihan_*.txt.bz2 (default /usr/share/unicode)\n"
    "  --limit N           voice only the N most frequent ideographs (a small test voice)\n";

struct Options {
  std::string overrides, handWords, espeakVoice, unitsDir, wordsFile;
  std::vector<std::string> phraseLists;
  std::string rimeDir = "/usr/share/rime-data";
  std::string unihanDir = "/usr/share/unicode";
  std::size_t limit = 0;  // 0: every ideograph
};

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "make_default_voice: %s needs a value\n%s", arg.c_str(), kUsage);
      return false;
    }
    const std::string value = argv[++i];
    if (arg == "--overrides") {
      o.overrides = value;
    } else if (arg == "--hand-words") {
      o.handWords = value;
    } else if (arg == "--espeak-voice") {
      o.espeakVoice = value;
    } else if (arg == "--units") {
      o.unitsDir = value;
    } else if (arg == "--words") {
      o.wordsFile = value;
    } else if (arg == "--phrase-list") {
      o.phraseLists.push_back(value);
    } else if (arg == "--rime") {
      o.rimeDir = value;
    } else if (arg == "--unihan") {
      o.unihanDir = value;
    } else if (arg == "--limit") {
      char* end = nullptr;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n == 0) {
        std::fprintf(stderr, "make_default_voice: --limit wants a positive count, found '%s'\n", value.c_str());
        return false;
      }
      o.limit = n;
    } else {
      std::fprintf(stderr, "make_default_voice: unknown option '%s'\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  if (o.overrides.empty() || o.handWords.empty() || o.espeakVoice.empty() || o.unitsDir.empty() ||
      o.wordsFile.empty()) {
    std::fprintf(stderr,
                 "make_default_voice: --overrides, --hand-words, --espeak-voice, --units and --words are required\n%s",
                 kUsage);
    return false;
  }
  return true;
}

std::string utf8Of(char32_t c) { return encodeUtf8(std::u32string(1, c)); }

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Which ideographs get units: all, or the `limit` most frequent (usageCount),
// kAlwaysVoiced and the carriers.
std::vector<bool> chooseVoiced(const ReadingInputs& in, std::size_t limit,
                               const std::map<std::string, char32_t>& carriers) {
  std::vector<bool> voiced(kIdeographCount, limit == 0);
  if (limit == 0) return voiced;
  std::vector<std::pair<std::uint64_t, char32_t>> ranked;
  for (char32_t c = kFirstIdeograph; c <= kLastIdeograph; ++c) ranked.emplace_back(usageCount(in, c), c);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (std::size_t i = 0; i < ranked.size() && i < limit; ++i) voiced[ranked[i].second - kFirstIdeograph] = true;
  for (const char32_t c : std::u32string_view(kAlwaysVoiced)) voiced[c - kFirstIdeograph] = true;
  for (const auto& [syllable, c] : carriers)
    if (isVoicedIdeograph(c)) voiced[c - kFirstIdeograph] = true;
  return voiced;
}

struct UnitJob {
  std::uint32_t unit = 0;
  std::string label;  // the character, or the symbol's description
  std::string jyutping;
  std::string phonemes;
  double sharePercent = 0;  // of the characters of running text (the frequency list) this unit says
};

struct Recording {
  fs::path file;
  std::size_t samples = 0;
  int peak = 0;
};

// Removes recordings and the manifest of an earlier run, so that a unit
// dropped since (a smaller --limit) is not built from a stale file.
std::string clearUnitsDir(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) return "cannot create " + dir.string() + ": " + ec.message();
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name == "manifest.txt" || (!name.empty() && name[0] >= '0' && name[0] <= '9')) stale.push_back(it->path());
  }
  if (ec) return "cannot read " + dir.string() + ": " + ec.message();
  for (const fs::path& p : stale) {
    fs::remove(p, ec);
    if (ec) return "cannot remove " + p.string() + ": " + ec.message();
  }
  return {};
}

// The syllable list, for recording a voice of one's own: every syllable the
// units say, the most used first, with its share of running text (that of the
// units that say it alone) and up to three everyday examples: the most
// frequent character whose default reading it is, then the most frequent words
// of 2..4 characters with the syllable (then more characters). "SYLLABLE<TAB>SHARE[<TAB>TEXT JYUTPING...]..."
std::string syllableList(const std::vector<UnitJob>& jobs, const std::vector<SourceWord>& words,
                         const std::vector<CharReading>& readings,
                         const std::unordered_map<char32_t, std::uint64_t>& inText) {
  constexpr std::size_t kExamples = 3;
  std::map<std::string, double> share;
  for (const UnitJob& j : jobs) {
    std::size_t at = 0;
    for (std::size_t space; (space = j.jyutping.find(' ', at)) != std::string::npos; at = space + 1)
      share[j.jyutping.substr(at, space - at)] += 0;
    const std::string last = j.jyutping.substr(at);
    share[last] += at == 0 ? j.sharePercent : 0;
  }
  // Candidates per syllable: (count, text, jyutping).
  std::map<std::string, std::vector<std::tuple<std::uint64_t, std::u32string, std::string>>> words4, chars;
  // The voice's own words replace the word list's for the same text (英文 is
  // said man2, not man4), as in the words file.
  std::set<std::u32string> handMade;
  for (const SourceWord& w : words)
    if (w.handMade) handMade.insert(w.text);
  for (const SourceWord& w : words) {
    if (w.text.size() < 2 || w.text.size() > 4 || w.frequency == 0 || (!w.handMade && handMade.count(w.text))) continue;
    std::string jyutping;
    for (const std::string& syllable : w.syllables) jyutping += (jyutping.empty() ? "" : " ") + syllable;
    for (const std::string& syllable : std::set<std::string>(w.syllables.begin(), w.syllables.end()))
      if (share.count(syllable)) words4[syllable].emplace_back(w.frequency, w.text, jyutping);
  }
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const char32_t c = kFirstIdeograph + static_cast<char32_t>(i);
    const auto counted = inText.find(c);
    if (counted != inText.end() && share.count(readings[i].reading))
      chars[readings[i].reading].emplace_back(counted->second, std::u32string(1, c), readings[i].reading);
  }
  std::vector<std::pair<double, std::string>> order;
  for (const auto& [syllable, percent] : share) order.emplace_back(percent, syllable);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  std::string text = "# syllable\tshare of running text (%)\texamples (text and jyutping)\n";
  for (const auto& [percent, syllable] : order) {
    char number[32];
    std::snprintf(number, sizeof number, "%.6g", percent);
    text += syllable + '\t' + number;
    // The character that says it most often, then the most frequent words
    // with it (more characters when there are too few words).
    std::vector<std::tuple<std::uint64_t, std::u32string, std::string>>& alone = chars[syllable];
    std::vector<std::tuple<std::uint64_t, std::u32string, std::string>>& inWords = words4[syllable];
    const auto byCount = [](const auto& a, const auto& b) { return std::get<0>(a) > std::get<0>(b); };
    std::stable_sort(alone.begin(), alone.end(), byCount);
    std::stable_sort(inWords.begin(), inWords.end(), byCount);
    std::vector<const std::tuple<std::uint64_t, std::u32string, std::string>*> chosen;
    if (!alone.empty()) chosen.push_back(&alone[0]);
    for (const auto& w : inWords)
      if (chosen.size() < kExamples) chosen.push_back(&w);
    for (std::size_t i = 1; i < alone.size() && chosen.size() < kExamples; ++i) chosen.push_back(&alone[i]);
    for (const auto* example : chosen) text += '\t' + encodeUtf8(std::get<1>(*example)) + ' ' + std::get<2>(*example);
    text += '\n';
  }
  return text;
}

// Reads the data, chooses the readings, writes the words file and lists the
// units to record. Returns 0, or the exit status after a message.
int prepare(const Options& o, std::vector<UnitJob>& jobs) {
  // --- Data.
  std::string charsText, wordsText, essayText, readingsText, variantsText, overridesText, handWordsText;
  const fs::path rime(o.rimeDir), unihan(o.unihanDir);
  for (const auto& [path, text] : {std::pair{(rime / "jyut6ping3.chars.dict.yaml").string(), &charsText},
                                   std::pair{(rime / "jyut6ping3.words.dict.yaml").string(), &wordsText},
                                   std::pair{(rime / "essay-cantonese.txt").string(), &essayText},
                                   std::pair{o.overrides, &overridesText}, std::pair{o.handWords, &handWordsText}}) {
    if (std::string error = readWholeFile(path, *text); !error.empty()) {
      std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
      return kExitFailure;
    }
  }
  for (const auto& [path, text] : {std::pair{(unihan / "Unihan_Readings.txt.bz2").string(), &readingsText},
                                   std::pair{(unihan / "Unihan_Variants.txt.bz2").string(), &variantsText}}) {
    if (std::string error = readBzip2File(path, *text); !error.empty()) {
      std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
      return kExitFailure;
    }
  }
  std::vector<Override> overrides;
  if (std::string error = parseOverrides(overridesText, overrides); !error.empty()) {
    std::fprintf(stderr, "make_default_voice: %s %s\n", o.overrides.c_str(), error.c_str());
    return kExitFailure;
  }
  std::vector<HandWord> handWords;
  if (std::string error = parseHandWords(handWordsText, handWords); !error.empty()) {
    std::fprintf(stderr, "make_default_voice: %s %s\n", o.handWords.c_str(), error.c_str());
    return kExitFailure;
  }
  std::vector<PhraseEntry> phrases;
  for (const std::string& path : o.phraseLists) {
    std::string text;
    std::string error = readWholeFile(path, text);
    if (error.empty()) error = parsePhraseList(text, phrases);
    if (!error.empty()) {
      std::fprintf(stderr, "make_default_voice: %s: %s\n", path.c_str(), error.c_str());
      return kExitFailure;
    }
  }

  ReadingInputs in;
  const std::vector<DictionaryEntry> charEntries = parseDictionary(charsText);
  in.characterList = characterReadings(charEntries);
  const std::unordered_map<std::u32string, std::uint64_t> counts = parseFrequencies(essayText);
  in.frequency = characterFrequencies(counts);
  in.traditionalVariants = parseUnihanVariants(variantsText, "kTraditionalVariant");
  const std::map<char32_t, std::vector<char32_t>> simplifiedVariants =
      parseUnihanVariants(variantsText, "kSimplifiedVariant");
  in.cantonese = parseUnihanField(readingsText, "kCantonese");
  for (const Override& v : overrides) in.overrides[v.character] = v.reading;

  // --- Words of the sources: the voice's own, then the input method's.
  std::vector<SourceWord> source;
  for (const HandWord& h : handWords) {
    const auto it = counts.find(h.text);
    source.push_back({h.text, h.syllables, it == counts.end() ? 0 : it->second, true});
  }
  const std::vector<DictionaryEntry> wordEntries = parseDictionary(wordsText);
  for (SourceWord& w : sourceWords(wordEntries, counts)) source.push_back(std::move(w));

  for (const SourceWord& w : source)
    for (const char32_t c : w.text) ++in.inWords[c];

  // --- Readings, and units for the syllables no ideograph says.
  std::vector<CharReading> readings = chooseReadings(in);
  // Every syllable of every reading of the lists, also of the characters and
  // words the voice cannot write (U+3400.., U+20000..): the voice says them all.
  std::map<std::string, std::uint64_t> needed;  // syllable -> how much it is used
  const auto need = [&needed](const std::string& reading, std::uint64_t use) {
    for (std::size_t at = 0; at < reading.size();) {
      const std::size_t end = std::min(reading.find(' ', at), reading.size());
      if (end > at) needed[reading.substr(at, end - at)] += 1 + use;
      at = end + 1;
    }
  };
  for (const DictionaryEntry& e : charEntries) need(e.reading, e.text.size() == 1 ? usageCount(in, e.text[0]) : 0);
  for (const DictionaryEntry& e : wordEntries) {
    const auto it = counts.find(e.text);
    need(e.reading, it == counts.end() ? 0 : it->second);
  }
  for (const SourceWord& w : source)
    if (w.handMade)
      for (const std::string& syllable : w.syllables) need(syllable, w.frequency);
  const ExtraSyllables extra = chooseExtraSyllables(needed, in, readings, kAlwaysVoiced);
  if (!extra.unsayable.empty()) {
    std::string list;
    for (const std::string& syllable : extra.unsayable) list += ' ' + syllable;
    std::fprintf(stderr, "make_default_voice: no unit can say%s\n", list.c_str());
    return kExitFailure;
  }
  std::map<ReadingSource, std::size_t> bySource;
  std::string missing;
  std::size_t tied = 0;
  for (std::size_t i = 0; i < readings.size(); ++i) {
    const char32_t c = kFirstIdeograph + static_cast<char32_t>(i);
    ++bySource[readings[i].source];
    if (readings[i].source == ReadingSource::None) missing += utf8Of(c);
    if (readings[i].tied) {
      ++tied;
      std::fprintf(stderr, "make_default_voice: warning: %s (U+%04X) has tied top readings; using %s (%s settles it)\n",
                   utf8Of(c).c_str(), static_cast<unsigned>(c), readings[i].reading.c_str(), o.overrides.c_str());
    }
  }
  if (!missing.empty()) {
    std::fprintf(stderr, "make_default_voice: no reading for %s; give them one in %s\n", missing.c_str(),
                 o.overrides.c_str());
    return kExitFailure;
  }
  std::printf(
      "readings: %zu from the character list, %zu through a traditional variant, %zu from kCantonese, "
      "%zu from the overrides; %zu tied\n",
      bySource[ReadingSource::CharacterList], bySource[ReadingSource::TraditionalVariant],
      bySource[ReadingSource::UnihanCantonese], bySource[ReadingSource::Override], tied);

  std::uint64_t allCharacters = 0, retoldCount = 0;
  for (const auto& [c, n] : in.frequency) allCharacters += n;
  std::string retoldList;
  for (const char32_t c : extra.retold) {
    retoldCount += usageCount(in, c);
    retoldList += utf8Of(c) + readings[c - kFirstIdeograph].reading + ' ';
  }
  std::printf(
      "syllables: %zu used by the sources; %zu extra units, %zu rare ideographs say another reading of "
      "their own (%s), %.5f%% of the characters counted in the frequency list\n",
      needed.size(), extra.units.size(), extra.retold.size(), retoldList.c_str(),
      allCharacters == 0 ? 0.0 : 100.0 * static_cast<double>(retoldCount) / static_cast<double>(allCharacters));

  // --- Words.
  std::map<std::string, char32_t> carriers =
      chooseCarriers(readings, in.frequency, std::vector<bool>(kIdeographCount, true));
  for (const auto& [unit, syllable] : extra.units) carriers[syllable] = kUnitBias + unit;
  const std::vector<bool> voiced = chooseVoiced(in, o.limit, carriers);
  const std::vector<WordEntry> words = buildWordList(source, readings, carriers, simplifiedVariants,
                                                     {phrases, &in.traditionalVariants, &in.characterList}, voiced);
  const auto countWords = [&words](auto predicate) {
    return static_cast<std::size_t>(std::count_if(words.begin(), words.end(), predicate));
  };
  const std::size_t simplifiedWords = countWords([](const WordEntry& w) { return w.simplified; });
  const std::size_t shapedWords = countWords([](const WordEntry& w) { return !w.values.empty(); });
  const std::size_t guardWords =
      countWords([](const WordEntry& w) { return !w.values.empty() && w.reading == w.text; });
  const std::string wordsFileText = formatWordsFile(words);
  if (std::string error = writeFileAtomically(
          o.wordsFile, {reinterpret_cast<const std::uint8_t*>(wordsFileText.data()), wordsFileText.size()});
      !error.empty()) {
    std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf(
      "words: %zu traditional + %zu simplified = %zu entries from %zu source words, %zu carriers; "
      "%zu entries take the values of one of the %zu phrase entries, %zu of them to keep their own characters\n",
      words.size() - simplifiedWords, simplifiedWords, words.size(), source.size(), carriers.size(), shapedWords,
      phrases.size(), guardWords);

  // --- Units to record, each with its share of running text: how often its
  // character occurs in the frequency list's texts (alone and inside words),
  // each counted once under its own unit.
  std::unordered_map<char32_t, std::uint64_t> inText;
  std::uint64_t textCharacters = 0;
  for (const auto& [text, n] : counts)
    for (const char32_t c : text) {
      inText[c] += n;
      textCharacters += n;
    }
  for (std::size_t i = 0; i < readings.size(); ++i) {
    if (!voiced[i]) continue;
    const char32_t c = kFirstIdeograph + static_cast<char32_t>(i);
    const auto counted = inText.find(c);
    const double share = textCharacters == 0 || counted == inText.end()
                             ? 0.0
                             : 100.0 * static_cast<double>(counted->second) / static_cast<double>(textCharacters);
    jobs.push_back({kFirstIdeographUnit + static_cast<std::uint32_t>(i), utf8Of(c), readings[i].reading, {}, share});
  }
  for (const auto& [unit, syllable] : extra.units) jobs.push_back({unit, "extra " + syllable, syllable, {}});
  for (const SymbolUnit& s : symbolUnits()) {
    std::string jyutping(s.jyutping);
    if (s.sameAs != 0) jyutping = readings[s.sameAs - kFirstIdeograph].reading;
    jobs.push_back({s.unit, std::string(s.description), jyutping, {}});
  }
  std::sort(jobs.begin(), jobs.end(), [](const UnitJob& a, const UnitJob& b) { return a.unit < b.unit; });
  for (UnitJob& j : jobs) {
    if (std::string error = jyutpingToPhonemes(j.jyutping, j.phonemes); !error.empty()) {
      std::fprintf(stderr, "make_default_voice: unit %u (%s): reading \"%s\": %s\n", j.unit, j.label.c_str(),
                   j.jyutping.c_str(), error.c_str());
      return kExitFailure;
    }
  }

  // The unit list, for showing what is spoken and for building a voice from
  // syllable recordings: each unit's code, jyutping and share of running text.
  std::string unitList = "# unit\tjyutping\tshare of running text (%)\n";
  for (const UnitJob& j : jobs) {
    char share[32];
    std::snprintf(share, sizeof share, "%.6g", j.sharePercent);
    unitList += std::to_string(j.unit) + '\t' + j.jyutping + '\t' + share + '\n';
  }
  const std::string syllables = syllableList(jobs, source, readings, inText);
  std::error_code ec;
  fs::create_directories(o.unitsDir, ec);
  for (const auto& [name, list] :
       {std::pair{kUnitListName, &std::as_const(unitList)}, std::pair{kSyllableListName, &syllables}})
    if (std::string error = writeFileAtomically((fs::path(o.unitsDir) / name).string(),
                                                {reinterpret_cast<const std::uint8_t*>(list->data()), list->size()});
        !error.empty()) {
      std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
      return kExitFailure;
    }
  return 0;
}

int run(const Options& o) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<UnitJob> jobs;
  if (const int status = prepare(o, jobs); status != 0) return status;
  // Each unit is said in a process forked from this one: hand the memory of
  // the data back first, so that there is less to copy at every fork.
  malloc_trim(0);

  // --- Recording.
  const auto recordingStarted = std::chrono::steady_clock::now();
  const fs::path unitsDir(o.unitsDir);
  if (std::string error = clearUnitsDir(unitsDir); !error.empty()) {
    std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
    return kExitFailure;
  }
  EspeakRecorder recorder;
  if (std::string error = recorder.start(o.espeakVoice); !error.empty()) {
    std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
    return kExitFailure;
  }
  std::map<std::string, Recording> recorded;  // by phoneme string
  std::vector<const Recording*> perUnit;
  std::vector<std::int16_t> raw;
  std::vector<float> converted;
  std::string manifest = "# unit\tcharacter\tjyutping\tphonemes\tsamples\tpeak\n";
  for (const UnitJob& j : jobs) {
    const fs::path file = unitsDir / (std::to_string(j.unit) + ".wav");
    const std::string where = "unit " + std::to_string(j.unit) + " (" + j.label + ", " + j.jyutping + ")";
    auto found = recorded.find(j.phonemes);
    if (found == recorded.end()) {
      std::size_t clipped = 0;
      std::string error = recorder.say(j.phonemes, raw);
      if (error.empty()) error = resampleToUnitRate(raw, recorder.rateHz(), converted);
      if (!error.empty()) {
        std::fprintf(stderr, "make_default_voice: %s: %s\n", where.c_str(), error.c_str());
        return kExitFailure;
      }
      // A single syllable is given its tone's contour and loudness
      // (tone_contours.h); no unit peaks above kMaxUnitPeak.
      double gain = kUnitGain;
      if (Syllable syllable; parseSyllable(j.jyutping, syllable)) {
        converted = giveTone(converted, kUnitRateHz, syllable.tone);
        gain *= std::pow(10.0, toneGainDb(syllable.tone) / 20.0);
      }
      float loudest = 0;
      for (const float x : converted) loudest = std::max(loudest, std::abs(x));
      gain = std::min(gain, kMaxUnitPeak / std::max(1.0f, loudest));
      const std::vector<std::int16_t> pcm = toPcm16(converted, gain, clipped);
      const Edges edges = soundEdges(pcm, kEdgeLevel, kEdgeMarginSamples);
      const std::span<const std::int16_t> unit(pcm.data() + edges.start, edges.end - edges.start);
      const int peak = peakLevel(unit);
      if (clipped > 0) error = std::to_string(clipped) + " samples clip";
      else if (peak < kMinUnitPeak) error = "silent (peak " + std::to_string(peak) + ")";
      else if (unit.size() > kMaxUnitSamples)
        error = std::to_string(unit.size()) + " samples; a unit holds at most " + std::to_string(kMaxUnitSamples);
      if (error.empty()) error = writeFileAtomically(file.string(), wavFileBytes(unit, kUnitRateHz));
      if (!error.empty()) {
        std::fprintf(stderr, "make_default_voice: %s [[%s]]: %s\n", where.c_str(), j.phonemes.c_str(), error.c_str());
        return kExitFailure;
      }
      found = recorded.emplace(j.phonemes, Recording{file, unit.size(), peak}).first;
    } else {
      std::error_code ec;
      fs::create_hard_link(found->second.file, file, ec);
      if (ec) fs::copy_file(found->second.file, file, fs::copy_options::overwrite_existing, ec);
      if (ec) {
        std::fprintf(stderr, "make_default_voice: %s: cannot link %s: %s\n", where.c_str(), file.string().c_str(),
                     ec.message().c_str());
        return kExitFailure;
      }
    }
    perUnit.push_back(&found->second);
    manifest += std::to_string(j.unit) + '\t' + j.label + '\t' + j.jyutping + '\t' + j.phonemes + '\t' +
                std::to_string(found->second.samples) + '\t' + std::to_string(found->second.peak) + '\n';
  }
  if (std::string error =
          writeFileAtomically((unitsDir / "manifest.txt").string(),
                              {reinterpret_cast<const std::uint8_t*>(manifest.data()), manifest.size()});
      !error.empty()) {
    std::fprintf(stderr, "make_default_voice: %s\n", error.c_str());
    return kExitFailure;
  }

  // --- Summary.
  std::vector<std::size_t> lengths;
  int loudest = 0, quietest = 32768;
  std::uint64_t totalSamples = 0;
  for (const Recording* r : perUnit) {
    lengths.push_back(r->samples);
    loudest = std::max(loudest, r->peak);
    quietest = std::min(quietest, r->peak);
    totalSamples += r->samples;
  }
  if (lengths.empty()) lengths.push_back(0);  // keeps the summary defined for a run without units
  std::sort(lengths.begin(), lengths.end());
  const auto ms = [](std::size_t samples) { return static_cast<double>(samples) * 1000.0 / kUnitRateHz; };
  std::printf(
      "units: %zu (%zu recordings) in %.1f s; length min %.0f ms, median %.0f ms, max %.0f ms; "
      "%.0f s of audio; peak %d..%d\n",
      jobs.size(), recorded.size(), secondsSince(recordingStarted), ms(lengths.front()),
      ms(lengths[lengths.size() / 2]), ms(lengths.back()), static_cast<double>(totalSamples) / kUnitRateHz, quietest,
      loudest);
  std::printf("done in %.1f s\n", secondsSince(started));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return kExitUsage;
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_default_voice: %s\n", e.what());
    return kExitFailure;
  }
}
