#include "synth/syllable_voice.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "platform/file_map.h"
#include "synth/mpeg_decoder.h"
#include "synth/voice_format.h"

namespace sonvale::voice {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxUnitSamples = kMaxDecodedUnitBytes / 2;
constexpr std::size_t kMaxClipSamples = 30 * kUnitRateHz;  // a recording before trimming
constexpr std::size_t kGateFrame = kUnitRateHz / 100;      // 10 ms
constexpr std::size_t kGateMargin = 2 * kGateFrame;        // kept before and after the sound
constexpr std::size_t kFadeSamples = kUnitRateHz / 200;    // 5 ms
constexpr double kGateBelowLoudestDb = 40;                 // the gate sits this far below the loudest frame
constexpr double kGateFloorDb = -60;                       // and never below this
constexpr double kQuietestUsableDb = -50;                  // a loudest frame below this is no recording

struct EburDeleter {
  void operator()(ebur128_state* st) const { ebur128_destroy(&st); }
};

double frameDb(std::span<const float> frame) {
  double sum = 0;
  for (const float x : frame) sum += static_cast<double>(x) * x;
  const double rms = std::sqrt(sum / static_cast<double>(std::max<std::size_t>(1, frame.size())));
  return rms > 0 ? 20 * std::log10(rms) : -HUGE_VAL;
}

std::string readText(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return "cannot read " + path;
  return {};
}

// The syllables of a fill voice: each syllable's unit audio, decoded.
class FillVoice {
 public:
  std::string open(const std::string& folder) {
    const fs::path dir(folder);
    std::string listText;
    if (std::string error = readText((dir / "units.txt").string(), listText); !error.empty())
      return "--fill-from " + folder + ": " + error + " (the unit list tells which unit says which syllable)";
    std::vector<UnitReading> units;
    if (std::string error = parseUnitList(listText, units); !error.empty())
      return (dir / "units.txt").string() + " " + error;
    for (const UnitReading& u : units) {
      if (u.syllables.size() == 1) unitOf_.emplace(u.syllables[0], u.unit);
      says_[u.unit] = u.syllables;
    }
    for (const auto& [file, name] : {std::pair{&def_, kVoiceDefFileName}, std::pair{&data_, kVoiceDataFileName}})
      if (file->open((dir / name).string()) != ERROR_SUCCESS)
        return "--fill-from " + folder + ": cannot read " + (dir / name).string();
    return {};
  }

  // The syllable's audio as floats, or false when the voice has no unit for it.
  bool syllable(const std::string& syllable, std::vector<float>& out) {
    const auto it = unitOf_.find(syllable);
    return it != unitOf_.end() && decode(it->second, out);
  }

  // The audio of unit `code` when the voice's unit says `syllables` too (a
  // syllable it says only within a name, such as a letter's).
  bool unit(std::uint32_t code, const std::vector<std::string>& syllables, std::vector<float>& out) {
    const auto it = says_.find(code);
    return it != says_.end() && it->second == syllables && decode(code, out);
  }

 private:
  bool decode(std::uint32_t code, std::vector<float>& out) {
    UnitEntry e;
    if (!readUnitEntry(def_.bytes(), code, e) || e.length == 0 ||
        std::uint64_t{e.offset} + e.length > data_.bytes().size())
      return false;
    std::vector<std::uint8_t> chunk(8192), decoded(kMaxDecodedUnitBytes);
    std::size_t bytes = 0;
    MpegDecoder decoder;
    if (decoder.decode(data_.bytes().subspan(e.offset, e.length), chunk, decoded, bytes) !=
            MpegDecoder::Status::Complete ||
        bytes == 0)
      return false;
    out.resize(bytes / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
      out[i] = static_cast<float>(static_cast<std::int16_t>(decoded[2 * i] | decoded[2 * i + 1] << 8)) / 32768.0f;
    return true;
  }

  std::map<std::string, std::uint32_t> unitOf_;
  std::map<std::uint32_t, std::vector<std::string>> says_;
  platform::MappedFile def_, data_;
};

std::int16_t toPcm(float x) {
  return static_cast<std::int16_t>(std::clamp(std::round(static_cast<double>(x) * 32768.0), -32768.0, 32767.0));
}

}  // namespace

bool isJyutpingSyllable(std::string_view s) {
  if (s.size() < 2 || s.back() < '1' || s.back() > '6') return false;
  return std::all_of(s.begin(), s.end() - 1, [](char c) { return c >= 'a' && c <= 'z'; });
}

namespace {

// The lines of a tab-separated list that are not blank or '#' comments, each
// with its 1-based number and its fields.
std::vector<std::pair<std::size_t, std::vector<std::string_view>>> listLines(std::string_view text) {
  std::vector<std::pair<std::size_t, std::vector<std::string_view>>> lines;
  std::size_t lineNumber = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string_view> fields;
    for (std::size_t f = 0; f <= line.size();) {
      const std::size_t tab = std::min(line.find('\t', f), line.size());
      fields.push_back(line.substr(f, tab - f));
      f = tab + 1;
    }
    lines.emplace_back(lineNumber, std::move(fields));
  }
  return lines;
}

// A share of text in percent, 0..100.
bool parseShare(std::string_view field, double& share) {
  const std::string text(field);
  char* stop = nullptr;
  share = std::strtod(text.c_str(), &stop);
  return !text.empty() && *stop == '\0' && share >= 0 && share <= 100;
}

}  // namespace

