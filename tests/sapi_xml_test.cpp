#include "host/sapi_xml.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/utf.h"
#include "test_seed.h"

namespace sonvale::host {
namespace {

// One fragment as the tests compare it: action, text, where it came from,
// and the state values that the markup sets most.
struct Frag {
  SPVACTIONS action = SPVA_Speak;
  std::u16string text;
  ULONG offset = 0;
  ULONG sourceLength = 0;
  ULONG volume = kDefaultVolume;
  LONG rate = 0;
  LONG emph = 0;
  ULONG silenceMs = 0;

  bool operator==(const Frag&) const = default;

  Frag volumeIs(ULONG v) const {
    Frag f = *this;
    f.volume = v;
    return f;
  }
  Frag rateIs(LONG r) const {
    Frag f = *this;
    f.rate = r;
    return f;
  }
  Frag emphasised() const {
    Frag f = *this;
    f.emph = 1;
    return f;
  }
  Frag silenceIs(ULONG ms) const {
    Frag f = *this;
    f.silenceMs = ms;
    return f;
  }
};

Frag frag(SPVACTIONS action, std::u16string text, ULONG offset, ULONG sourceLength) {
  Frag f;
  f.action = action;
  f.text = std::move(text);
  f.offset = offset;
  f.sourceLength = sourceLength;
  return f;
}

Frag speak(std::u16string text, ULONG offset, ULONG sourceLength) {
  return frag(SPVA_Speak, std::move(text), offset, sourceLength);
}

void PrintTo(const Frag& f, std::ostream* os) {
  *os << "{action " << f.action << ", \"" << platform::utf16ToUtf8(f.text) << "\" @" << f.offset << "+"
      << f.sourceLength << ", volume " << f.volume << ", rate " << f.rate << ", emph " << f.emph << ", silence "
      << f.silenceMs << "}";
}

std::vector<Frag> render(const FragmentList& list) {
  std::vector<Frag> out;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const SPVTEXTFRAG& f = list[i];
    out.push_back({f.State.eAction, std::u16string(f.pTextStart, f.ulTextLen), f.ulTextSrcOffset, list.sourceLength(i),
                   f.State.Volume, f.State.RateAdj, f.State.EmphAdj, f.State.SilenceMSecs});
  }
  return out;
}

// What every list must satisfy, whatever the input: linked in order, texts
// owned and NUL-terminated, source spans inside the text, in order and
// disjoint, and texts that agree with the source where no decoding happened.
void checkInvariants(std::u16string_view text, const FragmentList& list) {
  ASSERT_EQ(list.status(), ParseStatus::Ok);
  std::size_t chained = 0;
  for (const SPVTEXTFRAG* f = list.head(); f != nullptr; f = f->pNext) {
    ASSERT_LT(chained, list.size());
    ASSERT_EQ(f, &list[chained]);
    ++chained;
  }
  ASSERT_EQ(chained, list.size());
  std::size_t previousEnd = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    SCOPED_TRACE("fragment " + std::to_string(i));
    const SPVTEXTFRAG& f = list[i];
    ASSERT_NE(f.pTextStart, nullptr);
    EXPECT_EQ(f.pTextStart[f.ulTextLen], 0);
    EXPECT_EQ(f.State.pPhoneIds, nullptr);
    EXPECT_LE(f.State.Volume, 100u);
    const std::size_t offset = f.ulTextSrcOffset;
    const std::size_t length = list.sourceLength(i);
    EXPECT_GT(length, 0u);
    ASSERT_LE(offset + length, text.size());
    EXPECT_GE(offset, previousEnd);
    previousEnd = offset + length;
    const std::u16string_view source = text.substr(offset, length);
    const std::u16string_view fragText(f.pTextStart, f.ulTextLen);
    if (f.State.eAction != SPVA_Silence) {
      EXPECT_EQ(f.State.SilenceMSecs, 0u);
    }
    switch (f.State.eAction) {
      case SPVA_Silence:
        EXPECT_EQ(f.ulTextLen, 0u);
        EXPECT_LE(f.State.SilenceMSecs, kMaxSilenceMs);
        EXPECT_EQ(source.front(), u'<');
        break;
      case SPVA_ParseUnknownTag:
        EXPECT_EQ(fragText, source);
        break;
      case SPVA_Bookmark:
        EXPECT_EQ(source.front(), u'<');
        break;
      case SPVA_Speak:
      case SPVA_SpellOut:
      case SPVA_Pronounce:
        if (f.ulTextLen == 0) {
          EXPECT_EQ(f.State.eAction, SPVA_Pronounce);
          EXPECT_EQ(source.front(), u'<');
        } else {
          EXPECT_LE(f.ulTextLen, length);
          if (source.find(u'&') == source.npos && source.find(u"<![CDATA[") == source.npos) {
            EXPECT_EQ(fragText, source);
          }
        }
        break;
      default:
        ADD_FAILURE() << "unexpected action " << f.State.eAction;
    }
  }
}

