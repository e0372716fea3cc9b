#include "host/ssml.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "platform/utf.h"
#include "text/number_reading.h"

namespace sonvale::host {

namespace {

constexpr unsigned kNormalVolume = 100;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool isNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':'; }
bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// Bytes of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// A decimal such as "1.5", "+20" or "-6", with at most one sign and one '.';
// `sign` tells whether it had a sign. Spaces around it are ignored; a value
// too large for a double is infinite, one too small 0. from_chars alone would also take
// exponents, "inf" and "nan".
std::optional<double> parseDecimal(std::string_view text, bool& sign) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  sign = !text.empty() && (text.front() == '+' || text.front() == '-');
  const bool negative = sign && text.front() == '-';
  if (sign) text.remove_prefix(1);
  std::size_t digits = 0, dots = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++dots;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || dots > 1) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (end != text.data() + text.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Too large when a digit before the '.' is not 0; else too small.
    const std::string_view whole = text.substr(0, text.find('.'));
    value = whole.find_first_not_of('0') != std::string_view::npos ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -value : value;
}

// A CSS time as SSML writes it ("250ms", "1.5s", ".5 s") in whole
// milliseconds, halves rounded up and clamped to kMaxBreakMs.
std::optional<unsigned> parseBreakTime(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  double factor = 1.0;
  if (text.ends_with("ms")) {
    text.remove_suffix(2);
  } else if (text.ends_with("s")) {
    text.remove_suffix(1);
    factor = 1000.0;
  } else {
    return std::nullopt;
  }
  bool sign = false;
  const std::optional<double> value = parseDecimal(text, sign);
  if (!value || sign) return std::nullopt;
  const double ms = *value * factor;
  if (ms >= kMaxBreakMs) return kMaxBreakMs;
  return static_cast<unsigned>(std::floor(ms + 0.5));
}

// The speech API's rate (-10..10, a factor of 3 for 10 steps) for `factor`
// times the normal speed, rounded and clamped.
int rateForFactor(double factor) {
  const double rate = std::round(10.0 * std::log(factor) / std::log(3.0));
  return static_cast<int>(std::clamp(rate, -10.0, 10.0));
}

// A <prosody> rate, from the running `rate`: a keyword, a percentage of the
// running speed ("150%", "+20%", "-10%") or a factor of the normal speed ("0.8").
std::optional<int> parseProsodyRate(std::string_view text, int rate) {
  for (const ProsodyRate& r : kProsodyRates)
    if (r.name == text) return r.rate;
  bool sign = false;
  if (text.ends_with("%")) {
    const std::optional<double> percent = parseDecimal(text.substr(0, text.size() - 1), sign);
    if (!percent) return std::nullopt;
    const double factor = sign ? 1.0 + *percent / 100.0 : *percent / 100.0;
    if (factor <= 0) return std::nullopt;
    return std::clamp(rate + rateForFactor(factor), -10, 10);
  }
  const std::optional<double> factor = parseDecimal(text, sign);
  if (!factor || sign || *factor <= 0) return std::nullopt;
  return rateForFactor(*factor);
}

// A <prosody> volume, from the running `volume`: a keyword, a level 0..100,
// a change of it ("+10", "-20"), a share of it ("50%", "+10%") or decibels ("-6dB").
std::optional<unsigned> parseProsodyVolume(std::string_view text, unsigned volume) {
  for (const ProsodyVolume& v : kProsodyVolumes)
    if (v.name == text) return v.volume;
  bool sign = false;
  double level = 0;
  if (text.ends_with("dB")) {
    const std::optional<double> db = parseDecimal(text.substr(0, text.size() - 2), sign);
    if (!db) return std::nullopt;
    level = volume * std::pow(10.0, *db / 20.0);
  } else if (text.ends_with("%")) {
    const std::optional<double> percent = parseDecimal(text.substr(0, text.size() - 1), sign);
    if (!percent) return std::nullopt;
    level = sign ? volume * (1.0 + *percent / 100.0) : volume * *percent / 100.0;
  } else {
    const std::optional<double> number = parseDecimal(text, sign);
    if (!number) return std::nullopt;
    level = sign ? volume + *number : *number;
  }
  return static_cast<unsigned>(std::round(std::clamp(level, 0.0, 100.0)));
}

