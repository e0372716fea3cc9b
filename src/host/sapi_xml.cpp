#include "host/sapi_xml.h"

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sonvale::host {

struct FragmentList::Storage {
  std::vector<SPVTEXTFRAG> fragments;  // in list order, linked through pNext
  std::vector<ULONG> sourceLengths;
  std::vector<char16_t> pool;  // every fragment text and context string, each NUL-terminated
};

FragmentList::FragmentList() noexcept = default;
FragmentList::~FragmentList() = default;
FragmentList::FragmentList(FragmentList&& other) noexcept = default;
FragmentList& FragmentList::operator=(FragmentList&& other) noexcept = default;
FragmentList::FragmentList(std::unique_ptr<Storage> storage, ParseStatus status) noexcept
    : storage_(std::move(storage)), status_(status) {}

const SPVTEXTFRAG* FragmentList::head() const noexcept {
  return storage_ != nullptr && !storage_->fragments.empty() ? storage_->fragments.data() : nullptr;
}

std::size_t FragmentList::size() const noexcept { return storage_ != nullptr ? storage_->fragments.size() : 0; }

const SPVTEXTFRAG& FragmentList::operator[](std::size_t i) const noexcept { return storage_->fragments[i]; }

ULONG FragmentList::sourceLength(std::size_t i) const noexcept { return storage_->sourceLengths[i]; }

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Part-of-speech values of the <partofsp> tag, as the speech API numbers them.
constexpr SPPARTOFSPEECH kNoun = static_cast<SPPARTOFSPEECH>(0x1000);
constexpr SPPARTOFSPEECH kVerb = static_cast<SPPARTOFSPEECH>(0x2000);
constexpr SPPARTOFSPEECH kModifier = static_cast<SPPARTOFSPEECH>(0x3000);
constexpr SPPARTOFSPEECH kFunction = static_cast<SPPARTOFSPEECH>(0x4000);
constexpr SPPARTOFSPEECH kInterjection = static_cast<SPPARTOFSPEECH>(0x5000);

bool isXmlSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Tag and attribute names are ASCII: a '<' before any other character,
// an ideograph included, is text.
bool isNameStart(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':'; }
bool isNameChar(char16_t c) { return isNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.'; }

char16_t lowerAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c; }

bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

std::u16string_view trimXmlSpace(std::u16string_view v) {
  while (!v.empty() && isXmlSpace(v.front())) v.remove_prefix(1);
  while (!v.empty() && isXmlSpace(v.back())) v.remove_suffix(1);
  return v;
}

// A decimal integer with an optional sign, white space around it allowed.
// Magnitudes beyond 10^12 stop growing: every user clamps to 32 bits.
std::optional<std::int64_t> parseDecimal(std::u16string_view v) {
  v = trimXmlSpace(v);
  bool negative = false;
  if (!v.empty() && (v.front() == u'-' || v.front() == u'+')) {
    negative = v.front() == u'-';
    v.remove_prefix(1);
  }
  if (v.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char16_t c : v) {
    if (c < u'0' || c > u'9') return std::nullopt;
    if (value < 1'000'000'000'000) value = value * 10 + (c - u'0');
  }
  return negative ? -value : value;
}

// A hexadecimal LANGID such as "409" or "0x409".
std::optional<LANGID> parseLangId(std::u16string_view v) {
  v = trimXmlSpace(v);
  if (v.size() > 2 && v[0] == u'0' && (v[1] == u'x' || v[1] == u'X')) v.remove_prefix(2);
  if (v.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char16_t c : v) {
    std::uint32_t digit = 0;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (lowerAscii(c) >= u'a' && lowerAscii(c) <= u'f') {
      digit = lowerAscii(c) - u'a' + 10u;
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<LANGID>(value);
}

LONG saturateLong(std::int64_t v) {
  if (v > std::numeric_limits<LONG>::max()) return std::numeric_limits<LONG>::max();
  if (v < std::numeric_limits<LONG>::min()) return std::numeric_limits<LONG>::min();
  return static_cast<LONG>(v);
}

// Reads the entity or character reference at s[pos] ('&'). Returns the code
// units it takes, 0 when there is none there: an unknown name, a missing ';',
// or a code point that is no character (0, a surrogate, above U+10FFFF).
std::size_t readEntity(std::u16string_view s, std::size_t pos, char32_t& codePoint) {
  struct Named {
    std::u16string_view name;
    char16_t value;
  };
  static constexpr std::array<Named, 5> kNamed = {
      {{u"lt;", u'<'}, {u"gt;", u'>'}, {u"amp;", u'&'}, {u"quot;", u'"'}, {u"apos;", u'\''}}};
  const std::u16string_view rest = s.substr(pos + 1);
  for (const Named& named : kNamed) {
    if (rest.substr(0, named.name.size()) == named.name) {
      codePoint = named.value;
      return 1 + named.name.size();
    }
  }
  if (rest.empty() || rest[0] != u'#') return 0;
  std::size_t i = 1;
  const bool hex = i < rest.size() && rest[i] == u'x';
  if (hex) ++i;
  const std::size_t digitsStart = i;
  std::uint32_t value = 0;
  // Leading zeros are allowed, but a reference is never longer than this.
  constexpr std::size_t kMaxDigits = 16;
  while (i < rest.size() && i - digitsStart < kMaxDigits) {
    const char16_t c = rest[i];
    std::uint32_t digit = 0;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (hex && lowerAscii(c) >= u'a' && lowerAscii(c) <= u'f') {
      digit = lowerAscii(c) - u'a' + 10u;
    } else {
      break;
    }
    // Past U+10FFFF the value only has to stay invalid, not exact.
    value = value > 0x10FFFF ? value : value * (hex ? 16u : 10u) + digit;
    ++i;
  }
  if (i == digitsStart || i >= rest.size() || rest[i] != u';') return 0;
  if (value == 0 || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
  codePoint = value;
  return 1 + i + 1;
}

template <typename Out>
void appendCodePoint(Out& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

enum class Tag {
  Sapi,
  Voice,
  Volume,
  Rate,
  Pitch,
  Emph,
  Spell,
  Pron,
  Lang,
  Context,
  PartOfSpeech,
  Silence,
  Bookmark,
  Unknown
};
constexpr std::size_t kTagCount = static_cast<std::size_t>(Tag::Unknown) + 1;

Tag tagNamed(std::u16string_view name) {
  struct Entry {
    std::u16string_view name;
    Tag tag;
  };
  // "partofspeech" is accepted beside the schema's own "partofsp".
  static constexpr std::array<Entry, 14> kTags = {{{u"sapi", Tag::Sapi},
                                                   {u"voice", Tag::Voice},
                                                   {u"volume", Tag::Volume},
                                                   {u"rate", Tag::Rate},
                                                   {u"pitch", Tag::Pitch},
                                                   {u"emph", Tag::Emph},
                                                   {u"spell", Tag::Spell},
                                                   {u"pron", Tag::Pron},
                                                   {u"lang", Tag::Lang},
                                                   {u"context", Tag::Context},
                                                   {u"partofsp", Tag::PartOfSpeech},
                                                   {u"partofspeech", Tag::PartOfSpeech},
                                                   {u"silence", Tag::Silence},
                                                   {u"bookmark", Tag::Bookmark}}};
  for (const Entry& entry : kTags) {
    if (equalsNoCase(name, entry.name)) return entry.tag;
  }
  return Tag::Unknown;
}

// The state that text gets. Context strings live in the pool; their offsets
// become pointers when the list is finished.
struct RunningState {
  SPVSTATE state{};
  std::size_t category = kNone;
  std::size_t before = kNone;
  std::size_t after = kNone;
};

RunningState defaultState() {
  RunningState s;
  s.state.eAction = SPVA_Speak;
  s.state.LangID = kDefaultLangId;
  s.state.Volume = kDefaultVolume;
  s.state.ePartOfSpeech = SPPS_Unknown;
  return s;
}

// A fragment under construction, linked by index so that a fragment can be
// put in front of ones made earlier.
struct Piece {
  RunningState state;
  std::size_t textOffset = 0;  // in the pool
  ULONG textLength = 0;
  ULONG sourceOffset = 0;
  ULONG sourceLength = 0;
  std::size_t next = kNone;
};

struct OpenElement {
  Tag tag = Tag::Unknown;
  RunningState restore;            // the state before the element opened
  std::size_t lastBefore = kNone;  // last fragment made before it opened
  std::size_t pronouncedBefore = 0;
  ULONG openOffset = 0;
  ULONG openLength = 0;
};

struct Attribute {
  std::size_t nameBegin = 0;
  std::size_t nameLength = 0;
  std::size_t valueBegin = 0;
  std::size_t valueLength = 0;
};

enum class MarkupKind { StartTag, EndTag, Skipped, CData };

struct Markup {
  MarkupKind kind = MarkupKind::Skipped;
  std::size_t end = 0;  // one past the markup's last code unit
  std::size_t nameBegin = 0;
  std::size_t nameLength = 0;
  bool selfClosing = false;
  std::size_t contentBegin = 0;  // CDATA only
  std::size_t contentLength = 0;
};

// Finds the first occurrence of a terminator at or after a position that only
// ever moves forward, remembering the last answer: a text full of comment
// openers that are never closed is still scanned once, not once per opener.
class TerminatorSearch {
 public:
  explicit TerminatorSearch(std::u16string_view pattern) : pattern_(pattern) {}

  std::size_t find(std::u16string_view text, std::size_t from) {
    if (searched_ && from >= from_ && (found_ == std::u16string_view::npos || found_ >= from)) return found_;
    searched_ = true;
    from_ = from;
    found_ = text.find(pattern_, from);
    return found_;
  }

 private:
  std::u16string_view pattern_;
  bool searched_ = false;
  std::size_t from_ = 0;
  std::size_t found_ = 0;
};

class Parser {
 public:
  using BatchSink = std::function<bool(std::unique_ptr<FragmentList::Storage>)>;

  // Without a batch sink the whole list is made in one storage, taken with
  // take() after parsing.
  explicit Parser(std::u16string_view text, std::size_t batchFragments = 0, BatchSink batchSink = {})
      : src_(text), batchFragments_(batchFragments), batchSink_(std::move(batchSink)) {}

  std::unique_ptr<FragmentList::Storage> take() { return std::move(out_); }
  bool stopped() const { return stopped_; }

  void parsePlain() {
    if (src_.empty()) return;
    const std::size_t offset = out_->pool.size();
    out_->pool.insert(out_->pool.end(), src_.begin(), src_.end());
    out_->pool.push_back(0);
    addPiece(makePiece(current_, SPVA_Speak, offset, src_.size(), 0, src_.size()));
    finish();
  }

  void parseXml() {
    std::size_t pos = 0;
    while (pos < src_.size()) {
      if (batchDue() && !handOverBatch()) return;
      const char16_t c = src_[pos];
      if (c == u'<') {
        Markup markup;
        if (lexMarkup(pos, markup)) {
          handleMarkup(pos, markup);
          pos = markup.end;
          continue;
        }
      } else if (c == u'&') {
        char32_t codePoint = 0;
        if (const std::size_t length = readEntity(src_, pos, codePoint); length > 0) {
          startRun(pos);
          appendCodePoint(out_->pool, codePoint);
          pos += length;
          continue;
        }
      }
      startRun(pos);
      out_->pool.push_back(c);
      ++pos;
    }
    flushRun(src_.size());
    while (!stack_.empty()) popElement();
    finish();
    if (batchSink_ && !pieces_.empty()) stopped_ = !batchSink_(take());
  }

 private:
  // --- Batches ---

  // A batch may end once it is full, between runs, and when no <pron> is
  // open: closing one can put a fragment in front of the ones made inside it.
  // The engine speaks text that only bookmarks separate as one text, so a
  // batch ends after such text only where white space divides it anyway, or,
  // to bound the memory held, once it is four times full.
  bool batchDue() const {
    return batchSink_ && pieces_.size() >= batchFragments_ && !runOpen_ &&
           openCount_[static_cast<std::size_t>(Tag::Pron)] == 0 &&
           (cleanCut() || pieces_.size() >= 4 * batchFragments_);
  }

  bool cleanCut() const {
    if (tail_ == kNone) return true;
    const Piece& last = pieces_[tail_];
    if (last.state.state.eAction == SPVA_Bookmark) return false;
    if (last.state.state.eAction != SPVA_Speak || last.textLength == 0) return true;
    const char16_t c = out_->pool[last.textOffset + last.textLength - 1];
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
  }

  // Lays out the pieces made so far and hands them over; the next batch
  // starts empty, with the context strings that the running state and the
  // open elements still name. Returns false when the sink stops the parse.
  bool handOverBatch() {
    finish();
    auto next = std::make_unique<FragmentList::Storage>();
    std::vector<std::pair<std::size_t, std::size_t>> moved;  // old pool offset, new one
    const auto keep = [&](std::size_t& offset) {
      if (offset == kNone) return;
      for (const auto& [from, to] : moved)
        if (from == offset) {
          offset = to;
          return;
        }
      const std::size_t to = next->pool.size();
      for (std::size_t i = offset; out_->pool[i] != 0; ++i) next->pool.push_back(out_->pool[i]);
      next->pool.push_back(0);
      moved.emplace_back(offset, to);
      offset = to;
    };
    const auto keepState = [&](RunningState& state) {
      keep(state.category);
      keep(state.before);
      keep(state.after);
    };
    keepState(current_);
    for (OpenElement& element : stack_) {
      keepState(element.restore);
      element.lastBefore = kNone;  // only a <pron> uses it, and none is open
    }
    std::unique_ptr<FragmentList::Storage> full = std::exchange(out_, std::move(next));
    pieces_.clear();
    head_ = tail_ = kNone;
    if (!batchSink_(std::move(full))) stopped_ = true;
    return !stopped_;
  }

  // --- Lexing: recognises one construct at a '<' without side effects. ---

  bool lexMarkup(std::size_t pos, Markup& m) {
    const std::u16string_view rest = src_.substr(pos);
    if (rest.substr(0, 4) == u"<!--") return lexEnclosed(pos, 4, commentEnd_, 3, m);
    if (rest.substr(0, 9) == u"<![CDATA[") {
      if (!lexEnclosed(pos, 9, cdataEnd_, 3, m)) return false;
      m.kind = MarkupKind::CData;
      m.contentBegin = pos + 9;
      m.contentLength = m.end - 3 - m.contentBegin;
      return true;
    }
    if (rest.size() > 2 && rest[1] == u'?' && isNameStart(rest[2])) return lexEnclosed(pos, 2, instructionEnd_, 2, m);
    if (rest.size() > 2 && rest[1] == u'/') return lexEndTag(pos, m);
    return lexStartTag(pos, m);
  }

  // A comment, processing instruction or CDATA section: an opener of
  // `openLength` code units up to the next terminator.
  bool lexEnclosed(std::size_t pos, std::size_t openLength, TerminatorSearch& search, std::size_t closeLength,
                   Markup& m) {
    const std::size_t close = search.find(src_, pos + openLength);
    if (close == std::u16string_view::npos) return false;
    m.kind = MarkupKind::Skipped;
    m.end = close + closeLength;
    return true;
  }

  std::size_t skipSpace(std::size_t i) const {
    while (i < src_.size() && isXmlSpace(src_[i])) ++i;
    return i;
  }

  std::size_t skipName(std::size_t i) const {
    while (i < src_.size() && isNameChar(src_[i])) ++i;
    return i;
  }

  bool lexEndTag(std::size_t pos, Markup& m) {
    std::size_t i = pos + 2;
    if (i >= src_.size() || !isNameStart(src_[i])) return false;
    m.nameBegin = i;
    i = skipName(i);
    m.nameLength = i - m.nameBegin;
    i = skipSpace(i);
    if (i >= src_.size() || src_[i] != u'>') return false;
    m.kind = MarkupKind::EndTag;
    m.end = i + 1;
    return true;
  }

  // A start tag: name, then attributes name="value" or name='value', each
  // after white space, then '>' or "/>". A value may not hold '<', so a scan
  // that fails stops at the next '<' and the text stays linear to scan.
  bool lexStartTag(std::size_t pos, Markup& m) {
    const std::size_t n = src_.size();
    std::size_t i = pos + 1;
    if (i >= n || !isNameStart(src_[i])) return false;
    m.nameBegin = i;
    i = skipName(i);
    m.nameLength = i - m.nameBegin;
    attributes_.clear();
    for (;;) {
      const std::size_t afterName = i;
      i = skipSpace(i);
      if (i >= n) return false;
      if (src_[i] == u'>') {
        m.end = i + 1;
        break;
      }
      if (src_[i] == u'/') {
        if (i + 1 >= n || src_[i + 1] != u'>') return false;
        m.selfClosing = true;
        m.end = i + 2;
        break;
      }
      if (i == afterName || !isNameStart(src_[i])) return false;
      Attribute a;
      a.nameBegin = i;
      i = skipName(i);
      a.nameLength = i - a.nameBegin;
      i = skipSpace(i);
      if (i >= n || src_[i] != u'=') return false;
      i = skipSpace(i + 1);
      if (i >= n || (src_[i] != u'"' && src_[i] != u'\'')) return false;
      const char16_t quote = src_[i++];
      a.valueBegin = i;
      while (i < n && src_[i] != quote) {
        if (src_[i] == u'<') return false;
        ++i;
      }
      if (i >= n) return false;
      a.valueLength = i - a.valueBegin;
      ++i;
      attributes_.push_back(a);
    }
    m.kind = MarkupKind::StartTag;
    return true;
  }

  // --- Text runs ---

  void startRun(std::size_t pos) {
    if (runOpen_) return;
    runOpen_ = true;
    runSource_ = pos;
    runPool_ = out_->pool.size();
  }

  // Ends the current text run at `end` and makes it a fragment with the
  // running state; a run that decoded to nothing (an empty CDATA section)
  // makes none.
  void flushRun(std::size_t end) {
    if (!runOpen_) return;
    runOpen_ = false;
    const std::size_t length = out_->pool.size() - runPool_;
    if (length == 0) return;
    out_->pool.push_back(0);
    const SPVACTIONS action = current_.state.eAction;
    addPiece(makePiece(current_, action, runPool_, length, runSource_, end - runSource_));
    if (action == SPVA_Pronounce) ++pronounced_;
  }

  // --- Markup ---

  void handleMarkup(std::size_t pos, const Markup& m) {
    if (m.kind == MarkupKind::CData) {
      // The section's content is text of the run it stands in.
      startRun(pos);
      const std::u16string_view content = src_.substr(m.contentBegin, m.contentLength);
      out_->pool.insert(out_->pool.end(), content.begin(), content.end());
      return;
    }
    flushRun(pos);
    if (m.kind == MarkupKind::Skipped) return;
    const Tag tag = tagNamed(src_.substr(m.nameBegin, m.nameLength));
    if (tag == Tag::Unknown) {
      addPiece(makePiece(current_, SPVA_ParseUnknownTag, poolString(src_.substr(pos, m.end - pos)), m.end - pos, pos,
                         m.end - pos));
      return;
    }
    if (m.kind == MarkupKind::EndTag) {
      endElement(tag);
    } else {
      startElement(tag, pos, m);
    }
  }

  void startElement(Tag tag, std::size_t pos, const Markup& m) {
    const std::size_t length = m.end - pos;
    switch (tag) {
      case Tag::Silence: {
        Piece piece = makePiece(current_, SPVA_Silence, poolString({}), 0, pos, length);
        piece.state.state.SilenceMSecs = silenceMs();
        addPiece(piece);
        return;  // a closing </silence> then finds nothing open
      }
      case Tag::Bookmark: {
        const std::u16string name = attributeValue(u"mark").value_or(std::u16string());
        addPiece(makePiece(current_, SPVA_Bookmark, poolString(name), name.size(), pos, length));
        return;
      }
      default:
        break;
    }
    if (m.selfClosing) {
      if (tag == Tag::Pron) {
        addPiece(makePiece(current_, SPVA_Pronounce, poolString({}), 0, pos, length));
      } else {
        // Volume, rate, pitch, language and voice set the state for the rest of
        // the enclosing element; the other tags need content to apply to.
        const bool global = tag == Tag::Volume || tag == Tag::Rate || tag == Tag::Pitch || tag == Tag::Lang;
        if (global) applyAttributes(tag, current_);
      }
      return;
    }
    OpenElement element;
    element.tag = tag;
    element.restore = current_;
    element.lastBefore = tail_;
    element.pronouncedBefore = pronounced_;
    element.openOffset = static_cast<ULONG>(pos);
    element.openLength = static_cast<ULONG>(length);
    stack_.push_back(element);
    ++openCount_[static_cast<std::size_t>(tag)];
    if (tag == Tag::Pron) {
      current_.state.eAction = SPVA_Pronounce;
    } else if (tag == Tag::Spell) {
      current_.state.eAction = SPVA_SpellOut;
    } else {
      applyAttributes(tag, current_);
    }
  }

  void endElement(Tag tag) {
    // The count keeps closing tags with nothing to close from searching the stack.
    if (openCount_[static_cast<std::size_t>(tag)] == 0) return;
    std::size_t i = stack_.size();
    while (stack_[i - 1].tag != tag) --i;
    // Each element is popped once, so the search costs no more than the pops.
    while (stack_.size() >= i) popElement();
  }

  void popElement() {
    const OpenElement& element = stack_.back();
    if (element.tag == Tag::Pron && pronounced_ == element.pronouncedBefore) {
      // A <pron> with no text of its own still gives the engine its
      // pronunciation: an empty fragment in the place of its opening tag.
      insertPieceAfter(element.lastBefore, makePiece(element.restore, SPVA_Pronounce, poolString({}), 0,
                                                     element.openOffset, element.openLength));
    }
    current_ = element.restore;
    --openCount_[static_cast<std::size_t>(element.tag)];
    stack_.pop_back();
  }

  std::optional<std::u16string> attributeValue(std::u16string_view name) const {
    for (const Attribute& a : attributes_) {
      if (!equalsNoCase(src_.substr(a.nameBegin, a.nameLength), name)) continue;
      const std::u16string_view raw = src_.substr(a.valueBegin, a.valueLength);
      std::u16string value;
      value.reserve(raw.size());
      for (std::size_t i = 0; i < raw.size();) {
        char32_t codePoint = 0;
        if (const std::size_t length = raw[i] == u'&' ? readEntity(raw, i, codePoint) : 0; length > 0) {
          appendCodePoint(value, codePoint);
          i += length;
        } else {
          value.push_back(raw[i++]);
        }
      }
      return value;  // the first of repeated attributes counts
    }
    return std::nullopt;
  }

  std::optional<std::int64_t> numberAttribute(std::u16string_view name) const {
    const std::optional<std::u16string> value = attributeValue(name);
    return value ? parseDecimal(*value) : std::nullopt;
  }

  ULONG silenceMs() const {
    const std::int64_t ms = numberAttribute(u"msec").value_or(0);
    return ms < 0 ? 0 : ms > kMaxSilenceMs ? kMaxSilenceMs : static_cast<ULONG>(ms);
  }

  // Absolute attributes replace a value, relative ones add to it; sums
  // saturate at the limits of a LONG instead of wrapping.
  void adjust(LONG& value, std::u16string_view absolute, std::u16string_view relative) const {
    if (const auto v = numberAttribute(absolute)) value = saturateLong(*v);
    if (const auto v = numberAttribute(relative)) value = saturateLong(static_cast<std::int64_t>(value) + *v);
  }

  void applyAttributes(Tag tag, RunningState& s) {
    switch (tag) {
      case Tag::Volume:
        // Absolute, 0 to 100, values outside clipped: a nested level is not
        // a share of the outer one.
        if (const auto level = numberAttribute(u"level")) {
          s.state.Volume = *level < 0 ? 0 : *level > 100 ? 100 : static_cast<ULONG>(*level);
        }
        break;
      case Tag::Rate:
        adjust(s.state.RateAdj, u"absspeed", u"speed");
        break;
      case Tag::Pitch:
        adjust(s.state.PitchAdj.MiddleAdj, u"absmiddle", u"middle");
        adjust(s.state.PitchAdj.RangeAdj, u"absrange", u"range");
        break;
      case Tag::Emph:
        s.state.EmphAdj = 1;
        break;
      case Tag::Lang:
        if (const auto value = attributeValue(u"langid")) {
          if (const auto id = parseLangId(*value)) s.state.LangID = *id;
        }
        break;
      case Tag::PartOfSpeech:
        if (const auto part = attributeValue(u"part")) {
          const std::u16string_view p = trimXmlSpace(*part);
          if (equalsNoCase(p, u"unknown")) s.state.ePartOfSpeech = SPPS_Unknown;
          if (equalsNoCase(p, u"noun")) s.state.ePartOfSpeech = kNoun;
          if (equalsNoCase(p, u"verb")) s.state.ePartOfSpeech = kVerb;
          if (equalsNoCase(p, u"modifier")) s.state.ePartOfSpeech = kModifier;
          if (equalsNoCase(p, u"function")) s.state.ePartOfSpeech = kFunction;
          if (equalsNoCase(p, u"interjection")) s.state.ePartOfSpeech = kInterjection;
        }
        break;
      case Tag::Context: {
        // A context element describes its content afresh: what it leaves out is unset.
        const auto poolOrNone = [this](const std::optional<std::u16string>& v) { return v ? poolString(*v) : kNone; };
        s.category = poolOrNone(attributeValue(u"id"));
        s.before = poolOrNone(attributeValue(u"before"));
        s.after = poolOrNone(attributeValue(u"after"));
        break;
      }
      default:  // <sapi> and <voice> only scope; one voice speaks here.
        break;
    }
  }

  // --- Fragments ---

  std::size_t poolString(std::u16string_view text) {
    const std::size_t offset = out_->pool.size();
    out_->pool.insert(out_->pool.end(), text.begin(), text.end());
    out_->pool.push_back(0);
    return offset;
  }

  static Piece makePiece(const RunningState& state, SPVACTIONS action, std::size_t textOffset, std::size_t textLength,
                         std::size_t sourceOffset, std::size_t sourceLength) {
    Piece piece;
    piece.state = state;
    piece.state.state.eAction = action;
    piece.state.state.SilenceMSecs = 0;
    piece.textOffset = textOffset;
    // The caller keeps the text below 2^32 code units and no fragment is
    // longer than the text it comes from.
    piece.textLength = static_cast<ULONG>(textLength);
    piece.sourceOffset = static_cast<ULONG>(sourceOffset);
    piece.sourceLength = static_cast<ULONG>(sourceLength);
    return piece;
  }

  void addPiece(const Piece& piece) { insertPieceAfter(tail_, piece); }

  void insertPieceAfter(std::size_t after, const Piece& piece) {
    const std::size_t index = pieces_.size();
    pieces_.push_back(piece);
    if (after == kNone) {
      pieces_[index].next = head_;
      head_ = index;
    } else {
      pieces_[index].next = pieces_[after].next;
      pieces_[after].next = index;
    }
    if (after == tail_) tail_ = index;
  }

  // Lays the pieces out in list order and turns pool offsets into pointers;
  // the pool does not grow after this.
  void finish() {
    out_->fragments.resize(pieces_.size());
    out_->sourceLengths.resize(pieces_.size());
    const char16_t* pool = out_->pool.data();
    const auto pointer = [pool](std::size_t offset) -> LPCWSTR { return offset == kNone ? nullptr : pool + offset; };
    std::size_t k = 0;
    for (std::size_t i = head_; i != kNone; i = pieces_[i].next, ++k) {
      const Piece& piece = pieces_[i];
      SPVTEXTFRAG& fragment = out_->fragments[k];
      fragment.pNext = k + 1 < pieces_.size() ? &out_->fragments[k + 1] : nullptr;
      fragment.State = piece.state.state;
      fragment.State.pPhoneIds = nullptr;
      fragment.State.Context = {pointer(piece.state.category), pointer(piece.state.before), pointer(piece.state.after)};
      fragment.pTextStart = pool + piece.textOffset;
      fragment.ulTextLen = piece.textLength;
      fragment.ulTextSrcOffset = piece.sourceOffset;
      out_->sourceLengths[k] = piece.sourceLength;
    }
  }

  std::u16string_view src_;
  std::size_t batchFragments_ = 0;
  BatchSink batchSink_;
  bool stopped_ = false;
  std::unique_ptr<FragmentList::Storage> out_ = std::make_unique<FragmentList::Storage>();
  RunningState current_ = defaultState();
  std::vector<OpenElement> stack_;
  std::array<std::size_t, kTagCount> openCount_{};
  std::vector<Piece> pieces_;
  std::size_t head_ = kNone;
  std::size_t tail_ = kNone;
  std::size_t pronounced_ = 0;         // text fragments made with SPVA_Pronounce so far
  std::vector<Attribute> attributes_;  // of the start tag being handled
  bool runOpen_ = false;
  std::size_t runSource_ = 0;
  std::size_t runPool_ = 0;
  TerminatorSearch commentEnd_{u"-->"};
  TerminatorSearch instructionEnd_{u"?>"};
  TerminatorSearch cdataEnd_{u"]]>"};
};

}  // namespace

FragmentList parseSpeakText(std::u16string_view text, bool parseXml) noexcept {
  if (text.size() > std::numeric_limits<ULONG>::max()) return FragmentList(nullptr, ParseStatus::TooLong);
  try {
    Parser parser(text);
    if (parseXml) {
      parser.parseXml();
    } else {
      parser.parsePlain();
    }
    return FragmentList(parser.take(), ParseStatus::Ok);
  } catch (...) {
    // Only allocation can fail here.
    return FragmentList(nullptr, ParseStatus::OutOfMemory);
  }
}

ParseStatus parseSpeakTextInBatches(std::u16string_view text, bool parseXml, std::size_t batchFragments,
                                    const FragmentBatchSink& take) noexcept {
  if (text.size() > std::numeric_limits<ULONG>::max()) return ParseStatus::TooLong;
  if (!parseXml) {
    // Plain text is a single fragment.
    FragmentList list = parseSpeakText(text, false);
    if (list.status() == ParseStatus::Ok && !list.empty()) take(list);
    return list.status();
  }
  try {
    Parser parser(text, batchFragments > 0 ? batchFragments : 1,
                  [&take](std::unique_ptr<FragmentList::Storage> storage) {
                    return take(FragmentList(std::move(storage), ParseStatus::Ok));
                  });
    parser.parseXml();
    return ParseStatus::Ok;
  } catch (...) {
    return ParseStatus::OutOfMemory;
  }
}

bool looksLikeXml(std::u16string_view text) noexcept { return !text.empty() && text.front() == u'<'; }

}  // namespace sonvale::host