std::string parseSyllableList(std::string_view text, std::vector<SyllableEntry>& list) {
  list.clear();
  for (const auto& [lineNumber, fields] : listLines(text)) {
    SyllableEntry e;
    e.syllable = fields[0];
    if (!isJyutpingSyllable(e.syllable) || fields.size() < 2 || !parseShare(fields[1], e.sharePercent))
      return "line " + std::to_string(lineNumber) + ": expected SYLLABLE<TAB>SHARE[<TAB>EXAMPLE]...";
    e.examples.assign(fields.begin() + 2, fields.end());
    list.push_back(std::move(e));
  }
  return {};
}

std::string parseUnitList(std::string_view text, std::vector<UnitReading>& units) {
  units.clear();
  for (const auto& [lineNumber, fields] : listLines(text)) {
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    UnitReading u;
    const std::string code(fields[0]);
    char* stop = nullptr;
    const unsigned long value = std::strtoul(code.c_str(), &stop, 10);
    if (code.empty() || *stop != '\0' || code.size() > 5 || value >= kUnitCount)
      return where + "expected a unit code 0..21901, found \"" + code + "\"";
    u.unit = static_cast<std::uint32_t>(value);
    if (fields.size() < 2 || fields.size() > 3) return where + "expected UNIT<TAB>JYUTPING[<TAB>SHARE]";
    for (std::size_t s = 0; s <= fields[1].size();) {
      const std::size_t space = std::min(fields[1].find(' ', s), fields[1].size());
      const std::string_view syllable = fields[1].substr(s, space - s);
      s = space + 1;
      if (syllable.empty()) continue;
      if (!isJyutpingSyllable(syllable))
        return where + "\"" + std::string(syllable) + "\" is not a jyutping syllable (letters and a tone 1..6)";
      u.syllables.emplace_back(syllable);
    }
    if (u.syllables.empty()) return where + "unit " + code + " says no syllable";
    if (fields.size() == 3 && !parseShare(fields[2], u.sharePercent))
      return where + "expected a share of 0..100 (percent), found \"" + std::string(fields[2]) + "\"";
    units.push_back(std::move(u));
  }
  return {};
}

std::vector<SyllableUse> syllablesByUse(std::span<const UnitReading> units) {
  std::map<std::string, SyllableUse> bySyllable;
  for (const UnitReading& u : units) {
    for (const std::string& s : std::set<std::string>(u.syllables.begin(), u.syllables.end())) {
      SyllableUse& use = bySyllable[s];
      use.syllable = s;
      ++use.units;
    }
    if (u.syllables.size() == 1) bySyllable[u.syllables[0]].sharePercent += u.sharePercent;
  }
  std::vector<SyllableUse> list;
  for (auto& [s, use] : bySyllable) list.push_back(std::move(use));
  std::stable_sort(list.begin(), list.end(), [](const SyllableUse& a, const SyllableUse& b) {
    return a.sharePercent != b.sharePercent ? a.sharePercent > b.sharePercent : a.units > b.units;
  });
  return list;
}

double clipLoudness(std::span<const float> samples) {
  const auto ms = static_cast<unsigned long>(samples.size() * 1000 / kUnitRateHz);
  if (ms == 0) return -HUGE_VAL;
  const std::unique_ptr<ebur128_state, EburDeleter> st(ebur128_init(1, kUnitRateHz, EBUR128_MODE_M));
  if (!st) throw std::bad_alloc();
  double loudness = -HUGE_VAL;
  // The window is at least 400 ms already; a shorter one is "no change".
  if (const int set = ebur128_set_max_window(st.get(), ms); set != EBUR128_SUCCESS && set != EBUR128_ERROR_NO_CHANGE)
    return -HUGE_VAL;
  if (ebur128_add_frames_float(st.get(), samples.data(), samples.size()) != EBUR128_SUCCESS ||
      ebur128_loudness_window(st.get(), ms, &loudness) != EBUR128_SUCCESS)
    return -HUGE_VAL;
  return loudness;
}

