// Voice building and checking.
//
// Building: every recording is read with libsndfile as floats, its channels
// averaged, converted to 11025 Hz with soxr (high-quality recipe, one thread,
// float in and out) and rounded to 16 bits here, so no dither or thread timing
// can change the result. Each unit is coded with LAME as a CBR MPEG-2.5
// Layer III stream that starts with a LAME info frame: the decoder reads the
// encoder delay and padding from it, so a unit decodes to exactly the samples
// it was made from. The unit is then decoded with the engine's own decoder to
// measure its length and energy. Units with identical coded bytes share one
// stretch of the unit audio. Nothing is written until every unit and word has
// passed; the files are then written beside their final names and renamed.
#include "synth/voice_builder.h"

#include <lame/lame.h>
#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "platform/file_map.h"
#include "platform/le_bytes.h"
#include "platform/utf.h"
#include "synth/mpeg_decoder.h"
#include "synth/voice_format.h"

namespace sonvale::voice {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMaxUnitSamples = kMaxDecodedUnitBytes / 2;
constexpr std::size_t kDecodeChunkBytes = 8192;  // as the engine reads
constexpr std::size_t kMaxTextUnits = 8;
constexpr std::size_t kMaxRomanChars = 7;
constexpr std::size_t kMaxNoteUnits = 49;
constexpr int kMinParam = -10;
constexpr int kMaxParam = 10;
constexpr int kMinDurationIndex = -9;  // the pad divisor table starts at -9
constexpr char16_t kLastIndexedChar = 0x9FA5;
constexpr std::uint32_t kFirstIdeographUnit = 1000;

// The engine speaks reading character c with unit c - 0x4A18: the ideographs
// name units 1000..21901, and U+4A18..U+4DFF the units below 1000 that no
// ideograph of a text reaches (extra syllables of a voice).
constexpr char16_t kFirstReadingChar = 0x4A18;

bool isIndexedIdeograph(char16_t c) { return c >= kFirstIndexedChar && c <= kLastIndexedChar; }
bool isReadingChar(char16_t c) { return c >= kFirstReadingChar && c <= kLastIndexedChar; }
std::uint32_t unitOfReadingChar(char16_t c) { return std::uint32_t{c} - kFirstReadingChar; }

std::string hex4(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(value));
  return text;
}

// "U+4F60 (你)" for a code unit; control characters only by number.
std::string describeChar(char16_t c) {
  std::string out = hex4(c);
  if (c >= 0x21 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && !(c >= 0xD800 && c <= 0xDFFF))
    out += " (" + platform::utf16ToUtf8(std::u16string(1, c)) + ")";
  return out;
}

// "unit 1000 (U+4E00 (一))": the character a unit code stands for.
std::string describeUnit(std::uint32_t unit) {
  std::string out = "unit " + std::to_string(unit);
  if (unit >= kFirstIdeographUnit && unit < kUnitCount)
    out += " (" + describeChar(static_cast<char16_t>(unit - kFirstIdeographUnit + kFirstIndexedChar)) + ")";
  else if (unit >= 501 && unit <= 563)
    out += " (" + describeChar(static_cast<char16_t>(unit + 0x2E0C)) + ")";
  else if (unit < 256)
    out += " (" + describeChar(static_cast<char16_t>(unit)) + ")";
  return out;
}

std::string inQuotes(std::u16string_view text) { return "\"" + platform::utf16ToUtf8(text) + "\""; }

std::u16string_view textOf(const char16_t* units, std::size_t capacity) {
  std::size_t n = 0;
  while (n < capacity && units[n] != 0) ++n;
  return {units, n};
}

// ---------------------------------------------------------------------------
// Words file

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> split(std::string_view s, char separator, bool skipEmpty) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = s.find(separator, start);
    const std::string_view part = s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (!(skipEmpty && part.empty())) parts.push_back(part);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

bool parseInt(std::string_view s, int& out) {
  s = trimBlanks(s);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 4) return false;
  int value = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  out = negative ? -value : value;
  return true;
}

// Decodes one field, refusing malformed UTF-8 (which the converter would turn
// into U+FFFD) and control characters.
std::string decodeField(std::string_view field, const char* name, std::u16string& out) {
  out = platform::utf8ToUtf16(field);
  const bool hadReplacement = field.find("\xEF\xBF\xBD") != std::string_view::npos;
  for (const char16_t c : out) {
    if (c == 0xFFFD && !hadReplacement) return std::string(name) + " is not valid UTF-8";
    if (c < 0x20 || c == 0x7F) return std::string(name) + " holds the control character " + hex4(c);
  }
  return {};
}

