// gen_phrase_table: turns the phrase lists (data/phrases/*.txt) into the C++
// source of the constant phrase table that matchPhrase searches.
//
//   gen_phrase_table --total N --output FILE.cpp LIST.txt...
//
// Each list is one template: a header (`template NAME`, one `syllable` line of
// four values per syllable, `entries COUNT`) and one entry a line, the key
// with its reading in parentheses where that differs. A list whose header has
// no `syllable` lines gives each entry its own values after '|' separators.
// `stand-in <U+XXXX> C` lets the entries after it name the code unit XXXX in a
// reading and speak character C in its place. The output has one sub-table per
// key length, sorted by code units, so that lookups are binary searches.
//
// Every problem (a malformed line, a duplicate key, an entry count that is not
// the one declared or the --total) is reported as FILE:LINE: message and the
// program exits with status 1 without touching FILE.cpp; the output is written
// to a temporary file and renamed into place only when everything is valid.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/utf.h"

namespace {

constexpr char32_t kFirstIdeograph = 0x4E00;  // the first and last ideographs with a voice unit
constexpr char32_t kLastIdeograph = 0x9FA5;
constexpr std::size_t kMinKeyLength = 2;
constexpr std::size_t kMaxKeyLength = 4;
constexpr std::size_t kMaxErrorsShown = 50;
constexpr std::string_view kOwnValues = "own-values";
// Value ranges of the synthesis tables a syllable's parameters index.
constexpr int kMinCut = -10;
constexpr int kMaxCut = 10;
constexpr int kMinDuration = -9;
constexpr int kMaxDuration = 10;

using Values = std::array<int, 4>;  // cutBefore, cutAfter, volumeIndex, durationIndex

struct Template {
  std::string name;
  std::vector<Values> syllables;
};

struct Entry {
  std::u16string key;
  std::u16string reading;
  std::size_t templateIndex = 0;
  std::string where;  // FILE:LINE
};

bool isIdeograph(char32_t c) { return c >= kFirstIdeograph && c <= kLastIdeograph; }

class Errors {
 public:
  void add(const std::string& where, const std::string& message) {
    if (count_ < kMaxErrorsShown) std::cerr << where << ": " << message << '\n';
    ++count_;
  }
  std::size_t count() const { return count_; }

 private:
  std::size_t count_ = 0;
};

// Strict UTF-8 decoding of one line; nullopt on any malformed, overlong or
// surrogate sequence.
std::optional<std::u32string> decodeUtf8(std::string_view bytes) {
  std::u32string out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    std::size_t extra = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
      c = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      extra = 1;
      c = b0 & 0x1Fu;
      min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      extra = 2;
      c = b0 & 0x0Fu;
      min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      extra = 3;
      c = b0 & 0x07u;
      min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + extra >= bytes.size()) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (b & 0x3Fu);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    out.push_back(c);
    i += extra + 1;
  }
  return out;
}


std::string show(std::u16string_view units) {
  std::u32string wide(units.begin(), units.end());
  return sonvale::platform::utf32ToUtf8(wide);
}