struct ParseCase {
  const char* name;
  std::u16string text;
  bool parseXml;
  std::vector<Frag> expected;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, Fragments) {
  const ParseCase& c = GetParam();
  const FragmentList list = parseSpeakText(c.text, c.parseXml);
  EXPECT_EQ(render(list), c.expected);
  checkInvariants(c.text, list);
}

// Offsets and lengths are counted by hand in UTF-16 code units; a tag's length
// is '<' + name + for each attribute (space + name + '=' + quoted value) + '>'
// or "/>". For example <bookmark mark="m1"/> is 1 + 8 + (1 + 4 + 1 + 4) + 2 = 21.
INSTANTIATE_TEST_SUITE_P(
    SapiXml, ParseTest,
    ::testing::Values(
        ParseCase{"PlainTextIsOneFragment", u"你好 <b>&amp;", false, {speak(u"你好 <b>&amp;", 0, 11)}},
        ParseCase{"PlainTextFlagKeepsTags",
                  u"<volume level=\"9\">x</volume>",
                  false,
                  {speak(u"<volume level=\"9\">x</volume>", 0, 28)}},
        ParseCase{"PlainEmpty", u"", false, {}},
        ParseCase{"XmlEmpty", u"", true, {}},
        ParseCase{"TextWithoutMarkup", u"今日天晴。", true, {speak(u"今日天晴。", 0, 5)}},
        ParseCase{"MarkupOnly", u"<volume level=\"5\"/>", true, {}},
        // "ab" 0-1, the 21-unit tag 2-22, "cd" from 23.
        ParseCase{"BookmarkInMiddle",
                  u"ab<bookmark mark=\"m1\"/>cd",
                  true,
                  {speak(u"ab", 0, 2),
                   frag(SPVA_Bookmark, u"m1", 2, 21),
                   speak(u"cd", 23, 2)}},
        // <silence msec="500"/> is 1 + 7 + (1 + 4 + 1 + 5) + 2 = 21.
        ParseCase{"Silence",
                  u"x<silence msec=\"500\"/>y",
                  true,
                  {speak(u"x", 0, 1),
                   frag(SPVA_Silence, u"", 1, 21).silenceIs(500),
                   speak(u"y", 22, 1)}},
        // 38, 20 and 10 units; 20 nines clamp to 65535, -5 and a missing msec give 0.
        ParseCase{"SilenceClampedAndDefaulted",
                  u"<silence msec=\"99999999999999999999\"/><silence msec=\"-5\"/><silence/>",
                  true,
                  {frag(SPVA_Silence, u"", 0, 38).silenceIs(65535),
                   frag(SPVA_Silence, u"", 38, 20),
                   frag(SPVA_Silence, u"", 58, 10)}},
        // <spell> is 7 units, </spell> 8 at 10-17.
        ParseCase{"Spell",
                  u"<spell>abc</spell>d",
                  true,
                  {frag(SPVA_SpellOut, u"abc", 7, 3),
                   speak(u"d", 18, 1)}},
        // <pron sym="h eh"> is 1 + 4 + (1 + 3 + 1 + 6) + 1 = 17, </pron> 7 at 19-25.
        ParseCase{"PronWithText",
                  u"<pron sym=\"h eh\">hi</pron>!",
                  true,
                  {frag(SPVA_Pronounce, u"hi", 17, 2),
                   speak(u"!", 26, 1)}},
        // <pron sym="x"/> is 15 units.
        ParseCase{"PronEmpty",
                  u"a<pron sym=\"x\"/>b",
                  true,
                  {speak(u"a", 0, 1),
                   frag(SPVA_Pronounce, u"", 1, 15),
                   speak(u"b", 16, 1)}},
        // The pronunciation comes first, in the place of its 14-unit opening tag.
        ParseCase{"PronWithoutTextBeforeWhatItHolds",
                  u"<pron sym=\"x\"><bookmark mark=\"m\"/></pron>",
                  true,
                  {frag(SPVA_Pronounce, u"", 0, 14),
                   frag(SPVA_Bookmark, u"m", 14, 20)}},
        // Tags of 19, 16 and 17 units, then </rate> (7) twice and </volume> (9):
        // a 19, b 36, c 54, d 62, e 70, f 80. Rates add up: 3, 3 - 5 = -2, back to 3, 0.
        ParseCase{"VolumeAndRateNestingRestored",
                  u"<volume level=\"50\">a<rate speed=\"3\">b<rate speed=\"-5\">c</rate>d</rate>e</volume>f",
                  true,
                  {speak(u"a", 19, 1).volumeIs(50),
                   speak(u"b", 36, 1).volumeIs(50).rateIs(3),
                   speak(u"c", 54, 1).volumeIs(50).rateIs(-2),
                   speak(u"d", 62, 1).volumeIs(50).rateIs(3),
                   speak(u"e", 70, 1).volumeIs(50),
                   speak(u"f", 80, 1)}},
        // Volume levels are absolute and clipped to 0-100; absspeed replaces the rate.
        ParseCase{"AbsoluteValuesAndClipping",
                  u"<volume level=\"500\">x</volume><volume level=\"-5\">y</volume><rate absspeed=\"-3\">z</rate>",
                  true,
                  {speak(u"x", 20, 1).volumeIs(100),
                   speak(u"y", 49, 1).volumeIs(0),
                   speak(u"z", 79, 1).rateIs(-3)}},
        // An empty volume tag lasts until its enclosing element closes.
        ParseCase{"EmptyTagLastsToEndOfScope",
                  u"<rate speed=\"1\">a<volume level=\"20\"/>b</rate>c",
                  true,
                  {speak(u"a", 16, 1).rateIs(1),
                   speak(u"b", 37, 1).volumeIs(20).rateIs(1),
                   speak(u"c", 45, 1)}},
        ParseCase{"Emphasis", u"<emph>E</emph>", true, {speak(u"E", 6, 1).emphasised()}},
        // </emph> closes the volume opened inside it; the later </volume> finds nothing open.
        ParseCase{"MismatchedCloseEndsInnerElements",
                  u"<emph><volume level=\"50\">Hello</emph>world</volume>",
                  true,
                  {speak(u"Hello", 25, 5).volumeIs(50).emphasised(),
                   speak(u"world", 37, 5)}},
        ParseCase{"UnmatchedCloseIgnored",
                  u"x</volume>y",
                  true,
                  {speak(u"x", 0, 1), speak(u"y", 10, 1)}},
        ParseCase{"UnclosedElementStillApplies",
                  u"<volume level=\"40\">x",
                  true,
                  {speak(u"x", 19, 1).volumeIs(40)}},
        // 2 + 5 + 3 + 4 + 1 + 4 + 1 + 5 + 6 + 1 + 6 + 1 + 6 = 45 source units.
        ParseCase{"Entities",
                  u"a &amp; b &lt;c&gt; &#65;&#x42; &quot;q&apos;",
                  true,
                  {speak(u"a & b <c> AB \"q'", 0, 45)}},
        ParseCase{"AstralCharacterReferences",
                  u"&#x1F600;&#128512;",
                  true,
                  {speak(u"\U0001F600\U0001F600", 0, 18)}},
        ParseCase{"NonEntitiesStayText",
                  u"&bogus; &#xD800; &#0; &#x110000; & &amp",
                  true,
                  {speak(u"&bogus; &#xD800; &#0; &#x110000; & &amp", 0, 39)}},
        ParseCase{"EntityInBookmarkName",
                  u"<bookmark mark=\"x&amp;y\"/>",
                  true,
                  {frag(SPVA_Bookmark, u"x&y", 0, 26)}},
        ParseCase{"UnknownTag",
                  u"<foo a=\"1\">z</foo>",
                  true,
                  {frag(SPVA_ParseUnknownTag, u"<foo a=\"1\">", 0, 11),
                   speak(u"z", 11, 1),
                   frag(SPVA_ParseUnknownTag, u"</foo>", 12, 6)}},
        // Paragraph and sentence tags are not in the SAPI set.
        ParseCase{"ParagraphAndSentenceTags",
                  u"<P><S>x</S></P>",
                  true,
                  {frag(SPVA_ParseUnknownTag, u"<P>", 0, 3),
                   frag(SPVA_ParseUnknownTag, u"<S>", 3, 3),
                   speak(u"x", 6, 1),
                   frag(SPVA_ParseUnknownTag, u"</S>", 7, 4),
                   frag(SPVA_ParseUnknownTag, u"</P>", 11, 4)}},
        ParseCase{"LessThanBeforeSpaceIsText", u"a < b", true, {speak(u"a < b", 0, 5)}},
        ParseCase{"ComparisonsAreText", u"1<2 and 3>2", true, {speak(u"1<2 and 3>2", 0, 11)}},
        ParseCase{"UnquotedAttributeIsText",
                  u"<volume level=50>x",
                  true,
                  {speak(u"<volume level=50>x", 0, 18)}},
        ParseCase{"UnterminatedTagIsText",
                  u"ab<volume level=\"5\"",
                  true,
                  {speak(u"ab<volume level=\"5\"", 0, 19)}},
        // The broken start tag is text; the well-formed </volume> closes nothing.
        ParseCase{"AttributeWithoutValueIsText",
                  u"<volume level>x</volume>y",
                  true,
                  {speak(u"<volume level>x", 0, 15),
                   speak(u"y", 24, 1)}},
        ParseCase{"UnclosedCommentIsText", u"a<!-- b", true, {speak(u"a<!-- b", 0, 7)}},
        ParseCase{"EmptyEndTagIsText", u"</>", true, {speak(u"</>", 0, 3)}},
        ParseCase{"IdeographicTagNameIsText", u"<中>", true, {speak(u"<中>", 0, 3)}},
        // U+1F600 is two code units: the tag starts at 2 and is 20 long.
        ParseCase{"OffsetsCountUtf16CodeUnits",
                  u"\U0001F600<bookmark mark=\"b\"/>\U0001F600x",
                  true,
                  {speak(u"\U0001F600", 0, 2),
                   frag(SPVA_Bookmark, u"b", 2, 20),
                   speak(u"\U0001F600x", 22, 3)}},
        // <!-- c --> is 4 + 3 + 3 = 10 units.
        ParseCase{"CommentSkipped",
                  u"a<!-- c -->b",
                  true,
                  {speak(u"a", 0, 1), speak(u"b", 11, 1)}},
        ParseCase{"CDataIsLiteralText", u"<![CDATA[<b>]]>", true, {speak(u"<b>", 0, 15)}},
        // <?xml version="1.0"?> is 21 units, <sapi> 6.
        ParseCase{"ProcessingInstructionSkipped",
                  u"<?xml version=\"1.0\"?><sapi>x</sapi>",
                  true,
                  {speak(u"x", 27, 1)}},
        ParseCase{"NamesIgnoreCaseAndSingleQuotesWork",
                  u"<VOLUME LEVEL='30'>CaSe</VOLUME>",
                  true,
                  {speak(u"CaSe", 19, 4).volumeIs(30)}}),
    [](const ::testing::TestParamInfo<ParseCase>& param) { return std::string(param.param.name); });