std::string parseWordLine(std::string_view line, WordRecord& w) {
  w.clear();
  const std::vector<std::string_view> fields = split(line, '\t', false);
  if (fields.size() > 5)
    return "expected at most 5 TAB-separated fields (TEXT, READING, ROMANIZATION, PARAMS, NOTE), found " +
           std::to_string(fields.size());
  const auto field = [&](std::size_t i) { return i < fields.size() ? trimBlanks(fields[i]) : std::string_view{}; };

  std::u16string text;
  if (auto e = decodeField(field(0), "TEXT", text); !e.empty()) return e;
  if (text.size() < 2 || text.size() > kMaxTextUnits)
    return "TEXT " + inQuotes(text) + " has " + std::to_string(text.size()) + " UTF-16 code units; expected 2 to 8";
  if (!isIndexedIdeograph(text[0]))
    return "TEXT " + inQuotes(text) + " starts with " + describeChar(text[0]) +
           "; the first character must be an ideograph U+4E00..U+9FA5";
  for (const char16_t c : text)
    if (c == u' ') return "TEXT " + inQuotes(text) + " holds a space";

  std::u16string reading;
  if (auto e = decodeField(field(1), "READING", reading); !e.empty()) return e;
  const bool readingGiven = !reading.empty();
  if (!readingGiven) reading = text;
  if (reading.size() > kMaxWordSyllables)
    return "READING " + inQuotes(reading) + " has " + std::to_string(reading.size()) +
           " UTF-16 code units; expected 1 to 8";
  for (const char16_t c : reading)
    if (!isReadingChar(c))
      return std::string(readingGiven ? "READING " : "TEXT (used as the reading) ") + inQuotes(reading) + " holds " +
             describeChar(c) + ", which is not a character U+4A18..U+9FA5 and has no voice unit";

  std::copy(text.begin(), text.end(), w.text);
  std::copy(reading.begin(), reading.end(), w.reading);

  const std::string_view roman = field(2);
  if (!roman.empty()) {
    const std::vector<std::string_view> items = split(roman, ' ', true);
    if (items.size() != text.size())
      return "ROMANIZATION has " + std::to_string(items.size()) + " items; expected one per code unit of TEXT (" +
             std::to_string(text.size()) + ")";
    for (std::size_t k = 0; k < items.size(); ++k) {
      if (items[k].size() > kMaxRomanChars)
        return "ROMANIZATION item " + std::to_string(k + 1) + " \"" + std::string(items[k]) + "\" has " +
               std::to_string(items[k].size()) + " characters; at most 7";
      for (const char c : items[k])
        if (c < 0x21 || c > 0x7E)
          return "ROMANIZATION item " + std::to_string(k + 1) + " holds a character that is not printable ASCII";
      std::copy(items[k].begin(), items[k].end(), w.romanization[k]);
    }
  }

  const std::string_view params = field(3);
  if (!params.empty()) {
    const std::vector<std::string_view> items = split(params, ' ', true);
    if (items.size() != reading.size())
      return "PARAMS has " + std::to_string(items.size()) +
             " items; expected one cb,ca,vi,di per syllable of READING (" + std::to_string(reading.size()) + ")";
    for (std::size_t k = 0; k < items.size(); ++k) {
      const std::vector<std::string_view> values = split(items[k], ',', false);
      std::array<int, 4> v{};
      bool ok = values.size() == 4;
      for (std::size_t i = 0; ok && i < 4; ++i) ok = parseInt(values[i], v[i]);
      const std::string which = "PARAMS item " + std::to_string(k + 1) + " \"" + std::string(items[k]) + "\"";
      if (!ok) return which + " is not four integers cb,ca,vi,di";
      static constexpr const char* kNames[3] = {"cutBefore", "cutAfter", "volumeIndex"};
      for (std::size_t i = 0; i < 3; ++i)
        if (v[i] < kMinParam || v[i] > kMaxParam)
          return which + ": " + kNames[i] + " " + std::to_string(v[i]) + " is outside -10..10";
      if (v[3] < kMinDurationIndex || v[3] > kMaxParam)
        return which + ": durationIndex " + std::to_string(v[3]) + " is outside -9..10";
      w.cutBefore[k] = v[0];
      w.cutAfter[k] = v[1];
      w.volumeIndex[k] = v[2];
      w.durationIndex[k] = v[3];
    }
  }

  std::u16string note;
  if (auto e = decodeField(field(4), "NOTE", note); !e.empty()) return e;
  if (note.size() > kMaxNoteUnits) return "NOTE has " + std::to_string(note.size()) + " UTF-16 code units; at most 49";
  std::copy(note.begin(), note.end(), w.note);
  return {};
}

// ---------------------------------------------------------------------------
// Audio

void quietReport(const char*, va_list) {}

struct LameDeleter {
  void operator()(lame_global_flags* gf) const { lame_close(gf); }
};
struct SndfileDeleter {
  void operator()(SNDFILE* f) const { sf_close(f); }
};

std::int16_t toSample(float x) {
  const double scaled = std::round(static_cast<double>(x) * 32768.0);
  return static_cast<std::int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::string seconds(std::size_t samples, double rateHz) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(samples) / rateHz);
  return text;
}

// ---------------------------------------------------------------------------
// Units folder

struct UnitFile {
  std::uint32_t unit = 0;
  fs::path path;
};