std::string hex4(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

bool isSpace(char32_t c) { return c == U' ' || c == U'\t'; }

std::optional<int> parseInt(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::size_t i = 0;
  const bool negative = text[0] == '-';
  if (negative || text[0] == '+') i = 1;
  if (i == text.size()) return std::nullopt;
  int value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

std::vector<std::string_view> splitWords(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

// Four values of one syllable, checked against the tables' ranges.
std::optional<Values> parseValues(std::string_view text, std::string& problem) {
  const std::vector<std::string_view> words = splitWords(text);
  if (words.size() != 4) {
    problem = "expected four values (cutBefore cutAfter volumeIndex durationIndex), found " +
              std::to_string(words.size());
    return std::nullopt;
  }
  Values values{};
  for (std::size_t k = 0; k < 4; ++k) {
    const std::optional<int> value = parseInt(words[k]);
    const int low = k == 3 ? kMinDuration : kMinCut;
    const int high = k == 3 ? kMaxDuration : kMaxCut;
    if (!value) {
      problem = "'" + std::string(words[k]) + "' is not an integer";
      return std::nullopt;
    }
    if (*value < low || *value > high) {
      problem = "value " + std::to_string(*value) + " outside " + std::to_string(low) + ".." + std::to_string(high);
      return std::nullopt;
    }
    values[k] = *value;
  }
  return values;
}

// Reads `<U+XXXX>` at text[i]; advances i past it.
std::optional<char32_t> parseEscape(std::u32string_view text, std::size_t& i) {
  if (text.substr(i, 3) != U"<U+" || i + 8 > text.size() || text[i + 7] != U'>') return std::nullopt;
  char32_t c = 0;
  for (std::size_t k = i + 3; k < i + 7; ++k) {
    const char32_t d = text[k];
    int digit = 0;
    if (d >= U'0' && d <= U'9') {
      digit = static_cast<int>(d - U'0');
    } else if (d >= U'A' && d <= U'F') {
      digit = static_cast<int>(d - U'A') + 10;
    } else if (d >= U'a' && d <= U'f') {
      digit = static_cast<int>(d - U'a') + 10;
    } else {
      return std::nullopt;
    }
    c = (c << 4) | static_cast<char32_t>(digit);
  }
  i += 8;
  return c;
}

class ListReader {
 public:
  ListReader(std::vector<Template>& templates, std::vector<Entry>& entries, Errors& errors)
      : templates_(templates), entries_(entries), errors_(errors) {}

  // Reads one list; returns the number of entries it holds.
  std::size_t read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      errors_.add(path, "cannot open");
      return 0;
    }
    templateName_.reset();
    templateIndex_.reset();
    declared_.reset();
    standIns_.clear();
    std::size_t held = 0;
    std::string line;
    std::size_t lineNumber = 0;
    while (std::getline(in, line)) {
      ++lineNumber;
      where_ = path + ":" + std::to_string(lineNumber);
      if (lineNumber == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::vector<std::string_view> words = splitWords(line);
      if (words.empty() || words[0].starts_with('#')) continue;
      const auto first = static_cast<unsigned char>(line[line.find_first_not_of(" \t")]);
      if (first < 0x80) {
        directive(line, words, held);
      } else if (entry(line)) {
        ++held;
      }
    }
    if (in.bad()) errors_.add(path, "read error");
    if (!templateName_) errors_.add(path, "no 'template' line");
    if (!declared_) {
      errors_.add(path, "no 'entries' line");
    } else if (*declared_ != held) {
      errors_.add(path, "declares entries " + std::to_string(*declared_) + " but holds " + std::to_string(held));
    }
    return held;
  }

 private:
  void directive(const std::string& line, const std::vector<std::string_view>& words, std::size_t held) {
    const std::string_view name = words[0];
    if (name == "template") {
      if (templateName_) return errors_.add(where_, "a second 'template' line");
      if (words.size() != 2) return errors_.add(where_, "expected 'template NAME'");
      templateName_ = std::string(words[1]);
      // A list named own-values has no shared template: each entry brings its own.
      if (words[1] != kOwnValues) {
        templates_.push_back({*templateName_, {}});
        templateIndex_ = templates_.size() - 1;
      }
    } else if (name == "syllable") {
      if (!templateIndex_) return errors_.add(where_, "'syllable' outside a template's header");
      if (held > 0) return errors_.add(where_, "'syllable' after the first entry");
      std::vector<Values>& syllables = templates_[*templateIndex_].syllables;
      if (syllables.size() == kMaxKeyLength) return errors_.add(where_, "more than four syllables");
      std::string problem;
      const std::size_t at = line.find("syllable") + 8;
      if (const std::optional<Values> values = parseValues(std::string_view(line).substr(at), problem)) {
        syllables.push_back(*values);
      } else {
        errors_.add(where_, problem);
      }
    } else if (name == "entries") {
      if (declared_) return errors_.add(where_, "a second 'entries' line");
      if (held > 0) return errors_.add(where_, "'entries' after the first entry");
      const std::optional<int> count = words.size() == 2 ? parseInt(words[1]) : std::nullopt;
      if (!count || *count < 0) return errors_.add(where_, "expected 'entries COUNT'");
      declared_ = static_cast<std::size_t>(*count);
    } else if (name == "stand-in") {
      standIn(line);
    } else {
      errors_.add(where_, "unknown directive '" + std::string(name) + "'");
    }
  }

  // stand-in <U+XXXX> C
  void standIn(const std::string& line) {
    const std::optional<std::u32string> text = decodeUtf8(line);
    if (!text) return errors_.add(where_, "not valid UTF-8");
    std::size_t i = text->find(U'<');
    std::optional<char32_t> from;
    if (i != std::u32string::npos) from = parseEscape(*text, i);
    while (from && i < text->size() && isSpace((*text)[i])) ++i;
    if (!from || i + 1 != text->size() || !isIdeograph((*text)[i])) {
      return errors_.add(where_, "expected 'stand-in <U+XXXX> C' with C an ideograph U+4E00..U+9FA5");
    }
    if (isIdeograph(*from)) return errors_.add(where_, hex4(*from) + " has a voice unit of its own; no stand-in needed");
    standIns_[*from] = (*text)[i];
  }

  bool entry(const std::string& line) {
    if (!templateName_ || !declared_) {
      errors_.add(where_, "entry before the header's 'template' and 'entries' lines");
      return false;
    }
    const std::optional<std::u32string> decoded = decodeUtf8(line);
    if (!decoded) {
      errors_.add(where_, "not valid UTF-8");
      return false;
    }
    const std::u32string& text = *decoded;
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i])) ++i;

    Entry result;
    result.where = where_;
    while (i < text.size() && isIdeograph(text[i])) result.key.push_back(static_cast<char16_t>(text[i++]));
    const std::size_t n = result.key.size();
    if (i < text.size() && !isSpace(text[i]) && text[i] != U'(' && text[i] != U'|') {
      errors_.add(where_, "key character " + hex4(text[i]) + " is not an ideograph U+4E00..U+9FA5");
      return false;
    }
    if (n < kMinKeyLength || n > kMaxKeyLength) {
      errors_.add(where_, "key '" + show(result.key) + "' has " + std::to_string(n) + " characters, expected 2..4");
      return false;
    }

    result.reading = result.key;
    if (i < text.size() && text[i] == U'(') {
      if (!reading(text, ++i, result)) return false;
    }

    std::vector<Values> own;
    while (i < text.size()) {
      if (isSpace(text[i])) {
        ++i;
        continue;
      }
      if (text[i] != U'|') {
        errors_.add(where_, "unexpected " + hex4(text[i]) + " after the key");
        return false;
      }
      const std::size_t end = std::min(text.find(U'|', i + 1), text.size());
      std::string problem;
      const std::optional<Values> values = parseValues(sonvale::platform::utf32ToUtf8(text.substr(i + 1, end - i - 1)), problem);
      if (!values) {
        errors_.add(where_, "syllable " + std::to_string(own.size() + 1) + ": " + problem);
        return false;
      }
      own.push_back(*values);
      i = end;
    }

    if (!templateIndex_) {
      if (own.size() != n) {
        errors_.add(where_, "key '" + show(result.key) + "' needs " + std::to_string(n) + " groups of values, found " +
                                std::to_string(own.size()));
        return false;
      }
      templates_.push_back({*templateName_ + " " + show(result.key), own});
      result.templateIndex = templates_.size() - 1;
    } else {
      const Template& shape = templates_[*templateIndex_];
      if (!own.empty()) {
        errors_.add(where_, "values after the key in a list whose template gives them");
        return false;
      }
      if (shape.syllables.size() != n) {
        errors_.add(where_, "key '" + show(result.key) + "' has " + std::to_string(n) + " characters but template " +
                                shape.name + " has " + std::to_string(shape.syllables.size()) + " syllables");
        return false;
      }
      result.templateIndex = *templateIndex_;
    }
    entries_.push_back(std::move(result));
    return true;
  }

  // The reading inside parentheses, from text[i]; leaves i past the ')'.
  bool reading(const std::u32string& text, std::size_t& i, Entry& result) {
    std::u32string listed;
    std::u16string spoken;
    while (i < text.size() && text[i] != U')') {
      char32_t c = text[i];
      if (c == U'<') {
        const std::optional<char32_t> escaped = parseEscape(text, i);
        if (!escaped) {
          errors_.add(where_, "malformed escape in the reading, expected <U+XXXX>");
          return false;
        }
        c = *escaped;
      } else {
        ++i;
      }
      listed.push_back(c);
      if (isIdeograph(c)) {
        spoken.push_back(static_cast<char16_t>(c));
      } else if (const auto standIn = standIns_.find(c); standIn != standIns_.end()) {
        spoken.push_back(static_cast<char16_t>(standIn->second));
      } else {
        errors_.add(where_, "reading character " + hex4(c) +
                                " has no voice unit (not U+4E00..U+9FA5) and no stand-in is declared");
        return false;
      }
    }
    if (i == text.size()) {
      errors_.add(where_, "reading without a closing ')'");
      return false;
    }
    ++i;
    if (listed.size() != result.key.size()) {
      errors_.add(where_, "reading of '" + show(result.key) + "' has " + std::to_string(listed.size()) +
                              " characters, expected " + std::to_string(result.key.size()));
      return false;
    }
    if (std::u32string(result.key.begin(), result.key.end()) == listed) {
      errors_.add(where_, "reading equal to the key; leave it out");
      return false;
    }
    result.reading = spoken;
    return true;
  }

  std::vector<Template>& templates_;
  std::vector<Entry>& entries_;
  Errors& errors_;
  std::string where_;
  std::optional<std::string> templateName_;
  std::optional<std::size_t> templateIndex_;  // none in an own-values list
  std::optional<std::size_t> declared_;
  std::map<char32_t, char32_t> standIns_;
};