TEST(SapiXml, DefaultStateOfPlainText) {
  for (const bool xml : {false, true}) {
    const FragmentList list = parseSpeakText(u"x", xml);
    ASSERT_EQ(list.size(), 1u);
    const SPVTEXTFRAG& f = *list.head();
    EXPECT_EQ(f.pNext, nullptr);
    EXPECT_EQ(f.State.eAction, SPVA_Speak);
    EXPECT_EQ(f.State.LangID, 0x0C04);
    EXPECT_EQ(f.State.Volume, 100u);
    EXPECT_EQ(f.State.RateAdj, 0);
    EXPECT_EQ(f.State.EmphAdj, 0);
    EXPECT_EQ(f.State.PitchAdj.MiddleAdj, 0);
    EXPECT_EQ(f.State.PitchAdj.RangeAdj, 0);
    EXPECT_EQ(f.State.SilenceMSecs, 0u);
    EXPECT_EQ(f.State.pPhoneIds, nullptr);
    EXPECT_EQ(f.State.ePartOfSpeech, SPPS_Unknown);
    EXPECT_EQ(f.State.Context.pCategory, nullptr);
    EXPECT_EQ(f.State.Context.pBefore, nullptr);
    EXPECT_EQ(f.State.Context.pAfter, nullptr);
  }
}