std::string listUnitFiles(const fs::path& dir, std::vector<UnitFile>& units) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return "units folder " + dir.string() + " is not a folder";
  fs::directory_iterator it(dir, ec);
  if (ec) return "cannot read the units folder " + dir.string() + ": " + ec.message();
  std::map<std::uint32_t, fs::path> byUnit;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return "cannot read the units folder " + dir.string() + ": " + ec.message();
    const std::string name = it->path().filename().string();
    // Only names that begin with a digit are recordings; others (a licence,
    // a notes file) are left alone.
    if (name.empty() || name[0] < '0' || name[0] > '9') continue;
    if (!it->is_regular_file(ec)) continue;
    const std::size_t digits = name.find_first_not_of("0123456789");
    if (digits == std::string::npos || name[digits] != '.' || digits + 1 == name.size())
      return "unit recording " + it->path().string() + ": expected a name <unitcode>.<extension>, such as 1000.wav";
    if (digits > 6 || std::stoul(name.substr(0, digits)) >= kUnitCount)
      return "unit recording " + it->path().string() + ": unit code " + name.substr(0, digits) + " is outside 0..21901";
    const auto unit = static_cast<std::uint32_t>(std::stoul(name.substr(0, digits)));
    const auto [at, inserted] = byUnit.emplace(unit, it->path());
    if (!inserted)
      return "unit " + std::to_string(unit) + " has two recordings: " + at->second.string() + " and " +
             it->path().string();
  }
  units.clear();
  for (const auto& [unit, path] : byUnit) units.push_back({unit, path});
  return {};
}

// ---------------------------------------------------------------------------
// Output

// Writes `files` into `dir` next to their final names, then renames each over
// its final name. On failure the temporary files are removed and no final
// name has been touched unless a rename itself failed part way.
std::string writeFiles(const fs::path& dir,
                       const std::vector<std::pair<std::string, const std::vector<std::uint8_t>*>>& files) {
  std::error_code ec;
  bool createdDir = false;
  if (!fs::exists(dir, ec)) {
    createdDir = fs::create_directories(dir, ec);
    if (ec) return "cannot create the output folder " + dir.string() + ": " + ec.message();
  } else if (!fs::is_directory(dir, ec)) {
    return "output " + dir.string() + " is not a folder";
  }
  const std::string suffix = ".tmp" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  std::vector<fs::path> temporaries;
  std::string error;
  for (const auto& [name, bytes] : files) {
    const fs::path temporary = dir / ("." + name + suffix);
    temporaries.push_back(temporary);
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    out.close();  // a full disk may only show when the last buffer goes out
    if (!out) {
      error = "cannot write " + temporary.string();
      break;
    }
  }
  if (error.empty()) {
    for (std::size_t i = 0; i < files.size(); ++i) {
      fs::rename(temporaries[i], dir / files[i].first, ec);
      if (ec) {
        error =
            "cannot rename " + temporaries[i].string() + " to " + (dir / files[i].first).string() + ": " + ec.message();
        break;
      }
    }
  }
  if (!error.empty()) {
    for (const fs::path& temporary : temporaries) fs::remove(temporary, ec);
    if (createdDir) fs::remove(dir, ec);
  }
  return error;
}

// ---------------------------------------------------------------------------
// Checking

struct DictionaryCheck {
  std::span<const std::uint8_t> file;
  const std::vector<bool>* unitSpeaks = nullptr;  // per unit code: decodes to audio; null when unknown
  std::vector<std::string>* problems = nullptr;
  std::uint32_t recordCount = 0;
  std::set<std::uint32_t> checked;
  std::uint32_t words = 0;

  std::string where(std::uint32_t k, const WordRecord& w) const {
    return std::string(kVoiceWordFileName) + ": record " + std::to_string(k) + " " + inQuotes(textOf(w.text, 9));
  }

  bool read(std::uint32_t k, WordRecord& w) const {
    return readWordRecord(
        ByteReader(file).bytes(kRecordsOffset + static_cast<std::size_t>(k) * kWordRecordBytes, kWordRecordBytes), w);
  }

  // Checks one reachable record once: what the speaking loop will take from it.
  void checkRecord(std::uint32_t k) {
    if (!checked.insert(k).second) return;
    WordRecord w;
    if (!read(k, w) || w.disabled != 0) return;
    const std::size_t textUnits = w.textLength();
    if (textUnits < 2 || textUnits > kMaxTextUnits) {
      problems->push_back(where(k, w) + ": text of " + std::to_string(textUnits) +
                          " code units; expected 2 to 8 and a NUL");
      return;
    }
    ++words;
    const std::size_t syllables = w.readingLength();
    if (syllables < 1 || syllables > kMaxWordSyllables) {
      problems->push_back(where(k, w) + ": reading of " + std::to_string(syllables) +
                          " code units; expected 1 to 8 and a NUL");
      return;
    }
    for (std::size_t i = 0; i < syllables; ++i) {
      const char16_t c = w.reading[i];
      if (!isReadingChar(c)) {
        problems->push_back(where(k, w) + ": reading character " + describeChar(c) +
                            " is not a character U+4A18..U+9FA5, so it names no unit");
      } else {
        const std::uint32_t unit = unitOfReadingChar(c);
        if (unitSpeaks != nullptr && !(*unitSpeaks)[unit])
          problems->push_back(where(k, w) + ": reading character " + describeChar(c) + " needs " + describeUnit(unit) +
                              ", which has no playable audio");
      }
    }
  }