std::string unitList(std::u16string_view units) {
  std::string out = "{";
  for (std::size_t k = 0; k < kMaxKeyLength; ++k) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%s0x%04X", k == 0 ? "" : ", ",
                  k < units.size() ? static_cast<unsigned>(units[k]) : 0u);
    out += buffer;
  }
  return out + "}";
}

std::string writeSource(const std::vector<Template>& templates, const std::vector<std::vector<const Entry*>>& tables) {
  std::ostringstream out;
  out << "// Generated by gen_phrase_table from the phrase lists in data/phrases. Do not edit.\n"
         "#include \"text/phrase_table.h\"\n\n"
         "namespace sonvale::phrase_data {\n\n";
  out << "const PhraseTemplate kTemplates[] = {\n";
  for (std::size_t t = 0; t < templates.size(); ++t) {
    out << "    {{";
    for (std::size_t k = 0; k < kMaxKeyLength; ++k) {
      const Values v = k < templates[t].syllables.size() ? templates[t].syllables[k] : Values{};
      out << (k == 0 ? "" : ", ") << "{" << v[0] << ", " << v[1] << ", " << v[2] << ", " << v[3] << "}";
    }
    out << "}},  // " << t << " " << templates[t].name << "\n";
  }
  out << "};\nconst std::size_t kTemplateCount = " << templates.size() << ";\n";

  const char* const names[] = {"kTwoCharacter", "kThreeCharacter", "kFourCharacter"};
  for (std::size_t length = kMinKeyLength; length <= kMaxKeyLength; ++length) {
    const std::vector<const Entry*>& table = tables[length];
    const char* const name = names[length - kMinKeyLength];
    out << "\n// " << table.size() << " keys of " << length << " code units, in ascending code unit order.\n";
    out << "const PhraseEntry " << name << "[] = {\n";
    for (const Entry* e : table) {
      out << "    {" << unitList(e->key) << ", " << unitList(e->reading) << ", " << e->templateIndex << "},  // "
          << show(e->key);
      if (e->reading != e->key) out << " (" << show(e->reading) << ")";
      out << "\n";
    }
    // An empty sub-table still needs an array to point at.
    if (table.empty()) out << "    {{0, 0, 0, 0}, {0, 0, 0, 0}, 0},\n";
    out << "};\nconst std::size_t " << name << "Count = " << table.size() << ";\n";
  }
  out << "\n}  // namespace sonvale::phrase_data\n";
  return out.str();
}

