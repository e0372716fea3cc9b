#include "reading_data.h"

#include "platform/utf.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "jyutping.h"

namespace sonvale::recipe {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Calls `f` with each line, without its '\n' and a trailing '\r'.
template <typename F>
void forEachLine(std::string_view text, F&& f) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    f(line);
    start = end + 1;
  }
}

std::vector<std::string_view> splitAt(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = s.find(separator, start);
    parts.push_back(s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::vector<std::string> splitBlanks(std::string_view s) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) words.emplace_back(s.substr(start, i - start));
  }
  return words;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// "U+9577" or "U+9577<kMatthews" -> 0x9577; false for anything else.
bool parseCodePoint(std::string_view s, char32_t& out) {
  if (s.size() < 6 || s[0] != 'U' || s[1] != '+') return false;
  s.remove_prefix(2);
  const std::size_t end = s.find('<');
  if (end != std::string_view::npos) s = s.substr(0, end);
  unsigned value = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
  if (ec != std::errc() || ptr != s.data() + s.size() || value > 0x10FFFF) return false;
  out = static_cast<char32_t>(value);
  return true;
}

}  // namespace

std::u32string decodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (b0 < 0x80) {
      out += b0;
      ++i;
      continue;
    } else if ((b0 & 0xE0) == 0xC0) {
      length = 2, c = b0 & 0x1Fu, minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
      length = 3, c = b0 & 0x0Fu, minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
      length = 4, c = b0 & 0x07u, minimum = 0x10000;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    bool ok = i + length <= text.size();
    for (std::size_t k = 1; ok && k < length; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      ok = (b & 0xC0) == 0x80;
      c = (c << 6) | (b & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed too.
    if (!ok || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out += kReplacement;
      ++i;
      continue;
    }
    out += c;
    i += length;
  }
  return out;
}

std::string encodeUtf8(std::u32string_view text) { return platform::utf32ToUtf8(text); }

std::vector<DictionaryEntry> parseDictionary(std::string_view text) {
  // The header ends at a line holding only "..."; without one, all is body.
  std::size_t bodyStart = 0;
  std::size_t lineStart = 0;
  while (lineStart < text.size()) {
    std::size_t end = text.find('\n', lineStart);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(lineStart, end - lineStart);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line == "...") {
      bodyStart = end + 1;
      break;
    }
    lineStart = end + 1;
  }
  std::vector<DictionaryEntry> entries;
  if (bodyStart > text.size()) return entries;
  forEachLine(text.substr(bodyStart), [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> fields = splitAt(line, '\t');
    if (fields.size() < 2 || fields[0].empty() || trim(fields[1]).empty()) return;
    DictionaryEntry e;
    e.text = decodeUtf8(fields[0]);
    e.reading = std::string(trim(fields[1]));
    if (fields.size() >= 3) {
      const std::string_view w = trim(fields[2]);
      if (w.size() >= 2 && w.back() == '%') {
        double percent = 0;
        const auto [ptr, ec] = std::from_chars(w.data(), w.data() + w.size() - 1, percent);
        if (ec == std::errc() && ptr == w.data() + w.size() - 1) e.weightPercent = percent;
      }
    }
    entries.push_back(std::move(e));
  });
  return entries;
}

std::unordered_map<std::u32string, std::uint64_t> parseFrequencies(std::string_view text) {
  std::unordered_map<std::u32string, std::uint64_t> counts;
  forEachLine(text, [&](std::string_view line) {
    const std::vector<std::string_view> fields = splitAt(line, '\t');
    if (fields.size() != 2 || fields[0].empty()) return;
    std::uint64_t count = 0;
    const std::string_view n = trim(fields[1]);
    const auto [ptr, ec] = std::from_chars(n.data(), n.data() + n.size(), count);
    if (ec != std::errc() || ptr != n.data() + n.size()) return;
    std::uint64_t& slot = counts[decodeUtf8(fields[0])];
    if (count > slot) slot = count;
  });
  return counts;
}

std::map<char32_t, std::vector<std::string>> parseUnihanField(std::string_view text, std::string_view field) {
  std::map<char32_t, std::vector<std::string>> values;
  forEachLine(text, [&](std::string_view line) {
    if (line.empty() || line.front() == '#') return;
    const std::vector<std::string_view> fields = splitAt(line, '\t');
    char32_t c = 0;
    if (fields.size() < 3 || fields[1] != field || !parseCodePoint(fields[0], c)) return;
    std::vector<std::string>& out = values[c];
    for (std::string& v : splitBlanks(fields[2])) out.push_back(std::move(v));
  });
  return values;
}