  void checkIndexEntry(std::uint32_t i, std::uint32_t first, std::uint32_t last) {
    const char16_t c = static_cast<char16_t>(kFirstIndexedChar + i);
    const std::string where = std::string(kVoiceWordFileName) + ": index entry of " + describeChar(c);
    if (first > last) {
      problems->push_back(where + ": first record " + std::to_string(first) + " is after last record " +
                          std::to_string(last));
      return;
    }
    if (last >= recordCount) {
      problems->push_back(where + ": records " + std::to_string(first) + ".." + std::to_string(last) +
                          ", but the file holds " + std::to_string(recordCount) + " records");
      return;
    }
    // The search cuts its probe to each record's length in turn and never
    // lengthens it again, so a record after a shorter one can never match.
    std::size_t shortest = kMaxTextUnits + 1;
    std::uint32_t shortestRecord = 0;
    for (std::uint32_t k = first; k <= last; ++k) {
      WordRecord w;
      read(k, w);
      const std::size_t length = w.textLength();
      if (length >= 2 && w.disabled == 0) {
        if (w.text[0] != c)
          problems->push_back(this->where(k, w) + ": listed under " + describeChar(c) + " but starts with " +
                              describeChar(w.text[0]));
        else if (length > shortest)
          problems->push_back(this->where(k, w) + ": can never match: record " + std::to_string(shortestRecord) +
                              " before it under " + describeChar(c) + " has a shorter text");
      }
      if (length >= 2 && length < shortest) {
        shortest = length;
        shortestRecord = k;
      }
      checkRecord(k);
      if (k == std::numeric_limits<std::uint32_t>::max()) break;
    }
  }
};