TEST(SapiXml, LanguageContextAndPartOfSpeechApplyInsideOnly) {
  // <lang langid="409"> 19 + <context id="date_mdy" before="a&lt;"> 38 + <partofsp part="Verb"> 22 = 79.
  const FragmentList list = parseSpeakText(
      u"<lang langid=\"409\"><context id=\"date_mdy\" before=\"a&lt;\"><partofsp part=\"Verb\">go</partofsp>"
      u"</context></lang>x",
      true);
  ASSERT_EQ(list.size(), 2u);
  const SPVSTATE& inside = list[0].State;
  EXPECT_EQ(list[0].ulTextSrcOffset, 79u);
  EXPECT_EQ(inside.LangID, 0x409);
  EXPECT_EQ(inside.ePartOfSpeech, static_cast<SPPARTOFSPEECH>(0x2000));  // SPPS_Verb
  ASSERT_NE(inside.Context.pCategory, nullptr);
  EXPECT_EQ(std::u16string_view(inside.Context.pCategory), u"date_mdy");
  ASSERT_NE(inside.Context.pBefore, nullptr);
  EXPECT_EQ(std::u16string_view(inside.Context.pBefore), u"a<");
  EXPECT_EQ(inside.Context.pAfter, nullptr);
  const SPVSTATE& after = list[1].State;
  EXPECT_EQ(after.LangID, kDefaultLangId);
  EXPECT_EQ(after.ePartOfSpeech, SPPS_Unknown);
  EXPECT_EQ(after.Context.pCategory, nullptr);
}

