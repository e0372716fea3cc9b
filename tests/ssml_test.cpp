#include "host/ssml.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "host/sapi_xml.h"
#include "platform/utf.h"
#include "test_seed.h"

namespace sonvale::host {
namespace {

struct Conversion {
  const char* name;
  std::string_view ssml;
  bool spell;
  std::string_view markup;
  std::vector<std::string> marks;
};

TEST(SsmlToSapi, Conversions) {
  const std::string tinyBreak = "a<break time=\"0." + std::string(400, '0') + "1s\"/>b";
  const Conversion cases[] = {
      {"text in speak", "<speak>你好</speak>", false, "你好", {}},
      {"speech-dispatcher's own message",
       "<speak>hello.<mark name=\"__spd_0\"/> world &lt;x&gt; &amp; y</speak>",
       false,
       "hello.<bookmark mark=\"0\"/> world &lt;x&gt; &amp; y",
       {"__spd_0"}},
      {"marks numbered in order",
       "a<mark name=\"x\"/>b<mark name='y'/>",
       false,
       "a<bookmark mark=\"0\"/>b<bookmark mark=\"1\"/>",
       {"x", "y"}},
      {"mark name with markup characters",
       "<mark name=\"a&amp;&lt;&quot;&#x4F60;\"/>",
       false,
       "<bookmark mark=\"0\"/>",
       {"a&<\"你"}},
      {"mark with content", "<mark name=\"m\"></mark>你", false, "<bookmark mark=\"0\"/>你", {"m"}},
      {"empty mark name", "<mark name=\"\"/>", false, "<bookmark mark=\"0\"/>", {""}},
      {"break in milliseconds", "<break time=\"500ms\"/>", false, "<silence msec=\"500\"/>", {}},
      {"break in seconds", "<break time=\"1.5s\"/>", false, "<silence msec=\"1500\"/>", {}},
      {"half a millisecond rounds up", "<break time=\"2.5ms\"/>", false, "<silence msec=\"3\"/>", {}},
      {"just under half rounds down", "<break time=\"2.49ms\"/>", false, "<silence msec=\"2\"/>", {}},
      {"seconds without a leading digit", "<break time=\".25s\"/>", false, "<silence msec=\"250\"/>", {}},
      {"spaces around a time", "<break time=\" 20 ms \"/>", false, "<silence msec=\"20\"/>", {}},
      {"long break clamped", "<break time=\"100s\"/>", false, "<silence msec=\"65535\"/>", {}},
      {"huge break clamped",
       "<break time=\"99999999999999999999999999999999999999999999ms\"/>",
       false,
       "<silence msec=\"65535\"/>",
       {}},
      {"zero break", "a<break time=\"0ms\"/>b", false, "ab", {}},
      {"break too short for a double", tinyBreak, false, "ab", {}},
      {"strong break", "<break strength=\"strong\"/>", false, "<silence msec=\"700\"/>", {}},
      {"no break", "a<break strength=\"none\"/>b", false, "ab", {}},
      {"bare break is medium", "<break/>", false, "<silence msec=\"400\"/>", {}},
      {"time before strength", "<break strength=\"x-strong\" time=\"10ms\"/>", false, "<silence msec=\"10\"/>", {}},
      {"unknown tags skipped, content read",
       "<speak><voice name=\"x\">聲</voice><lang xml:lang=\"en\">OK</lang></speak>",
       false,
       "聲OK",
       {}},
      // Rates: 10 steps a factor of 3, so a factor f is 10 ln f / ln 3 steps.
      {"rate keyword", "<prosody rate=\"fast\">快</prosody>", false, "<rate absspeed=\"3\">快</rate>", {}},
      {"rate as a percentage", "<prosody rate=\"150%\">a</prosody>", false, "<rate absspeed=\"4\">a</rate>", {}},
      {"rate as a factor", "<prosody rate=\"0.5\">a</prosody>", false, "<rate absspeed=\"-6\">a</rate>", {}},
      {"relative rate on the running one",
       "<prosody rate=\"fast\"><prosody rate=\"+50%\">a</prosody>b</prosody>c",
       false,
       "<rate absspeed=\"3\"><rate absspeed=\"7\">a</rate>b</rate>c",
       {}},
      {"slower by half", "<prosody rate=\"-50%\">a</prosody>", false, "<rate absspeed=\"-6\">a</rate>", {}},
      {"rate clamped",
       "<prosody rate=\"x-fast\"><prosody rate=\"400%\">a</prosody></prosody>",
       false,
       "<rate absspeed=\"6\"><rate absspeed=\"10\">a</rate></rate>",
       {}},
      // Volumes: 100 * 10^(-6/20) = 50.1.
      {"volume in decibels", "<prosody volume=\"-6dB\">a</prosody>", false, "<volume level=\"50\">a</volume>", {}},
      {"volume keyword then a change",
       "<prosody volume=\"soft\"><prosody volume=\"+10\">a</prosody></prosody>",
       false,
       "<volume level=\"40\"><volume level=\"50\">a</volume></volume>",
       {}},
      {"volume share of the running one",
       "<prosody volume=\"soft\"><prosody volume=\"50%\">a</prosody></prosody>",
       false,
       "<volume level=\"40\"><volume level=\"20\">a</volume></volume>",
       {}},
      {"absolute volume and a clamp",
       "<prosody volume=\"30\">a<prosody volume=\"+20dB\">b</prosody></prosody>",
       false,
       "<volume level=\"30\">a<volume level=\"100\">b</volume></volume>",
       {}},
      {"rate and volume together",
       "<prosody rate=\"slow\" volume=\"loud\">x</prosody>",
       false,
       "<rate absspeed=\"-3\"><volume level=\"80\">x</volume></rate>",
       {}},
      {"prosody inside sub is not written",
       "<sub alias=\"a\"><prosody rate=\"fast\">b</prosody></sub>",
       false,
       "a",
       {}},
      {"emphasis", "<emphasis level=\"strong\">重</emphasis>", false, "<emph>重</emph>", {}},
      {"no emphasis", "<emphasis level=\"none\">重</emphasis>", false, "重", {}},
      {"reduced emphasis", "<emphasis level=\"reduced\">重</emphasis>", false, "重", {}},
      {"sub reads its alias", "<sub alias=\"世界\">WWW</sub>!", false, "世界!", {}},
      {"marks inside sub are not reached", "<sub alias=\"x\"><mark name=\"m\"/></sub>", false, "x", {}},
      {"desc is not read", "<audio src=\"bell.wav\"><desc>door bell</desc>鐘</audio>", false, "鐘", {}},
      {"metadata is not read", "<metadata><x>a</x></metadata>b", false, "b", {}},
      // <p> ' ', <s> ' ', 你, </s> ' ', <s> ' ', 好, </s> ' ', </p> ' '.
      {"paragraphs and sentences separate", "<p><s>你</s><s>好</s></p>", false, "  你  好  ", {}},
      {"empty paragraph", "a<p/>b", false, "a  b", {}},
      // <say-as> ' ', "A " "B ", </say-as> ' '.
      {"say-as characters is spelled", "<say-as interpret-as=\"characters\">AB</say-as>", false, " A B  ", {}},
      {"say-as digits is spelled", "<say-as interpret-as=\"digits\">123</say-as>", false, " 1 2 3  ", {}},
      {"say-as telephone is spelled", "<say-as interpret-as=\"telephone\">23-45</say-as>", false, " 2 3 - 4 5  ", {}},
      {"say-as cardinal is read as a number",
       "共<say-as interpret-as=\"cardinal\">120</say-as>個",
       false,
       "共壹佰贰拾個",
       {}},
      {"say-as number keeps what is not a digit",
       "<say-as interpret-as=\"number\">3&lt;10</say-as>",
       false,
       "叁&lt;拾",
       {}},
      {"say-as of another kind is read", "<say-as interpret-as=\"date\">2024</say-as>", false, "2024", {}},
      {"comment, instruction and declaration",
       "<?xml version=\"1.0\"?><!DOCTYPE speak><speak><!-- not <read> --> 你</speak>",
       false,
       " 你",
       {}},
      {"CDATA is text", "<![CDATA[a<b&c]]>", false, "a&lt;b&amp;c", {}},
      {"character references", "&#20320;&#x597D;&#x1F600;", false, "你好\xF0\x9F\x98\x80", {}},
      {"'>' in text", "a > b", false, "a &gt; b", {}},
      {"line breaks kept", "你\n好", false, "你\n好", {}},
      {"attributes over lines", "<mark\n  name =\n 'n'\n/>", false, "<bookmark mark=\"0\"/>", {"n"}},
      {"spelled text", "<speak>你好 A</speak>", true, "你 好 A ", {}},
      {"spelled entity", "a&amp;", true, "a &amp; ", {}},
      {"empty", "", false, "", {}},
  };
  for (const Conversion& c : cases) {
    SapiText out;
    EXPECT_EQ(ssmlToSapi(c.ssml, c.spell, out), "") << c.name;
    EXPECT_EQ(out.markup, c.markup) << c.name;
    EXPECT_EQ(out.marks, c.marks) << c.name;
  }
}

struct Fault {
  const char* name;
  std::string_view ssml;
  std::string_view error;
};

TEST(SsmlToSapi, Faults) {
  const Fault cases[] = {
      {"lone '<'", "a < b", "byte 2: '<' does not open a tag (write &lt; for '<')"},
      {"lone '&'", "a & b", "byte 2: '&' does not start an entity (write &amp; for '&')"},
      {"'&' far from any ';'", "a &amp b c d e f g h;", "byte 2: '&' does not start an entity (write &amp; for '&')"},
      {"unknown entity", "&nbsp;", "byte 0: unknown entity &nbsp;"},
      {"reference to NUL", "x&#0;", "byte 1: &#0; is not a character"},
      {"reference to a surrogate", "&#xD800;", "byte 0: &#xD800; is not a character"},
      {"reference past Unicode", "&#x110000;", "byte 0: &#x110000; is not a character"},
      {"negative reference", "&#-5;", "byte 0: &#-5; is not a character"},
      {"reference without digits", "&#x;", "byte 0: &#x; is not a character"},
      {"element never closed", "<speak>你", "byte 0: <speak> is never closed"},
      {"crossed elements", "<speak><s>你</speak></s>", "byte 13: </speak> where </s> was expected"},
      {"closing nothing", "你</s>", "byte 3: </s> closes nothing"},
      {"tag never closed", "<mark name=\"x\"", "byte 0: <mark is not closed by '>'"},
      {"unquoted value", "<break time=5s/>", "byte 7: the value of attribute time is not quoted"},
      {"attribute without '='", "<mark name/>", "byte 6: attribute name has no '='"},
      {"attributes run together", "<mark name=\"a\"x=\"b\"/>",
       "byte 14: attributes of <mark> must be separated by spaces"},
      {"'<' in a value", "<mark name=\"a<b\"/>", "byte 13: '<' inside the value of attribute name"},
      {"value never closed", "<mark name=\"abc/>", "byte 6: the value of attribute name is never closed"},
      {"bad entity in a value", "<mark name=\"&x;\"/>", "byte 12: unknown entity &x;"},
      {"something not an attribute", "<mark 1=\"a\"/>", "byte 6: <mark> holds something that is not an attribute"},
      {"mark without a name", "<mark/>", "byte 0: <mark> has no name attribute"},
      {"time in words", "<break time=\"soon\"/>", "byte 0: <break> time \"soon\" is not a time such as 500ms or 1.5s"},
      {"negative time", "<break time=\"-5ms\"/>", "byte 0: <break> time \"-5ms\" is not a time such as 500ms or 1.5s"},
      {"time with exponent", "<break time=\"1e3ms\"/>",
       "byte 0: <break> time \"1e3ms\" is not a time such as 500ms or 1.5s"},
      {"time without unit", "<break time=\"5\"/>", "byte 0: <break> time \"5\" is not a time such as 500ms or 1.5s"},
      {"time of two dots", "<break time=\"1.2.3s\"/>",
       "byte 0: <break> time \"1.2.3s\" is not a time such as 500ms or 1.5s"},
      {"time of only a dot", "<break time=\".s\"/>", "byte 0: <break> time \".s\" is not a time such as 500ms or 1.5s"},
      {"unknown strength", "<break strength=\"loud\"/>",
       "byte 0: <break> strength \"loud\" is none of x-weak to x-strong"},
      {"comment never closed", "a<!-- x", "byte 1: the comment is never closed"},
      {"CDATA never closed", "<![CDATA[x", "byte 0: the CDATA section is never closed"},
      {"instruction never closed", "<?xml", "byte 0: the processing instruction is never closed"},
      {"closing tag with more", "<s>a</s x>", "byte 4: </s is not closed by '>'"},
      {"closing tag without a name", "</>", "byte 0: '</' is not followed by a tag name"},
      {"rate in words", "<prosody rate=\"quick\">a</prosody>",
       "byte 0: <prosody> rate \"quick\" is not a rate such as fast, 150% or 0.8"},
      {"rate of nothing", "<prosody rate=\"-100%\">a</prosody>",
       "byte 0: <prosody> rate \"-100%\" is not a rate such as fast, 150% or 0.8"},
      {"zero factor", "<prosody rate=\"0\">a</prosody>",
       "byte 0: <prosody> rate \"0\" is not a rate such as fast, 150% or 0.8"},
      {"volume in words", "<prosody volume=\"loudest\">a</prosody>",
       "byte 0: <prosody> volume \"loudest\" is not a volume such as loud, 80 or -6dB"},
      {"cut UTF-8", "a\xC3", "byte 1: not UTF-8"},
      {"overlong UTF-8", "\xC0\x80", "byte 0: not UTF-8"},
      {"UTF-8 surrogate", "ab\xED\xA0\x80", "byte 2: not UTF-8"},
      {"past U+10FFFF", "\xF4\x90\x80\x80", "byte 0: not UTF-8"},
      {"stray continuation byte", "\x80", "byte 0: not UTF-8"},
  };
  for (const Fault& c : cases) {
    SapiText out;
    EXPECT_EQ(ssmlToSapi(c.ssml, false, out), c.error) << c.name;
  }
}

// What the engine's own markup reader makes of the conversion: the text
// pieces and bookmarks in order, nothing else spoken.
TEST(SsmlToSapi, TheEngineReadsTheMarkupBack) {
  SapiText out;
  ASSERT_EQ(ssmlToSapi("<speak>你&lt;<mark name=\"m&amp;\"/><break time=\"250ms\"/>&amp;好</speak>", false, out), "");
  const FragmentList list = parseSpeakText(platform::utf8ToUtf16(out.markup), true);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].State.eAction, SPVA_Speak);
  EXPECT_EQ(std::u16string(list[0].pTextStart, list[0].ulTextLen), u"你<");
  EXPECT_EQ(list[1].State.eAction, SPVA_Bookmark);
  EXPECT_EQ(std::u16string(list[1].pTextStart, list[1].ulTextLen), u"0");
  EXPECT_EQ(list[2].State.eAction, SPVA_Silence);
  EXPECT_EQ(list[2].State.SilenceMSecs, 250u);
  EXPECT_EQ(list[3].State.eAction, SPVA_Speak);
  EXPECT_EQ(std::u16string(list[3].pTextStart, list[3].ulTextLen), u"&好");
  EXPECT_EQ(out.marks, (std::vector<std::string>{"m&"}));
}