void checkDictionary(std::span<const std::uint8_t> file, const std::vector<bool>* unitSpeaks, VoiceCheck& check) {
  const std::string name = kVoiceWordFileName;
  if (file.size() < kRecordsOffset) {
    check.problems.push_back(name + ": " + std::to_string(file.size()) + " bytes; a dictionary needs at least " +
                             std::to_string(kRecordsOffset) + " (header and the index of 20902 characters)");
    return;
  }
  if (!hasDictIdentity(file))
    check.problems.push_back(name + ": identity at byte 12: expected \"" + std::string(kDictId) +
                             "\" and a NUL, found other bytes");
  DictionaryCheck d;
  d.file = file;
  d.unitSpeaks = unitSpeaks;
  d.problems = &check.problems;
  const std::size_t recordBytes = file.size() - kRecordsOffset;
  d.recordCount = static_cast<std::uint32_t>(
      std::min<std::size_t>(recordBytes / kWordRecordBytes, std::numeric_limits<std::uint32_t>::max()));
  if (recordBytes % kWordRecordBytes != 0)
    check.problems.push_back(name + ": " + std::to_string(recordBytes % kWordRecordBytes) +
                             " bytes after the last whole record; records are 428 bytes");

  const ByteReader r(file);
  std::uint32_t sharedFirst = 0, sharedCount = 0;
  r.u32le(kSharedFirstOffset, sharedFirst);
  r.u32le(kSharedCountOffset, sharedCount);
  for (std::uint32_t i = 0; i < kIndexedChars; ++i) {
    std::uint32_t first = 0, last = 0;
    r.u32le(kCharIndexOffset + kCharIndexEntryBytes * i + 4, first);
    r.u32le(kCharIndexOffset + kCharIndexEntryBytes * i + 8, last);
    if (first == 0 && last == 0) continue;
    d.checkIndexEntry(i, first, last);
  }
  if (sharedFirst != kNoSharedList && sharedCount != 0) {
    if (std::uint64_t{sharedFirst} + sharedCount > d.recordCount) {
      check.problems.push_back(name + ": shared list of " + std::to_string(sharedCount) + " records from record " +
                               std::to_string(sharedFirst) + ", but the file holds " + std::to_string(d.recordCount) +
                               " records");
    } else {
      for (std::uint32_t k = sharedFirst; k < sharedFirst + sharedCount; ++k) d.checkRecord(k);
    }
  }
  check.words = d.words;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string parseWordsFile(std::string_view fileBytes, std::vector<WordLine>& words) {
  words.clear();
  if (fileBytes.substr(0, 3) == "\xEF\xBB\xBF") fileBytes.remove_prefix(3);
  std::map<std::u16string, std::size_t> seen;
  std::size_t lineNumber = 0;
  for (const std::string_view rawLine : split(fileBytes, '\n', false)) {
    ++lineNumber;
    const std::string_view line = trimBlanks(rawLine);
    if (line.empty() || line.front() == '#') continue;
    // A line of only TABs and spaces is blank too.
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    WordLine word;
    word.lineNumber = lineNumber;
    if (std::string error = parseWordLine(line, word.record); !error.empty())
      return "line " + std::to_string(lineNumber) + ": " + error;
    const std::u16string text(textOf(word.record.text, 9));
    const auto [at, inserted] = seen.emplace(text, lineNumber);
    if (!inserted)
      return "line " + std::to_string(lineNumber) + ": the word " + inQuotes(text) + " is already on line " +
             std::to_string(at->second);
    words.push_back(word);
  }
  return {};
}

std::vector<std::uint8_t> buildDictionary(std::span<const WordRecord> words) {
  std::vector<const WordRecord*> order;
  for (const WordRecord& w : words)
    if (w.textLength() >= 2 && isIndexedIdeograph(w.text[0])) order.push_back(&w);
  std::stable_sort(order.begin(), order.end(), [](const WordRecord* a, const WordRecord* b) {
    if (a->text[0] != b->text[0]) return a->text[0] < b->text[0];
    const std::size_t la = a->textLength(), lb = b->textLength();
    if (la != lb) return la > lb;
    return textOf(a->text, 9) < textOf(b->text, 9);
  });

  std::vector<std::uint8_t> file(kRecordsOffset, 0);
  for (std::size_t i = 0; i < kDictIdBytes; ++i) file[kDictIdOffset + i] = static_cast<std::uint8_t>(kDictId[i]);
  putU32le(&file[kSharedFirstOffset], kNoSharedList);
  putU32le(&file[kSharedCountOffset], 0);

  // Record 0 is never a word: an index entry of (0, 0) means "no words", so
  // a character whose only word was record 0 could not be told apart.
  WordRecord placeholder;
  placeholder.clear();
  placeholder.disabled = 1;
  file.reserve(kRecordsOffset + (order.size() + 1) * kWordRecordBytes);
  appendWordRecord(file, placeholder);

  std::uint32_t record = 1;
  for (std::size_t i = 0; i < order.size();) {
    const char16_t first = order[i]->text[0];
    const std::uint32_t firstRecord = record;
    for (; i < order.size() && order[i]->text[0] == first; ++i, ++record) appendWordRecord(file, *order[i]);
    std::uint8_t* entry =
        &file[kCharIndexOffset + kCharIndexEntryBytes * static_cast<std::size_t>(first - kFirstIndexedChar)];
    putU32le(entry + 4, firstRecord);
    putU32le(entry + 8, record - 1);
  }
  return file;
}

std::string codeUnit(std::span<const std::int16_t> samples, CodedUnit& out) {
  out = CodedUnit{};
  if (samples.empty()) return "no audio samples";
  if (samples.size() > kMaxUnitSamples)
    return std::to_string(samples.size()) + " samples (" + seconds(samples.size(), kUnitRateHz) +
           ") at 11025 Hz; a unit holds at most 30000 samples (2.72 s, 60000 bytes)";

  const std::unique_ptr<lame_global_flags, LameDeleter> gf(lame_init());
  if (!gf) return "cannot start the MP3 coder (out of memory)";
  lame_set_errorf(gf.get(), quietReport);
  lame_set_debugf(gf.get(), quietReport);
  lame_set_msgf(gf.get(), quietReport);
  lame_set_num_channels(gf.get(), 1);
  lame_set_in_samplerate(gf.get(), static_cast<int>(kUnitRateHz));
  lame_set_out_samplerate(gf.get(), static_cast<int>(kUnitRateHz));
  lame_set_mode(gf.get(), MONO);
  lame_set_VBR(gf.get(), vbr_off);
  lame_set_brate(gf.get(), kUnitBitrateKbps);
  lame_set_quality(gf.get(), 2);
  lame_set_bWriteVbrTag(gf.get(), 1);  // the info frame carries delay and padding
  lame_set_write_id3tag_automatic(gf.get(), 0);
  if (lame_init_params(gf.get()) < 0) return "the MP3 coder refused its settings";

  // LAME's own bound for the output of one call: 1.25 x samples + 7200.
  std::vector<std::uint8_t> coded(samples.size() * 5 / 4 + 7200 * 2);
  const int encoded = lame_encode_buffer(gf.get(), samples.data(), samples.data(), static_cast<int>(samples.size()),
                                         coded.data(), static_cast<int>(coded.size()));
  if (encoded < 0) return "the MP3 coder failed (error " + std::to_string(encoded) + ")";
  const auto used = static_cast<std::size_t>(encoded);
  const int flushed = lame_encode_flush(gf.get(), coded.data() + used, static_cast<int>(coded.size() - used));
  if (flushed < 0) return "the MP3 coder failed to flush (error " + std::to_string(flushed) + ")";
  coded.resize(used + static_cast<std::size_t>(flushed));
  // The stream begins with a blank frame reserved for the info frame, which
  // is only known now.
  std::array<std::uint8_t, 2880> tag{};
  const std::size_t tagBytes = lame_get_lametag_frame(gf.get(), tag.data(), tag.size());
  if (tagBytes == 0 || tagBytes > tag.size() || tagBytes > coded.size()) return "the MP3 coder gave no info frame";
  std::copy_n(tag.begin(), tagBytes, coded.begin());

  if (coded.size() > kMaxCodedUnitBytes)
    return "codes to " + std::to_string(coded.size()) + " bytes; a unit holds at most 16384";

  std::vector<std::uint8_t> chunk(kDecodeChunkBytes);
  std::vector<std::uint8_t> decoded(kMaxDecodedUnitBytes);
  std::size_t decodedBytes = 0;
  MpegDecoder decoder;
  const MpegDecoder::Status status = decoder.decode(coded, chunk, decoded, decodedBytes);
  if (status == MpegDecoder::Status::Truncated) return "decodes to more than 60000 bytes";
  if (status == MpegDecoder::Status::Error) return "the coded stream does not decode";
  if (decodedBytes == 0) return "the coded stream decodes to no audio";

  std::uint64_t energy = 0;
  for (std::size_t i = 0; i + 1 < decodedBytes; i += 2) {
    const auto sample = static_cast<std::int16_t>(decoded[i] | decoded[i + 1] << 8);
    energy += static_cast<std::uint64_t>(std::int64_t{sample} * sample);
  }
  out.coded = std::move(coded);
  out.decodedBytes = static_cast<std::uint32_t>(decodedBytes);
  out.energy = energy;
  return {};
}

std::string loadRecording(const std::string& path, std::size_t maxSamples, std::vector<float>& mono, bool removeMean) {
  mono.clear();
  SF_INFO info{};
  const std::unique_ptr<SNDFILE, SndfileDeleter> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) return std::string("not an audio file libsndfile can read (") + sf_strerror(nullptr) + ")";
  if (info.channels < 1 || info.samplerate < 1 || info.frames < 0)
    return "reports " + std::to_string(info.channels) + " channels at " + std::to_string(info.samplerate) + " Hz";
  const auto frames = static_cast<std::uint64_t>(info.frames);
  const auto rateHz = static_cast<std::uint64_t>(info.samplerate);
  const auto channels = static_cast<std::size_t>(info.channels);
  // Refuse long files from their header, before reading them.
  const std::uint64_t expected = (frames * kUnitRateHz + rateHz - 1) / rateHz;
  if (frames > std::numeric_limits<std::uint64_t>::max() / kUnitRateHz || expected > maxSamples)
    return seconds(static_cast<std::size_t>(frames), static_cast<double>(rateHz)) + " of audio (" +
           std::to_string(expected) + " samples at 11025 Hz); a unit holds at most " + std::to_string(maxSamples) +
           " samples (" + seconds(maxSamples, kUnitRateHz) + ")";
  if (frames == 0) return "holds no audio";

  std::vector<float> interleaved(static_cast<std::size_t>(frames) * channels);
  const sf_count_t read = sf_readf_float(file.get(), interleaved.data(), info.frames);
  if (read != info.frames)
    return "read " + std::to_string(read) + " of the " + std::to_string(info.frames) + " frames its header announces";
  mono.assign(static_cast<std::size_t>(frames), 0.0f);
  for (std::size_t i = 0; i < mono.size(); ++i) {
    float sum = 0;
    for (std::size_t c = 0; c < channels; ++c) sum += interleaved[i * channels + c];
    mono[i] = sum / static_cast<float>(channels);
  }
  if (removeMean) {
    double mean = 0;
    for (const float x : mono) mean += x;
    mean /= static_cast<double>(mono.size());
    for (float& x : mono) x = static_cast<float>(x - mean);
  }

  if (rateHz != kUnitRateHz) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    std::vector<float> resampled(static_cast<std::size_t>(expected) + 16);
    std::size_t inputDone = 0, outputDone = 0;
    const soxr_error_t error =
        soxr_oneshot(static_cast<double>(rateHz), kUnitRateHz, 1, mono.data(), mono.size(), &inputDone,
                     resampled.data(), resampled.size(), &outputDone, &io, &quality, &runtime);
    if (error != nullptr) return std::string("rate conversion failed: ") + error;
    resampled.resize(outputDone);
    mono = std::move(resampled);
  }
  if (mono.size() > maxSamples)
    return std::to_string(mono.size()) + " samples at 11025 Hz after rate conversion; a unit holds at most " +
           std::to_string(maxSamples);
  return {};
}