std::string cleanSyllableClip(std::vector<float> clip, std::vector<float>& cleaned, bool& peakLimited) {
  cleaned.clear();
  peakLimited = false;
  if (clip.size() < kGateFrame) return "holds less than 10 ms of audio";
  double mean = 0;
  for (const float x : clip) mean += x;
  mean /= static_cast<double>(clip.size());
  for (float& x : clip) x = static_cast<float>(x - mean);

  // The energy gate: 10 ms frames, the sound from the first to the last frame
  // within 40 dB of the loudest, with 20 ms kept around it.
  const std::size_t frames = clip.size() / kGateFrame;
  std::vector<double> levels(frames);
  double loudest = -HUGE_VAL;
  for (std::size_t f = 0; f < frames; ++f) {
    levels[f] = frameDb({clip.data() + f * kGateFrame, kGateFrame});
    loudest = std::max(loudest, levels[f]);
  }
  if (loudest < kQuietestUsableDb) {
    char text[96];
    std::snprintf(text, sizeof text, "is too quiet (loudest 10 ms at %.0f dBFS; at least %.0f needed)", loudest,
                  kQuietestUsableDb);
    return text;
  }
  const double gate = std::max(loudest - kGateBelowLoudestDb, kGateFloorDb);
  std::size_t first = 0, last = frames - 1;
  while (levels[first] < gate) ++first;
  while (levels[last] < gate) --last;
  const std::size_t start = first * kGateFrame > kGateMargin ? first * kGateFrame - kGateMargin : 0;
  const std::size_t end = std::min(clip.size(), (last + 1) * kGateFrame + kGateMargin);
  cleaned.assign(clip.begin() + static_cast<std::ptrdiff_t>(start), clip.begin() + static_cast<std::ptrdiff_t>(end));

  const std::size_t fade = std::min(kFadeSamples, cleaned.size() / 2);
  for (std::size_t i = 0; i < fade; ++i) {
    const auto g = static_cast<float>(i) / static_cast<float>(fade);
    cleaned[i] *= g;
    cleaned[cleaned.size() - 1 - i] *= g;
  }

  const double loudness = clipLoudness(cleaned);
  if (!std::isfinite(loudness)) return "has no measurable loudness";
  double gain = std::pow(10.0, (kSyllableLoudnessLufs - loudness) / 20.0);
  float peak = 0;
  for (const float x : cleaned) peak = std::max(peak, std::abs(x));
  if (peak * gain > kSyllablePeakLimit) {
    gain = kSyllablePeakLimit / peak;
    peakLimited = true;
  }
  for (float& x : cleaned) x = static_cast<float>(x * gain);
  return {};
}