struct Attribute {
  std::string name;
  std::string value;  // entities decoded
};

class Converter {
 public:
  Converter(std::string_view ssml, bool spell, SapiText& out) : s_(ssml), spellAll_(spell), out_(out) {}

  std::string run() {
    out_ = SapiText();
    for (std::size_t i = 0; i < s_.size();) {
      const std::size_t n = utf8SequenceLength(s_, i);
      if (n == 0) return fault(i, "not UTF-8");
      i += n;
    }
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      bool ok = true;
      if (c == '<') {
        ok = markup();
      } else if (c == '&') {
        std::string decoded;
        std::size_t length = 0;
        ok = entity(pos_, decoded, length);
        if (ok) {
          text(decoded, pos_, false);
          pos_ += length;
        }
      } else {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] != '<' && s_[pos_] != '&') ++pos_;
        text(s_.substr(start, pos_ - start), start);
      }
      if (!ok) return error_;
    }
    if (!open_.empty()) return fault(open_.back().at, "<" + open_.back().name + "> is never closed");
    return {};
  }

 private:
  struct Open {
    std::string name;
    std::size_t at = 0;      // byte of its '<'
    bool silent = false;     // its content is not read
    bool spelled = false;    // its content is spelled
    bool cardinal = false;   // its digits are read as numbers
    bool separates = false;  // a space at each edge
    std::string closing;     // the markup that ends what its start tag began
    int outerRate = 0;       // the running rate and volume outside it
    unsigned outerVolume = kNormalVolume;
  };

  std::string fault(std::size_t at, const std::string& what) {
    error_ = "byte " + std::to_string(at) + ": " + what;
    return error_;
  }
  bool fail(std::size_t at, const std::string& what) {
    fault(at, what);
    return false;
  }

  bool silent() const { return silentDepth_ > 0; }
  bool spelling() const { return spellAll_ || spelledDepth_ > 0; }

  // Marks that what is written next stands for the SSML from byte `source`.
  void anchor(std::size_t source) {
    if (!out_.anchors.empty() && out_.anchors.back().markupByte == out_.markup.size()) out_.anchors.pop_back();
    out_.anchors.push_back({out_.markup.size(), source});
  }

  // Text to be read, UTF-8, found at SSML byte `source` (each byte its own,
  // when `sourced`; else all of it at `source`: an alias, a decoded entity).
  void text(std::string_view t, std::size_t source, bool sourced = true) {
    if (silent()) return;
    if (cardinalDepth_ > 0) {
      anchor(source);
      out_.markup += readDigitRuns(t);
      return;
    }
    const bool spell = spelling();
    anchor(source);
    for (std::size_t i = 0; i < t.size();) {
      const std::size_t n = utf8SequenceLength(t, i);
      const std::string_view ch = t.substr(i, n == 0 ? 1 : n);
      i += ch.size();
      if (spell && ch.size() == 1 && isSpace(ch[0])) continue;
      const bool escaped = ch == "&" || ch == "<" || ch == ">";
      if (escaped || spell) anchor(sourced ? source + i - ch.size() : source);
      if (ch == "&") {
        out_.markup += "&amp;";
      } else if (ch == "<") {
        out_.markup += "&lt;";
      } else if (ch == ">") {
        out_.markup += "&gt;";
      } else {
        out_.markup += ch;
      }
      // A space after each character makes it a word of its own.
      if (spell) out_.markup.push_back(' ');
      if (escaped && sourced) anchor(source + i);
    }
  }

  // `t` with every run of ASCII digits written as the ideographs that read
  // it as a number; runs too long to read as one stay digits. Markup
  // characters are escaped.
  static std::string readDigitRuns(std::string_view t) {
    std::string out;
    for (std::size_t i = 0; i < t.size();) {
      if (t[i] >= '0' && t[i] <= '9') {
        std::size_t end = i;
        while (end < t.size() && t[end] >= '0' && t[end] <= '9') ++end;
        NumberParts parts;
        for (std::size_t k = i; k < end; ++k) parts.integerPart.push_back(static_cast<char16_t>(t[k]));
        const std::u16string read = readNumber(parts);
        out += read.empty() ? std::string(t.substr(i, end - i)) : platform::utf16ToUtf8(read);
        i = end;
      } else {
        out += t[i] == '&' ? "&amp;" : t[i] == '<' ? "&lt;" : t[i] == '>' ? "&gt;" : std::string(1, t[i]);
        ++i;
      }
    }
    return out;
  }

  void separate() {
    if (!silent()) out_.markup.push_back(' ');
  }

  // The entity or character reference at s_[at] ('&').
  bool entity(std::size_t at, std::string& decoded, std::size_t& length) {
    const std::size_t semicolon = s_.find(';', at);
    // No name or number of ours is longer than this; a '&' further from its ';' is a stray one.
    constexpr std::size_t kLongestReference = 12;
    if (semicolon == std::string_view::npos || semicolon - at > kLongestReference)
      return fail(at, "'&' does not start an entity (write &amp; for '&')");
    const std::string_view name = s_.substr(at + 1, semicolon - at - 1);
    length = semicolon - at + 1;
    decoded.clear();
    if (name == "lt") {
      decoded = "<";
    } else if (name == "gt") {
      decoded = ">";
    } else if (name == "amp") {
      decoded = "&";
    } else if (name == "quot") {
      decoded = "\"";
    } else if (name == "apos") {
      decoded = "'";
    } else if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      std::uint32_t cp = 0;
      const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
      const bool whole = !digits.empty() && ec == std::errc() && end == digits.data() + digits.size() &&
                         digits.front() != '+' && digits.front() != '-';
      if (!whole || cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
        return fail(at, "&" + std::string(name) + "; is not a character");
      platform::appendUtf8(decoded, cp);
    } else {
      return fail(at, "unknown entity &" + std::string(name) + ";");
    }
    return true;
  }

  // Whatever starts with '<' at pos_.
  bool markup() {
    const std::size_t at = pos_;
    const std::string_view rest = s_.substr(at);
    auto skipTo = [&](std::string_view close, const char* what) {
      const std::size_t end = s_.find(close, at + 2);
      if (end == std::string_view::npos) return fail(at, std::string(what) + " is never closed");
      pos_ = end + close.size();
      return true;
    };
    if (rest.starts_with("<!--")) return skipTo("-->", "the comment");
    if (rest.starts_with("<![CDATA[")) {
      const std::size_t end = s_.find("]]>", at + 9);
      if (end == std::string_view::npos) return fail(at, "the CDATA section is never closed");
      text(s_.substr(at + 9, end - at - 9), at + 9);
      pos_ = end + 3;
      return true;
    }
    if (rest.starts_with("<?")) return skipTo("?>", "the processing instruction");
    if (rest.starts_with("<!")) return skipTo(">", "the declaration");
    if (rest.starts_with("</")) return closingTag(at);
    return openingTag(at);
  }

  bool readName(std::string& name) {
    name.clear();
    if (pos_ >= s_.size() || !isNameStart(s_[pos_])) return false;
    while (pos_ < s_.size() && isNameChar(s_[pos_])) name.push_back(s_[pos_++]);
    return true;
  }

  void skipSpaces() {
    while (pos_ < s_.size() && isSpace(s_[pos_])) ++pos_;
  }

  bool closingTag(std::size_t at) {
    pos_ = at + 2;
    std::string name;
    if (!readName(name)) return fail(at, "'</' is not followed by a tag name");
    skipSpaces();
    if (pos_ >= s_.size() || s_[pos_] != '>') return fail(at, "</" + name + " is not closed by '>'");
    ++pos_;
    if (open_.empty()) return fail(at, "</" + name + "> closes nothing");
    const Open element = open_.back();
    if (element.name != name) return fail(at, "</" + name + "> where </" + element.name + "> was expected");
    open_.pop_back();
    if (element.silent) --silentDepth_;
    if (element.spelled) --spelledDepth_;
    if (element.cardinal) --cardinalDepth_;
    rate_ = element.outerRate;
    volume_ = element.outerVolume;
    if (!silent() && !element.closing.empty()) {
      anchor(at);
      out_.markup += element.closing;
    }
    if (element.separates) separate();
    return true;
  }

  bool openingTag(std::size_t at) {
    pos_ = at + 1;
    std::string name;
    if (!readName(name)) return fail(at, "'<' does not open a tag (write &lt; for '<')");
    std::vector<Attribute> attributes;
    bool selfClosing = false;
    for (;;) {
      const std::size_t before = pos_;
      skipSpaces();
      if (pos_ >= s_.size()) return fail(at, "<" + name + " is not closed by '>'");
      if (s_[pos_] == '>') {
        ++pos_;
        break;
      }
      if (s_.substr(pos_).starts_with("/>")) {
        pos_ += 2;
        selfClosing = true;
        break;
      }
      if (pos_ == before) return fail(pos_, "attributes of <" + name + "> must be separated by spaces");
      Attribute attribute;
      if (!attributeAt(name, attribute)) return false;
      attributes.push_back(std::move(attribute));
    }
    return element(at, name, attributes, selfClosing);
  }

  // One name="value" (or 'value') at pos_.
  bool attributeAt(const std::string& tag, Attribute& attribute) {
    const std::size_t at = pos_;
    if (!readName(attribute.name)) return fail(at, "<" + tag + "> holds something that is not an attribute");
    skipSpaces();
    if (pos_ >= s_.size() || s_[pos_] != '=') return fail(at, "attribute " + attribute.name + " has no '='");
    ++pos_;
    skipSpaces();
    if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\''))
      return fail(at, "the value of attribute " + attribute.name + " is not quoted");
    const char quote = s_[pos_++];
    while (pos_ < s_.size() && s_[pos_] != quote) {
      if (s_[pos_] == '<') return fail(pos_, "'<' inside the value of attribute " + attribute.name);
      if (s_[pos_] == '&') {
        std::string decoded;
        std::size_t length = 0;
        if (!entity(pos_, decoded, length)) return false;
        attribute.value += decoded;
        pos_ += length;
      } else {
        attribute.value.push_back(s_[pos_++]);
      }
    }
    if (pos_ >= s_.size()) return fail(at, "the value of attribute " + attribute.name + " is never closed");
    ++pos_;
    return true;
  }

  static const std::string* find(const std::vector<Attribute>& attributes, std::string_view name) {
    for (const Attribute& a : attributes)
      if (a.name == name) return &a.value;
    return nullptr;
  }

  bool element(std::size_t at, const std::string& name, const std::vector<Attribute>& attributes, bool selfClosing) {
    Open open;
    open.name = name;
    open.at = at;
    open.outerRate = rate_;
    open.outerVolume = volume_;
    std::string starting;  // markup that begins what the element asks for
    if (name == "mark") {
      const std::string* markName = find(attributes, "name");
      if (markName == nullptr) return fail(at, "<mark> has no name attribute");
      if (!silent()) {
        anchor(at);
        out_.markup += "<bookmark mark=\"" + std::to_string(out_.marks.size()) + "\"/>";
        out_.marks.push_back(*markName);
      }
    } else if (name == "break") {
      unsigned ms = 400;
      if (const std::string* time = find(attributes, "time")) {
        const std::optional<unsigned> parsed = parseBreakTime(*time);
        if (!parsed) return fail(at, "<break> time \"" + *time + "\" is not a time such as 500ms or 1.5s");
        ms = *parsed;
      } else if (const std::string* strength = find(attributes, "strength")) {
        bool known = false;
        for (const BreakStrength& b : kBreakStrengths) {
          if (b.name == *strength) {
            ms = b.ms;
            known = true;
          }
        }
        if (!known) return fail(at, "<break> strength \"" + *strength + "\" is none of x-weak to x-strong");
      } else {
        for (const BreakStrength& b : kBreakStrengths)
          if (b.name == "medium") ms = b.ms;
      }
      if (ms > 0 && !silent()) {
        anchor(at);
        out_.markup += "<silence msec=\"" + std::to_string(ms) + "\"/>";
      }
    } else if (name == "sub") {
      if (const std::string* alias = find(attributes, "alias")) text(*alias, at, false);
      open.silent = true;
    } else if (name == "say-as") {
      const std::string* as = find(attributes, "interpret-as");
      open.spelled = as != nullptr && (*as == "characters" || *as == "spell-out" || *as == "tts:char" ||
                                       *as == "digits" || *as == "telephone");
      open.cardinal = as != nullptr && (*as == "cardinal" || *as == "number");
      open.separates = open.spelled;
    } else if (name == "prosody") {
      if (const std::string* rate = find(attributes, "rate")) {
        const std::optional<int> parsed = parseProsodyRate(*rate, rate_);
        if (!parsed) return fail(at, "<prosody> rate \"" + *rate + "\" is not a rate such as fast, 150% or 0.8");
        rate_ = *parsed;
        starting += "<rate absspeed=\"" + std::to_string(rate_) + "\">";
        open.closing = "</rate>";
      }
      if (const std::string* volume = find(attributes, "volume")) {
        const std::optional<unsigned> parsed = parseProsodyVolume(*volume, volume_);
        if (!parsed) return fail(at, "<prosody> volume \"" + *volume + "\" is not a volume such as loud, 80 or -6dB");
        volume_ = *parsed;
        starting += "<volume level=\"" + std::to_string(volume_) + "\">";
        open.closing = "</volume>" + open.closing;
      }
    } else if (name == "emphasis") {
      // The speech API's markup has emphasis but no less of it: "reduced"
      // is read as plain text, like "none".
      const std::string* level = find(attributes, "level");
      if (level == nullptr || (*level != "none" && *level != "reduced")) {
        starting = "<emph>";
        open.closing = "</emph>";
      }
    } else if (name == "p" || name == "s") {
      open.separates = true;
    } else if (name == "desc" || name == "metadata" || name == "lexicon") {
      open.silent = true;
    }
    if (open.separates) separate();
    if (selfClosing) {
      if (open.separates) separate();
      rate_ = open.outerRate;
      volume_ = open.outerVolume;
      return true;
    }
    if (!silent() && !starting.empty()) {
      anchor(at);
      out_.markup += starting;
    }
    if (open.silent) ++silentDepth_;
    if (open.spelled) ++spelledDepth_;
    if (open.cardinal) ++cardinalDepth_;
    open_.push_back(std::move(open));
    return true;
  }

  std::string_view s_;
  bool spellAll_;
  SapiText& out_;
  std::size_t pos_ = 0;
  std::vector<Open> open_;
  int silentDepth_ = 0;
  int spelledDepth_ = 0;
  int cardinalDepth_ = 0;
  int rate_ = 0;
  unsigned volume_ = kNormalVolume;
  std::string error_;
};

}  // namespace