std::string loadRecording(const std::string& path, std::size_t maxSamples, std::vector<std::int16_t>& samples) {
  std::vector<float> mono;
  samples.clear();
  if (std::string error = loadRecording(path, maxSamples, mono, false); !error.empty()) return error;
  samples.resize(mono.size());
  std::transform(mono.begin(), mono.end(), samples.begin(), toSample);
  return {};
}

std::string buildVoiceFromAudio(std::span<const std::uint32_t> units, const UnitAudioLoader& load,
                                std::span<const WordLine> words, const std::string& outDir,
                                const BuildProgress& progress, BuildSummary& summary) {
  summary = BuildSummary{};
  try {
    const auto total = static_cast<std::uint32_t>(units.size());
    if (progress) progress(0, total);
    std::vector<UnitEntry> entries(kUnitCount);
    std::vector<std::uint8_t> voiceData;
    // Units that say the same audio (a syllable shared by many characters)
    // are coded once and share their bytes.
    std::map<std::vector<std::int16_t>, std::pair<UnitEntry, std::uint32_t>> byAudio;  // -> entry, decoded bytes
    std::vector<std::int16_t> samples;
    for (std::uint32_t done = 0; done < total; ++done) {
      const std::uint32_t unit = units[done];
      if (unit >= kUnitCount) return "unit " + std::to_string(unit) + " is outside 0..21901";
      std::string source;
      const std::string loadError = load(done, samples, source);
      const std::string where = describeUnit(unit) + (source.empty() ? "" : " (" + source + ")") + ": ";
      if (!loadError.empty()) return where + loadError;
      auto found = byAudio.find(samples);
      if (found == byAudio.end()) {
        CodedUnit coded;
        if (std::string error = codeUnit(samples, coded); !error.empty()) return where + error;
        if (voiceData.size() + coded.coded.size() > std::numeric_limits<std::uint32_t>::max())
          return where + "the unit audio file would pass 4 GiB";
        UnitEntry e;
        e.offset = static_cast<std::uint32_t>(voiceData.size());
        e.length = static_cast<std::uint32_t>(coded.coded.size());
        e.energy = coded.energy;
        voiceData.insert(voiceData.end(), coded.coded.begin(), coded.coded.end());
        found = byAudio.emplace(samples, std::pair{e, coded.decodedBytes}).first;
      }
      entries[unit] = found->second.first;
      summary.decodedBytes += found->second.second;
      if (progress) progress(done + 1, total);
    }

    std::vector<std::uint8_t> voiceDef = voiceDefHeader();
    voiceDef.reserve(kVoiceDefBytes);
    for (const UnitEntry& e : entries) appendUnitEntry(voiceDef, e);
    std::vector<WordRecord> records;
    records.reserve(words.size());
    for (const WordLine& w : words) records.push_back(w.record);
    const std::vector<std::uint8_t> voiceWord = buildDictionary(records);

    if (std::string error = writeFiles(
            outDir,
            {{kVoiceDefFileName, &voiceDef}, {kVoiceDataFileName, &voiceData}, {kVoiceWordFileName, &voiceWord}});
        !error.empty())
      return error;
    summary.units = total;
    summary.words = static_cast<std::uint32_t>(words.size());
    summary.voiceDataBytes = voiceData.size();
    summary.voiceWordBytes = voiceWord.size();
    return {};
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return std::string("unexpected failure: ") + e.what();
  }
}