int usage() {
  std::cerr << "usage: gen_phrase_table --total N --output FILE.cpp LIST.txt...\n";
  return 2;
}

int run(int argc, char** argv) {
  std::optional<std::size_t> total;
  std::string output;
  std::vector<std::string> lists;
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (arg == "--total" && a + 1 < argc) {
      const std::optional<int> value = parseInt(argv[++a]);
      if (!value || *value < 0) return usage();
      total = static_cast<std::size_t>(*value);
    } else if (arg == "--output" && a + 1 < argc) {
      output = argv[++a];
    } else if (arg.starts_with("--")) {
      return usage();
    } else {
      lists.emplace_back(arg);
    }
  }
  if (!total || output.empty() || lists.empty()) return usage();

  Errors errors;
  std::vector<Template> templates;
  std::vector<Entry> entries;
  ListReader reader(templates, entries, errors);
  std::size_t held = 0;
  for (const std::string& list : lists) held += reader.read(list);

  std::vector<std::vector<const Entry*>> tables(kMaxKeyLength + 1);
  std::map<std::u16string, const Entry*> seen;
  for (const Entry& e : entries) {
    const auto [at, inserted] = seen.emplace(e.key, &e);
    if (!inserted) {
      errors.add(e.where, "duplicate key '" + show(e.key) + "', first at " + at->second->where);
      continue;
    }
    tables[e.key.size()].push_back(&e);
  }
  if (held != *total) {
    errors.add("phrase lists", "hold " + std::to_string(held) + " entries, expected " + std::to_string(*total));
  }
  if (templates.size() > 256) errors.add("phrase lists", "more than 256 templates");
  if (errors.count() > 0) {
    if (errors.count() > kMaxErrorsShown) std::cerr << "... " << errors.count() << " problems in all\n";
    std::cerr << "gen_phrase_table: " << output << " not written\n";
    return 1;
  }

  // Keys of one length sort by code units; the lookup packs them the same way.
  for (std::vector<const Entry*>& table : tables) {
    std::sort(table.begin(), table.end(), [](const Entry* a, const Entry* b) { return a->key < b->key; });
  }
  const std::string source = writeSource(templates, tables);

  const std::string temporary = output + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << source;
    out.flush();
    if (!out) {
      std::cerr << temporary << ": cannot write\n";
      std::remove(temporary.c_str());
      return 1;
    }
  }
  if (std::rename(temporary.c_str(), output.c_str()) != 0) {
    std::cerr << output << ": cannot rename " << temporary << " into place\n";
    std::remove(temporary.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "gen_phrase_table: " << e.what() << '\n';
    return 1;
  }
}