std::map<char32_t, std::vector<char32_t>> parseUnihanVariants(std::string_view text, std::string_view field) {
  std::map<char32_t, std::vector<char32_t>> variants;
  for (const auto& [c, values] : parseUnihanField(text, field)) {
    std::vector<char32_t> points;
    for (const std::string& v : values) {
      char32_t p = 0;
      if (parseCodePoint(v, p)) points.push_back(p);
    }
    if (!points.empty()) variants[c] = std::move(points);
  }
  return variants;
}

namespace {

// One line of a hand-made list: TEXT, its jyutping syllables, '#' and why.
struct HandLine {
  std::u32string text;
  std::string firstField;
  std::vector<std::string> syllables;
  std::string reason;
  std::size_t line = 0;
};

// Reads a hand-made list; `accept` checks each line's text and returns a
// message for one it refuses. Returns "line N: ..." about the first bad line.
template <typename Accept>
std::string parseHandLines(std::string_view text, std::vector<HandLine>& out, Accept accept) {
  std::size_t lineNumber = 0;
  std::string error;
  forEachLine(text, [&](std::string_view line) {
    ++lineNumber;
    if (!error.empty()) return;
    const std::string_view content = trim(line);
    if (content.empty() || content.front() == '#') return;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    const std::size_t hash = content.find('#');
    const std::string_view reason =
        hash == std::string_view::npos ? std::string_view{} : trim(content.substr(hash + 1));
    if (reason.empty()) {
      error = where + "an entry needs a reason after '#'";
      return;
    }
    std::vector<std::string> fields = splitBlanks(content.substr(0, hash));
    if (fields.size() < 2) {
      error = where + "expected a text and its jyutping before '#'";
      return;
    }
    HandLine h;
    h.text = decodeUtf8(fields[0]);
    h.firstField = fields[0];
    h.reason = std::string(reason);
    h.line = lineNumber;
    for (std::size_t i = 1; i < fields.size(); ++i) {
      Syllable s;
      if (!parseSyllable(fields[i], s)) {
        error = where + "\"" + fields[i] + "\" is not a jyutping syllable";
        return;
      }
      h.syllables.push_back(std::move(fields[i]));
    }
    if (std::string refused = accept(h); !refused.empty()) {
      error = where + refused;
      return;
    }
    out.push_back(std::move(h));
  });
  if (!error.empty()) out.clear();
  return error;
}

}  // namespace

std::string parseOverrides(std::string_view text, std::vector<Override>& out) {
  out.clear();
  std::set<char32_t> seen;
  std::vector<HandLine> lines;
  std::string error = parseHandLines(text, lines, [&](const HandLine& h) -> std::string {
    if (h.text.size() != 1 || !isVoicedIdeograph(h.text[0]))
      return "\"" + h.firstField + "\" is not one ideograph U+4E00..U+9FA5";
    if (!seen.insert(h.text[0]).second) return h.firstField + " has an override already";
    return {};
  });
  for (HandLine& h : lines) {
    Override o;
    o.character = h.text[0];
    for (const std::string& syllable : h.syllables) o.reading += (o.reading.empty() ? "" : " ") + syllable;
    o.reason = std::move(h.reason);
    o.line = h.line;
    out.push_back(std::move(o));
  }
  return error;
}

std::string parseHandWords(std::string_view text, std::vector<HandWord>& out) {
  out.clear();
  std::set<std::u32string> seen;
  std::vector<HandLine> lines;
  std::string error = parseHandLines(text, lines, [&](const HandLine& h) -> std::string {
    if (h.text.size() < 2 || h.text.size() > 8 || !std::all_of(h.text.begin(), h.text.end(), isVoicedIdeograph))
      return "\"" + h.firstField + "\" is not 2..8 ideographs U+4E00..U+9FA5";
    if (h.syllables.size() != h.text.size())
      return h.firstField + " has " + std::to_string(h.text.size()) + " characters but " +
             std::to_string(h.syllables.size()) + " syllables";
    if (!seen.insert(h.text).second) return h.firstField + " is listed already";
    return {};
  });
  for (HandLine& h : lines) out.push_back({std::move(h.text), std::move(h.syllables), std::move(h.reason), h.line});
  return error;
}

}  // namespace sonvale::recipe