TEST(SapiXml, PitchRelativeValuesAddAbsoluteOnesReplace) {
  const FragmentList list = parseSpeakText(
      u"<pitch middle=\"2\"><pitch middle=\"3\" range=\"-1\">p</pitch>q</pitch><pitch absmiddle=\"-4\">r</pitch>",
      true);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].State.PitchAdj.MiddleAdj, 5);  // 2 + 3
  EXPECT_EQ(list[0].State.PitchAdj.RangeAdj, -1);
  EXPECT_EQ(list[1].State.PitchAdj.MiddleAdj, 2);
  EXPECT_EQ(list[1].State.PitchAdj.RangeAdj, 0);
  EXPECT_EQ(list[2].State.PitchAdj.MiddleAdj, -4);
}

TEST(SapiXml, HugeRatesSaturateInsteadOfWrapping) {
  const FragmentList list = parseSpeakText(
      u"<rate speed=\"99999999999999999999\"><rate speed=\"2147483647\">x</rate></rate>"
      u"<rate absspeed=\"-99999999999999999999\"><rate speed=\"-1\">y</rate></rate>",
      true);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].State.RateAdj, INT_MAX);
  EXPECT_EQ(list[1].State.RateAdj, INT_MIN);
}

TEST(SapiXml, InvalidNumbersLeaveTheStateAlone) {
  const FragmentList list =
      parseSpeakText(u"<volume level=\"50\"><volume level=\"loud\"><rate speed=\"1.5\">x</rate></volume></volume>", true);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].State.Volume, 50u);
  EXPECT_EQ(list[0].State.RateAdj, 0);
}

TEST(SapiXml, UnpairedSurrogatesPassThrough) {
  std::u16string text;
  text += char16_t{0xD800};
  text += u"<bookmark mark=\"";
  text += char16_t{0xDC00};
  text += u"\"/>";
  text += char16_t{0xDBFF};
  const FragmentList list = parseSpeakText(text, true);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].ulTextLen, 1u);
  EXPECT_EQ(list[0].pTextStart[0], 0xD800);
  EXPECT_EQ(list[1].State.eAction, SPVA_Bookmark);
  EXPECT_EQ(list[1].pTextStart[0], 0xDC00);
  EXPECT_EQ(list[2].pTextStart[0], 0xDBFF);
  EXPECT_EQ(list[2].ulTextSrcOffset, 21u);  // 1 + <bookmark mark="?"/> (20)
  checkInvariants(text, list);
}