std::string buildVoice(const std::string& unitsDir, const std::string& wordsFile, const std::string& outDir,
                       const BuildProgress& progress, BuildSummary& summary) {
  summary = BuildSummary{};
  try {
    std::ifstream in(wordsFile, std::ios::binary);
    if (!in) return "cannot read the words file " + wordsFile;
    const std::string wordsText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return "cannot read the words file " + wordsFile;
    std::vector<WordLine> words;
    if (std::string error = parseWordsFile(wordsText, words); !error.empty()) return wordsFile + " " + error;

    std::vector<UnitFile> units;
    if (std::string error = listUnitFiles(unitsDir, units); !error.empty()) return error;
    if (units.empty()) return "no unit recordings (<unitcode>.wav) in " + unitsDir;

    std::vector<bool> hasUnit(kUnitCount, false);
    for (const UnitFile& u : units) hasUnit[u.unit] = true;
    for (const WordLine& w : words)
      for (std::size_t i = 0; i < w.record.readingLength(); ++i) {
        const std::uint32_t unit = unitOfReadingChar(w.record.reading[i]);
        if (!hasUnit[unit])
          return wordsFile + " line " + std::to_string(w.lineNumber) + ": the reading character " +
                 describeChar(w.record.reading[i]) + " has no recording (" + std::to_string(unit) + ".wav) in " +
                 unitsDir;
      }

    std::vector<std::uint32_t> codes;
    for (const UnitFile& u : units) codes.push_back(u.unit);
    const UnitAudioLoader load = [&units](std::size_t i, std::vector<std::int16_t>& samples, std::string& source) {
      source = units[i].path.string();
      return loadRecording(source, kMaxUnitSamples, samples);
    };
    return buildVoiceFromAudio(codes, load, words, outDir, progress, summary);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return std::string("unexpected failure: ") + e.what();
  }
}