// Each byte of the markup leads back to the SSML it came from: text to its
// own bytes, a tag the conversion wrote to its element's '<'.
TEST(SsmlToSapi, MarkupBytesLeadBackToTheSsml) {
  SapiText out;
  ASSERT_EQ(ssmlToSapi("<speak>你<mark name=\"m\"/>好&amp;</speak>", false, out), "");
  ASSERT_EQ(out.markup, "你<bookmark mark=\"0\"/>好&amp;");
  const std::pair<std::size_t, std::size_t> cases[] = {{0, 7}, {3, 10}, {23, 26}, {26, 29}};
  for (const auto& [markup, ssml] : cases) EXPECT_EQ(out.ssmlByteOf(markup), ssml) << "markup byte " << markup;
}

TEST(SsmlToSapi, LooksLikeSsml) {
  const std::pair<std::string_view, bool> cases[] = {
      {"<speak>你</speak>", true},
      {"  \n<speak version=\"1.1\">", true},
      {"<?xml version=\"1.0\"?><!-- x --><speak/>", true},
      {"\xEF\xBB\xBF<speak>", true},
      {"<speaker>", false},
      {"你<speak>", false},
      {"<bookmark mark=\"1\"/>", false},
      {"<?xml never closed", false},
  };
  for (const auto& [text, ssml] : cases) EXPECT_EQ(looksLikeSsml(text), ssml) << text;
}

