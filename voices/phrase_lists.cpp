#include "phrase_lists.h"

#include <charconv>
#include <map>

#include "reading_data.h"

namespace sonvale::recipe {

namespace {

std::vector<std::string_view> words(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

bool parseValues(const std::vector<std::string_view>& items, SyllableValues& out) {
  if (items.size() != 4) return false;
  for (std::size_t k = 0; k < 4; ++k) {
    const std::string_view w = items[k];
    const auto [ptr, ec] = std::from_chars(w.data(), w.data() + w.size(), out[k]);
    if (ec != std::errc() || ptr != w.data() + w.size()) return false;
  }
  return true;
}

// "<U+E834>" -> 0xE834; 0 when `s` is not such an escape.
char32_t escapedCodePoint(std::u32string_view s) {
  if (s.size() != 8 || s.substr(0, 3) != U"<U+" || s[7] != U'>') return 0;
  char32_t c = 0;
  for (std::size_t k = 3; k < 7; ++k) {
    const char32_t d = s[k];
    int digit = 0;
    if (d >= U'0' && d <= U'9') {
      digit = static_cast<int>(d - U'0');
    } else if (d >= U'A' && d <= U'F') {
      digit = static_cast<int>(d - U'A') + 10;
    } else if (d >= U'a' && d <= U'f') {
      digit = static_cast<int>(d - U'a') + 10;
    } else {
      return 0;
    }
    c = (c << 4) | static_cast<char32_t>(digit);
  }
  return c;
}

// The reading with each <U+XXXX> escape replaced by its stand-in (or by the
// escaped code point when it has none).
std::u32string unescape(std::u32string_view text, const std::map<char32_t, char32_t>& standIns) {
  std::u32string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const char32_t escaped = i + 8 <= text.size() ? escapedCodePoint(text.substr(i, 8)) : 0;
    if (escaped != 0) {
      const auto it = standIns.find(escaped);
      out += it == standIns.end() ? escaped : it->second;
      i += 8;
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace

std::string parsePhraseList(std::string_view text, std::vector<PhraseEntry>& out) {
  std::vector<SyllableValues> templateValues;
  std::map<char32_t, char32_t> standIns;
  std::vector<PhraseEntry> entries;
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") start = 3;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string_view> items = words(line);
    if (items.empty() || items[0].front() == '#') continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (static_cast<unsigned char>(items[0].front()) < 0x80) {
      // A directive.
      if (items[0] == "syllable") {
        SyllableValues v{};
        if (!parseValues({items.begin() + 1, items.end()}, v)) return where + "expected four values after 'syllable'";
        templateValues.push_back(v);
      } else if (items[0] == "stand-in" && items.size() == 3) {
        const std::u32string character = decodeUtf8(items[2]);
        const char32_t escaped = escapedCodePoint(decodeUtf8(items[1]));
        if (escaped != 0 && character.size() == 1) standIns[escaped] = character[0];
      }
      continue;
    }
    // An entry: KEY[(READING)] [| CB CA VI DI]...
    const std::size_t bar = line.find('|');
    const std::u32string head = decodeUtf8(words(line.substr(0, bar))[0]);
    PhraseEntry e;
    const std::size_t open = head.find(U'(');
    e.key = head.substr(0, open);
    if (open != std::u32string::npos && head.back() == U')') {
      e.reading = unescape(std::u32string_view(head).substr(open + 1, head.size() - open - 2), standIns);
    } else {
      e.reading = e.key;
    }
    if (bar == std::string_view::npos) {
      e.values = templateValues;
    } else {
      std::string_view rest = line.substr(bar + 1);
      for (;;) {
        const std::size_t next = rest.find('|');
        SyllableValues v{};
        if (!parseValues(words(rest.substr(0, next)), v)) return where + "expected four values after each '|'";
        e.values.push_back(v);
        if (next == std::string_view::npos) break;
        rest = rest.substr(next + 1);
      }
    }
    if (e.reading.size() != e.key.size() || e.values.size() != e.key.size())
      return where + "the reading and the values must have one item per character of the key";
    entries.push_back(std::move(e));
  }
  out.insert(out.end(), entries.begin(), entries.end());
  return {};
}

}  // namespace sonvale::recipe