TEST(SapiXml, ListSurvivesAMove) {
  FragmentList first = parseSpeakText(u"<context id=\"c\">ab</context><bookmark mark=\"m\"/>", true);
  const FragmentList moved = std::move(first);
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_EQ(moved.head()->pNext, &moved[1]);
  EXPECT_EQ(std::u16string_view(moved[0].pTextStart, moved[0].ulTextLen), u"ab");
  EXPECT_EQ(std::u16string_view(moved[0].State.Context.pCategory), u"c");
  EXPECT_EQ(std::u16string_view(moved[1].pTextStart, moved[1].ulTextLen), u"m");
}

struct DetectCase {
  const char* name;
  std::u16string text;
  bool xml;
};

void PrintTo(const DetectCase& c, std::ostream* os) { *os << c.name; }

class DetectTest : public ::testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, FirstCodeUnitDecides) { EXPECT_EQ(looksLikeXml(GetParam().text), GetParam().xml); }

INSTANTIATE_TEST_SUITE_P(SapiXml, DetectTest,
                         ::testing::Values(DetectCase{"StartsWithTag", u"<sapi>x</sapi>", true},
                                           DetectCase{"StartsWithLessThanOnly", u"<3", true},
                                           DetectCase{"TagLaterInText", u"hello <silence msec=\"5\"/>", false},
                                           DetectCase{"LeadingSpace", u" <sapi>", false},
                                           DetectCase{"Empty", u"", false}),
                         [](const ::testing::TestParamInfo<DetectCase>& param) { return std::string(param.param.name); });

// --- Big and hostile inputs ---

std::u16string repeat(std::u16string_view piece, std::size_t times) {
  std::u16string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(SapiXml, NestingTenThousandDeep) {
  // <volume level="1"> is 18 units.
  const std::u16string text = repeat(u"<volume level=\"1\">", 10000) + u"x" + repeat(u"</volume>", 10000) + u"y";
  const FragmentList list = parseSpeakText(text, true);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].ulTextSrcOffset, 180000u);
  EXPECT_EQ(list[0].State.Volume, 1u);
  EXPECT_EQ(list[1].ulTextSrcOffset, 180001u + 90000u);
  EXPECT_EQ(list[1].State.Volume, 100u);
  checkInvariants(text, list);
}

TEST(SapiXml, TenThousandElementsNeverClosed) {
  const std::u16string text = repeat(u"<emph>", 10000) + u"x";
  const FragmentList list = parseSpeakText(text, true);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].State.EmphAdj, 1);
  EXPECT_EQ(list[0].ulTextSrcOffset, 60000u);
}

TEST(SapiXml, TenThousandClosingTagsWithNothingToClose) {
  // 10000 x <sapi> (6) and 10000 x </rate> (7) before the x.
  const std::u16string text = repeat(u"<sapi>", 10000) + repeat(u"</rate>", 10000) + u"x";
  const FragmentList list = parseSpeakText(text, true);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].ulTextSrcOffset, 130000u);
}

TEST(SapiXml, NestedPronunciationsWithoutTextKeepSourceOrder) {
  // Each level is <pron sym='a'> (14) then <bookmark mark='m'/> (20): the
  // empty pronounce fragment of level k is at 34k, its bookmark at 34k + 14.
  const std::u16string text = repeat(u"<pron sym='a'><bookmark mark='m'/>", 10000) + repeat(u"</pron>", 10000);
  const FragmentList list = parseSpeakText(text, true);
  ASSERT_EQ(list.size(), 20000u);
  for (std::size_t k = 0; k < 10000; ++k) {
    ASSERT_EQ(list[2 * k].State.eAction, SPVA_Pronounce);
    ASSERT_EQ(list[2 * k].ulTextSrcOffset, 34 * k);
    ASSERT_EQ(list[2 * k + 1].State.eAction, SPVA_Bookmark);
    ASSERT_EQ(list[2 * k + 1].ulTextSrcOffset, 34 * k + 14);
  }
  checkInvariants(text, list);
}

TEST(SapiXml, MegabyteOfPlainText) {
  const std::u16string text = repeat(u"粵語", 512 * 1024);
  for (const bool xml : {false, true}) {
    const FragmentList list = parseSpeakText(text, xml);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].ulTextLen, text.size());
    EXPECT_EQ(std::u16string_view(list[0].pTextStart, list[0].ulTextLen), text);
  }
}