namespace {

// Checks the files that could be opened; a missing one was reported already,
// and what depends on it is skipped rather than reported again.
VoiceCheck checkImages(std::span<const std::uint8_t> voiceDef, std::span<const std::uint8_t> voiceData,
                       std::span<const std::uint8_t> voiceWord, bool haveDef, bool haveData, bool haveWord) {
  VoiceCheck check;
  const std::string defName = kVoiceDefFileName;
  const std::string dataName = kVoiceDataFileName;
  try {
    if (haveDef && !hasVoiceDefIdentity(voiceDef)) {
      const ByteReader r(voiceDef);
      std::uint32_t format = 0;
      std::u16string id;
      for (std::size_t i = 0; i < kVoiceIdUnits; ++i) {
        std::uint16_t unit = 0;
        if (r.u16le(kVoiceIdOffset + 2 * i, unit)) id.push_back(static_cast<char16_t>(unit));
      }
      const std::string found = r.u32le(0, format) ? "format " + std::to_string(format) + " and " + inQuotes(id)
                                                   : "a file of " + std::to_string(voiceDef.size()) + " bytes";
      check.problems.push_back(defName + ": identity: expected format 2 and \"" + std::string(kVoiceDefId) +
                               "\", found " + found);
    }
    if (haveDef && voiceDef.size() < kVoiceDefBytes)
      check.problems.push_back(defName + ": " + std::to_string(voiceDef.size()) + " bytes; a unit index needs " +
                               std::to_string(kVoiceDefBytes) + " (84-byte header and 21902 entries of 32 bytes)");

    std::vector<bool> unitSpeaks(kUnitCount, false);
    std::vector<std::uint8_t> chunk(kDecodeChunkBytes);
    std::vector<std::uint8_t> decoded(kMaxDecodedUnitBytes);
    for (std::uint32_t unit = 0; unit < kUnitCount; ++unit) {
      UnitEntry e;
      if (!readUnitEntry(voiceDef, unit, e)) break;
      const std::string where = defName + ": " + describeUnit(unit) + ": ";
      if (e.length == 0) {
        // Speaks nothing, but loading still wants its offset inside VoiceData.
        if (haveData && e.offset > voiceData.size())
          check.problems.push_back(where + "empty unit at offset " + std::to_string(e.offset) + ", past the end of " +
                                   dataName + " (" + std::to_string(voiceData.size()) + " bytes)");
        continue;
      }
      ++check.unitsPresent;
      if (!haveData) continue;
      if (e.length > kMaxCodedUnitBytes) {
        check.problems.push_back(where + "length " + std::to_string(e.length) + " coded bytes; at most 16384");
        continue;
      }
      if (std::uint64_t{e.offset} + e.length > voiceData.size()) {
        check.problems.push_back(where + "coded bytes " + std::to_string(e.offset) + ".." +
                                 std::to_string(std::uint64_t{e.offset} + e.length) + " end outside " + dataName +
                                 " (" + std::to_string(voiceData.size()) + " bytes)");
        continue;
      }
      // A fresh decoder per unit, as the engine makes one per syllable.
      MpegDecoder decoder;
      std::size_t bytes = 0;
      const auto status = decoder.decode(voiceData.subspan(e.offset, e.length), chunk, decoded, bytes);
      const std::string at = dataName + ": " + describeUnit(unit) + " at offset " + std::to_string(e.offset) + " (" +
                             std::to_string(e.length) + " bytes): ";
      if (status == MpegDecoder::Status::Error) {
        check.problems.push_back(at +
                                 "expected MPEG audio of mono 16-bit samples at 11025 Hz, found a stream "
                                 "that fails after " +
                                 std::to_string(bytes) + " decoded bytes");
      } else if (status == MpegDecoder::Status::Truncated) {
        check.problems.push_back(at + "decodes to more than 60000 bytes");
      } else if (bytes == 0) {
        check.problems.push_back(at + "expected MPEG audio, found bytes that decode to nothing");
      } else {
        unitSpeaks[unit] = true;
        check.decodedBytes += bytes;
      }
    }
    if (haveWord) checkDictionary(voiceWord, haveDef && haveData ? &unitSpeaks : nullptr, check);
  } catch (const std::bad_alloc&) {
    check.problems.push_back("out of memory while checking the voice");
  }
  return check;
}

}  // namespace

VoiceCheck checkVoiceImages(std::span<const std::uint8_t> voiceDef, std::span<const std::uint8_t> voiceData,
                            std::span<const std::uint8_t> voiceWord) {
  return checkImages(voiceDef, voiceData, voiceWord, true, true, true);
}

VoiceCheck checkVoice(const std::string& folder) {
  const fs::path dir(folder);
  std::array<platform::MappedFile, 3> files;
  const std::array<const char*, 3> names = {kVoiceDefFileName, kVoiceDataFileName, kVoiceWordFileName};
  std::vector<std::string> openProblems;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string path = (dir / names[i]).string();
    const LONG error = files[i].open(path);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      openProblems.push_back(path + ": missing");
    else if (error == ERROR_FILE_INVALID)
      openProblems.push_back(path + ": empty");
    else if (error != ERROR_SUCCESS)
      openProblems.push_back(path + ": cannot be mapped (Win32 error " + std::to_string(error) + ")");
  }
  VoiceCheck check = checkImages(files[0].bytes(), files[1].bytes(), files[2].bytes(), files[0].isOpen(),
                                 files[1].isOpen(), files[2].isOpen());
  check.problems.insert(check.problems.begin(), openProblems.begin(), openProblems.end());
  return check;
}

}  // namespace sonvale::voice