std::string buildVoiceFromSyllables(const SyllableBuildOptions& o, const BuildProgress& clipProgress,
                                    const BuildProgress& unitProgress, SyllableBuildReport& report) {
  report = SyllableBuildReport{};
  try {
    std::string text;
    std::vector<UnitReading> units;
    if (std::string error = readText(o.unitList, text); !error.empty()) return error;
    if (std::string error = parseUnitList(text, units); !error.empty()) return o.unitList + " " + error;
    if (units.empty()) return o.unitList + " lists no units";
    std::sort(units.begin(), units.end(), [](const auto& a, const auto& b) { return a.unit < b.unit; });
    for (std::size_t i = 1; i < units.size(); ++i)
      if (units[i].unit == units[i - 1].unit)
        return o.unitList + ": unit " + std::to_string(units[i].unit) + " is listed twice";
    const std::vector<SyllableUse> uses = syllablesByUse(units);
    report.syllablesNeeded = uses.size();
    std::set<std::string> needed;
    for (const SyllableUse& u : uses) needed.insert(u.syllable);

    std::vector<WordLine> words;
    if (std::string error = readText(o.wordsFile, text); !error.empty()) return error;
    if (std::string error = parseWordsFile(text, words); !error.empty()) return o.wordsFile + " " + error;

    // The recordings: <syllable>.<extension>, one per syllable.
    std::error_code ec;
    if (!fs::is_directory(o.syllablesDir, ec)) return "syllables folder " + o.syllablesDir + " is not a folder";
    std::map<std::string, fs::path> files;
    for (fs::directory_iterator it(o.syllablesDir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.empty() || name[0] == '.' || !it->is_regular_file(ec)) continue;
      const std::string stem = it->path().stem().string();
      if (!needed.count(stem)) {
        report.ignored.push_back(name);
        continue;
      }
      const auto [at, inserted] = files.emplace(stem, it->path());
      if (!inserted)
        return "syllable " + stem + " has two recordings: " + at->second.string() + " and " + it->path().string();
    }
    if (ec) return "cannot read the syllables folder " + o.syllablesDir + ": " + ec.message();
    std::sort(report.ignored.begin(), report.ignored.end());
    report.syllablesRecorded = files.size();

    FillVoice fill;
    if (!o.fillFrom.empty())
      if (std::string error = fill.open(o.fillFrom); !error.empty()) return error;

    // Every syllable cleaned once.
    std::map<std::string, std::vector<float>> clips;
    std::map<std::string, bool> limited;
    std::vector<float> raw, cleaned;
    const auto total = static_cast<std::uint32_t>(uses.size());
    std::uint32_t done = 0;
    if (clipProgress) clipProgress(0, total);
    for (const SyllableUse& use : uses) {
      bool peakLimited = false;
      if (const auto file = files.find(use.syllable); file != files.end()) {
        const std::string where = file->second.string() + ": ";
        if (std::string error = loadRecording(file->second.string(), kMaxClipSamples, raw, true); !error.empty())
          return where + error;
        if (std::string error = cleanSyllableClip(raw, cleaned, peakLimited); !error.empty()) return where + error;
        if (cleaned.size() > kMaxUnitSamples)
          return where + "the syllable lasts " + std::to_string(cleaned.size() * 1000 / kUnitRateHz) +
                 " ms after trimming; a unit holds at most 2720 ms";
        clips[use.syllable] = cleaned;
      } else {
        MissingSyllable m{use, false};
        if (!o.fillFrom.empty() && fill.syllable(use.syllable, raw) &&
            cleanSyllableClip(raw, cleaned, peakLimited).empty()) {
          clips[use.syllable] = cleaned;
          m.filled = true;
        } else {
          report.missingSharePercent += use.sharePercent;
        }
        report.missing.push_back(m);
      }
      limited[use.syllable] = peakLimited;
      if (clipProgress) clipProgress(++done, total);
    }

    // Units: each says its syllables one after another; a unit with a
    // syllable that has no clip is taken whole from the fill voice when that
    // says the same, else says nothing.
    std::vector<std::uint32_t> codes;
    std::vector<const UnitReading*> sources;
    std::map<std::uint32_t, std::vector<float>> wholeUnits;
    std::vector<bool> speaks(kUnitCount, false);
    for (const UnitReading& u : units) {
      const bool complete =
          std::all_of(u.syllables.begin(), u.syllables.end(), [&clips](const auto& s) { return clips.count(s) > 0; });
      bool peakLimited = false;
      if (complete) {
        std::size_t length = 0;
        for (const std::string& s : u.syllables) {
          length += clips[s].size();
          peakLimited = peakLimited || limited[s];
        }
        if (length > kMaxUnitSamples) {
          std::string said;
          for (const std::string& s : u.syllables) said += (said.empty() ? "" : " ") + s;
          return "unit " + std::to_string(u.unit) + " (" + said + ") would last " +
                 std::to_string(length * 1000 / kUnitRateHz) +
                 " ms; a unit holds at most 2720 ms: record its syllables shorter";
        }
      } else if (!o.fillFrom.empty() && fill.unit(u.unit, u.syllables, raw) &&
                 cleanSyllableClip(raw, cleaned, peakLimited).empty() && cleaned.size() <= kMaxUnitSamples) {
        wholeUnits[u.unit] = cleaned;
        ++report.unitsFilledWhole;
      } else {
        ++report.silentUnits;
        continue;
      }
      if (peakLimited) ++report.peakLimitedUnits;
      codes.push_back(u.unit);
      sources.push_back(&u);
      speaks[u.unit] = true;
    }
    if (codes.empty()) return "no unit has all its syllables recorded in " + o.syllablesDir;

    // A word that would need a silent unit is left out: its characters are
    // then said one by one.
    std::vector<WordLine> kept;
    for (const WordLine& w : words) {
      bool ok = true;
      for (std::size_t i = 0; i < w.record.readingLength() && ok; ++i) {
        const char16_t c = w.record.reading[i];
        ok = c >= 0x4A18 && c <= 0x9FA5 && speaks[c - 0x4A18u];
      }
      if (ok)
        kept.push_back(w);
      else
        ++report.droppedWords;
    }

    const UnitAudioLoader load = [&](std::size_t i, std::vector<std::int16_t>& samples, std::string& source) {
      samples.clear();
      if (const auto whole = wholeUnits.find(sources[i]->unit); whole != wholeUnits.end()) {
        source = "whole from the fill voice";
        for (const float x : whole->second) samples.push_back(toPcm(x));
        return std::string();
      }
      for (const std::string& s : sources[i]->syllables) {
        source += (source.empty() ? "" : " ") + s;
        for (const float x : clips[s]) samples.push_back(toPcm(x));
      }
      return std::string();
    };
    return buildVoiceFromAudio(codes, load, kept, o.outDir, unitProgress, report.summary);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return std::string("unexpected failure: ") + e.what();
  }
}

}  // namespace sonvale::voice