TEST(SapiXml, MegabyteOfOpenersThatNeverClose) {
  for (const std::u16string_view opener : {std::u16string_view(u"<!--"), std::u16string_view(u"<![CDATA["),
                                           std::u16string_view(u"<?x"), std::u16string_view(u"<a b='1' ")}) {
    const std::u16string text = repeat(opener, 1024 * 1024 / opener.size());
    const FragmentList list = parseSpeakText(text, true);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(std::u16string_view(list[0].pTextStart, list[0].ulTextLen), text);
  }
}

// Random mixtures of markup pieces, broken pieces, entities and text, some of
// them a megabyte long.
std::u16string randomDocument(std::mt19937& rng, std::size_t pieces) {
  static const std::vector<std::u16string> kPieces = {
      u"<volume level=\"50\">", u"</volume>", u"<volume level='7'/>", u"<rate speed=\"-3\">", u"</rate>",
      u"<rate absspeed='2'/>", u"<pitch middle=\"1\" range='2'>", u"</pitch>", u"<emph>", u"</emph>",
      u"<spell>", u"</spell>", u"<pron sym=\"a b\">", u"<pron sym='x'/>", u"</pron>",
      u"<silence msec=\"10\"/>", u"<silence msec='999999999999'/>", u"<bookmark mark=\"m&amp;1\"/>",
      u"<lang langid=\"409\">", u"</lang>", u"<context id=\"c\" after='z'>", u"</context>",
      u"<partofsp part=\"noun\">", u"</partofsp>", u"<sapi>", u"</sapi>", u"<voice required=\"Gender=Female\">",
      u"</voice>", u"<foo x='1'>", u"</foo>", u"<P/>", u"<!-- c -->", u"<![CDATA[x<y]]>", u"<?pi x?>",
      u"&amp;", u"&lt;", u"&#x1F600;", u"&#12345;", u"&bad;", u"&", u"&#", u"<", u">", u"<volume level=",
      u"\"", u"'", u"/>", u"</", u"<!--", u"-->", u"]]>", u"abc", u" ", u"\t\n", u"你好", u"。", u"\U0001F600"};
  std::uniform_int_distribution<std::size_t> pick(0, kPieces.size());
  std::uniform_int_distribution<unsigned> unit(0, 0xFFFF);
  std::u16string text;
  for (std::size_t i = 0; i < pieces; ++i) {
    const std::size_t k = pick(rng);
    if (k == kPieces.size()) {
      text += static_cast<char16_t>(unit(rng));  // any code unit, lone surrogates and NUL included
    } else {
      text += kPieces[k];
    }
  }
  return text;
}

using testing::testSeed;

TEST(SapiXml, RandomMixturesKeepTheInvariants) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> length(0, 60);
  for (int round = 0; round < 3000; ++round) {
    const std::u16string text = randomDocument(rng, length(rng));
    SCOPED_TRACE("round " + std::to_string(round) + ": " + platform::utf16ToUtf8(text));
    checkInvariants(text, parseSpeakText(text, true));
    const FragmentList plain = parseSpeakText(text, false);
    checkInvariants(text, plain);
    ASSERT_EQ(plain.size(), text.empty() ? 0u : 1u);
    if (::testing::Test::HasFatalFailure()) return;
  }
  for (int round = 0; round < 3; ++round) {
    const std::u16string text = randomDocument(rng, 120000);  // over a megabyte of UTF-16
    checkInvariants(text, parseSpeakText(text, true));
  }
}

// Everything a fragment carries, context strings by value.
std::string describe(const SPVTEXTFRAG& f, ULONG sourceLength) {
  const SPVSTATE& s = f.State;
  const auto text = [](LPCWSTR p) { return p == nullptr ? std::string("-") : "'" + platform::utf16ToUtf8(p) + "'"; };
  char numbers[200];
  std::snprintf(numbers, sizeof numbers, "a%d l%u e%d r%d v%u m%d g%d s%u p%d o%u n%u k%u ", static_cast<int>(s.eAction),
                static_cast<unsigned>(s.LangID), static_cast<int>(s.EmphAdj), static_cast<int>(s.RateAdj),
                static_cast<unsigned>(s.Volume), static_cast<int>(s.PitchAdj.MiddleAdj),
                static_cast<int>(s.PitchAdj.RangeAdj), static_cast<unsigned>(s.SilenceMSecs),
                static_cast<int>(s.ePartOfSpeech), static_cast<unsigned>(f.ulTextSrcOffset),
                static_cast<unsigned>(f.ulTextLen), static_cast<unsigned>(sourceLength));
  return numbers + platform::utf16ToUtf8(std::u16string_view(f.pTextStart, f.ulTextLen)) + " " +
         text(s.Context.pCategory) + text(s.Context.pBefore) + text(s.Context.pAfter);
}