// Random text of markup characters, ideographs and valid tags: whatever is
// accepted must come out as markup that the engine reads as the same text,
// and nothing is ever read out of bounds (run it under the sanitizers).
TEST(SsmlToSapi, RandomInputEitherConvertsOrFails) {
  const std::uint32_t seed = testing::testSeed();
  std::mt19937 rng(seed);
  const std::string_view pieces[] = {"<",         ">",   "&",     ";",        "\"",
                                     "'",         "=",   "/",     " ",        "\n",
                                     "你",        "a",   "&amp;", "&#x4F60;", "<mark name=\"m\"/>",
                                     "<break/>",  "<s>", "</s>",  "<!--",     "-->",
                                     "<![CDATA[", "]]>", "\xC3",  "\xA9"};
  std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1), length(0, 30);
  int converted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string ssml;
    for (std::size_t n = length(rng); n > 0; --n) ssml += pieces[pick(rng)];
    SapiText out;
    const std::string error = ssmlToSapi(ssml, round % 2 == 1, out);
    if (!error.empty()) {
      EXPECT_TRUE(error.starts_with("byte ")) << "seed " << seed << ": " << error;
      continue;
    }
    ++converted;
    // Every bookmark of the markup is one of the marks, and the engine finds
    // exactly as many as there are.
    const FragmentList list = parseSpeakText(platform::utf8ToUtf16(out.markup), true);
    std::size_t bookmarks = 0;
    for (std::size_t i = 0; i < list.size(); ++i)
      if (list[i].State.eAction == SPVA_Bookmark) ++bookmarks;
    EXPECT_EQ(bookmarks, out.marks.size()) << "seed " << seed << ", input " << ssml;
  }
  EXPECT_GT(converted, 0) << "seed " << seed;
}

}  // namespace
}  // namespace sonvale::host