std::size_t SapiText::ssmlByteOf(std::size_t markupByte) const {
  const auto after = std::upper_bound(anchors.begin(), anchors.end(), markupByte,
                                      [](std::size_t byte, const SourceAnchor& a) { return byte < a.markupByte; });
  if (after == anchors.begin()) return 0;
  const SourceAnchor& a = *(after - 1);
  const std::size_t byte = a.ssmlByte + (markupByte - a.markupByte);
  return after != anchors.end() && byte > after->ssmlByte ? after->ssmlByte : byte;
}

bool looksLikeSsml(std::string_view text) {
  for (;;) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    if (text.starts_with("\xEF\xBB\xBF")) {
      text.remove_prefix(3);
    } else if (text.starts_with("<?")) {
      const std::size_t end = text.find("?>");
      if (end == std::string_view::npos) return false;
      text.remove_prefix(end + 2);
    } else if (text.starts_with("<!--")) {
      const std::size_t end = text.find("-->");
      if (end == std::string_view::npos) return false;
      text.remove_prefix(end + 3);
    } else {
      break;
    }
  }
  return text.starts_with("<speak") && text.size() > 6 && (isSpace(text[6]) || text[6] == '>' || text[6] == '/');
}

std::string ssmlToSapi(std::string_view ssml, bool spell, SapiText& out) {
  try {
    return Converter(ssml, spell, out).run();
  } catch (const std::bad_alloc&) {
    return "out of memory";
  }
}

}  // namespace sonvale::host