std::vector<std::string> describeAll(const FragmentList& list) {
  std::vector<std::string> out;
  std::size_t i = 0;
  for (const SPVTEXTFRAG* f = list.head(); f != nullptr; f = f->pNext, ++i) out.push_back(describe(*f, list.sourceLength(i)));
  return out;
}

// Laid end to end, the batches are the whole list, whatever the batch size:
// contexts opened in one batch reach into the next, and an empty <pron> is
// still put where its opening tag stood.
TEST(SapiXml, BatchesLaidEndToEndAreTheWholeList) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> length(0, 80);
  std::vector<std::u16string> texts = {
      u"<context id=\"c\" before='b'>a<bookmark mark='1'/>b<silence msec='5'/>c</context>d",
      u"<volume level='20'>x<pron sym='a'>y<pron sym='b'></pron>z</pron>w</volume><emph>v</emph>",
  };
  for (int round = 0; round < 1500; ++round) texts.push_back(randomDocument(rng, length(rng)));
  for (const std::u16string& text : texts) {
    SCOPED_TRACE(platform::utf16ToUtf8(text));
    const std::vector<std::string> whole = describeAll(parseSpeakText(text, true));
    for (const std::size_t size : {1u, 2u, 5u}) {
      std::vector<std::string> joined;
      std::size_t batches = 0;
      const ParseStatus status = parseSpeakTextInBatches(text, true, size, [&](const FragmentList& batch) {
        EXPECT_FALSE(batch.empty());
        const std::vector<std::string> part = describeAll(batch);
        joined.insert(joined.end(), part.begin(), part.end());
        ++batches;
        return true;
      });
      ASSERT_EQ(status, ParseStatus::Ok);
      ASSERT_EQ(joined, whole) << "batches of " << size;
      if (size == 1 && &text == &texts.front()) {
        EXPECT_GT(batches, 1u);  // the context element spans several batches
      }
    }
  }
}

TEST(SapiXml, BatchesStopWhenTheSinkSaysSo) {
  const std::u16string text = u"a<silence msec='1'/>b<silence msec='2'/>c<silence msec='3'/>d";
  std::vector<std::string> seen;
  EXPECT_EQ(parseSpeakTextInBatches(text, true, 2,
                                    [&](const FragmentList& batch) {
                                      for (const std::string& d : describeAll(batch)) seen.push_back(d);
                                      return false;
                                    }),
            ParseStatus::Ok);
  // The first batch holds "a" and the first silence; nothing after it is made.
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_NE(seen[0].find(" a -"), std::string::npos) << seen[0];
  EXPECT_NE(seen[1].find(" s1 "), std::string::npos) << seen[1];
  // Plain text is one fragment, handed over whole.
  std::size_t plainBatches = 0;
  EXPECT_EQ(parseSpeakTextInBatches(u"a<b>c", false, 1,
                                    [&](const FragmentList& batch) {
                                      EXPECT_EQ(batch.size(), 1u);
                                      ++plainBatches;
                                      return true;
                                    }),
            ParseStatus::Ok);
  EXPECT_EQ(plainBatches, 1u);
}

TEST(SapiXml, TextWithoutMarkupCharactersIsOneFragment) {
  const std::uint32_t seed = testSeed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::uniform_int_distribution<unsigned> unit(0, 0xFFFF);
  for (int round = 0; round < 500; ++round) {
    std::u16string text;
    for (int i = 0; i < 40; ++i) {
      const auto c = static_cast<char16_t>(unit(rng));
      if (c != u'<' && c != u'&') text += c;
    }
    const FragmentList list = parseSpeakText(text, true);
    ASSERT_EQ(list.size(), 1u);
    ASSERT_EQ(std::u16string_view(list[0].pTextStart, list[0].ulTextLen), text);
  }
}

}  // namespace
}  // namespace sonvale::host
