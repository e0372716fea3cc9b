#include "ssml_to_sapi.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>

#include "platform/utf.h"

namespace sonvale::speechd {

namespace {

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
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  // Digits with at most one '.', and at least one digit: from_chars alone
  // would also take signs, exponents, "inf" and "nan".
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
  if (ec == std::errc::result_out_of_range) return kMaxBreakMs;
  if (ec != std::errc()) return std::nullopt;
  const double ms = value * factor;
  if (ms >= kMaxBreakMs) return kMaxBreakMs;
  return static_cast<unsigned>(std::floor(ms + 0.5));
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
          text(decoded);
          pos_ += length;
        }
      } else {
        const std::size_t start = pos_;
        while (pos_ < s_.size() && s_[pos_] != '<' && s_[pos_] != '&') ++pos_;
        text(s_.substr(start, pos_ - start));
      }
      if (!ok) return error_;
    }
    if (!open_.empty()) return fault(open_.back().at, "<" + open_.back().name + "> is never closed");
    return {};
  }

 private:
  struct Open {
    std::string name;
    std::size_t at;  // byte of its '<'
    bool silent;     // its content is not read
    bool spelled;    // its content is spelled
    bool separates;  // a space at each edge
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

  // Text to be read, UTF-8.
  void text(std::string_view t) {
    if (silent()) return;
    const bool spell = spelling();
    for (std::size_t i = 0; i < t.size();) {
      const std::size_t n = utf8SequenceLength(t, i);
      const std::string_view ch = t.substr(i, n == 0 ? 1 : n);
      i += ch.size();
      if (spell && ch.size() == 1 && isSpace(ch[0])) continue;
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
    }
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
      text(s_.substr(at + 9, end - at - 9));
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
    Open open{name, at, false, false, false};
    if (name == "mark") {
      const std::string* markName = find(attributes, "name");
      if (markName == nullptr) return fail(at, "<mark> has no name attribute");
      if (!silent()) {
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
      if (ms > 0 && !silent()) out_.markup += "<silence msec=\"" + std::to_string(ms) + "\"/>";
    } else if (name == "sub") {
      if (const std::string* alias = find(attributes, "alias")) text(*alias);
      open.silent = true;
    } else if (name == "say-as") {
      const std::string* as = find(attributes, "interpret-as");
      open.spelled = as != nullptr && (*as == "characters" || *as == "spell-out" || *as == "tts:char");
      open.separates = open.spelled;
    } else if (name == "p" || name == "s") {
      open.separates = true;
    } else if (name == "desc" || name == "metadata" || name == "lexicon") {
      open.silent = true;
    }
    if (open.separates) separate();
    if (selfClosing) {
      if (open.separates) separate();
      return true;
    }
    if (open.silent) ++silentDepth_;
    if (open.spelled) ++spelledDepth_;
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
  std::string error_;
};

}  // namespace

std::string ssmlToSapi(std::string_view ssml, bool spell, SapiText& out) {
  try {
    return Converter(ssml, spell, out).run();
  } catch (const std::bad_alloc&) {
    return "out of memory";
  }
}

}  // namespace sonvale::speechd
