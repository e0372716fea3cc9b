// The word display panel's lines and its host search, without a screen.
#include "ui/word_panel_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "host/output_site.h"
#include "platform/le_bytes.h"
#include "synth/voice_format.h"
#include "test_support.h"
#include "ui/word_panel.h"

namespace sonvale::ui {
namespace {

struct TonedCase {
  char letter;
  std::uint8_t bytes[4];  // tones 1..4
};

// The byte table of the toned letters, as the phonetic font numbers them:
// 0x81 + 4 x (place of the letter in a e i o u v m n) + (tone - 1).
constexpr TonedCase kTonedTable[] = {
    {'a', {0x81, 0x82, 0x83, 0x84}}, {'e', {0x85, 0x86, 0x87, 0x88}}, {'i', {0x89, 0x8A, 0x8B, 0x8C}},
    {'o', {0x8D, 0x8E, 0x8F, 0x90}}, {'u', {0x91, 0x92, 0x93, 0x94}}, {'v', {0x95, 0x96, 0x97, 0x98}},
    {'m', {0x99, 0x9A, 0x9B, 0x9C}}, {'n', {0x9D, 0x9E, 0x9F, 0xA0}},
};

TEST(TonedLetterByte, FollowsTheFontTable) {
  for (const TonedCase& row : kTonedTable)
    for (int tone = 1; tone <= 4; ++tone)
      EXPECT_EQ(tonedLetterByte(row.letter, static_cast<char>('0' + tone)), row.bytes[tone - 1])
          << row.letter << tone;
}

TEST(TonedLetterByte, OtherLettersAndDigitsFoldNothing) {
  const std::pair<char, char> cases[] = {{'g', '1'}, {'a', '5'}, {'a', '6'}, {'a', '0'}, {'A', '1'},
                                         {'y', '2'}, {'n', 'g'}, {'\0', '1'}, {' ', '3'}};
  for (const auto& [letter, digit] : cases) EXPECT_EQ(tonedLetterByte(letter, digit), 0) << letter << digit;
}

struct FoldCase {
  const char* name;
  std::string syllable;
  std::string folded;
};

void PrintTo(const FoldCase& c, std::ostream* os) { *os << c.name; }
class FoldTones : public ::testing::TestWithParam<FoldCase> {};

TEST_P(FoldTones, FoldsTheLetterBeforeTheDigit) { EXPECT_EQ(foldTones(GetParam().syllable), GetParam().folded); }

INSTANTIATE_TEST_SUITE_P(
    Table, FoldTones,
    ::testing::Values(FoldCase{"MA1", "ma1", "m\x81"},
                      // Only the letter right before the digit: o + 3.
                      FoldCase{"HAO3", "hao3", "ha\x8F"},
                      FoldCase{"G1Unchanged", "g1", "g1"},
                      FoldCase{"SING1Unchanged", "sing1", "sing1"},
                      FoldCase{"Tone5Unchanged", "ngo5", "ngo5"},
                      FoldCase{"Tone6Unchanged", "jyu6", "jyu6"},
                      FoldCase{"SyllabicM4", "m4", "\x9C"},
                      FoldCase{"SyllabicN2", "n2", "\x9E"},
                      FoldCase{"GWAI3", "gwai3", "gwa\x8B"},
                      FoldCase{"V1", "lv1", "l\x95"},
                      FoldCase{"TwoPairs", "a1e4", "\x81\x88"},
                      FoldCase{"SecondDigitKept", "a12", "\x81" "2"},
                      FoldCase{"UpperCaseKept", "MA1", "MA1"},
                      FoldCase{"Empty", "", ""},
                      FoldCase{"StopsAtNul", std::string("ma1\0xx", 6), "m\x81"},
                      // A field of 8 bytes without its NUL is read to its end, no further.
                      FoldCase{"EightBytesWithoutNul", "abcdefa1XYZ", "abcdef\x81"}),
    [](const auto& param) { return std::string(param.param.name); });

WordRecord wordOf(std::u16string_view text, std::initializer_list<const char*> romanization, std::u16string_view note) {
  WordRecord word;
  word.clear();
  std::copy(text.begin(), text.end(), word.text);
  std::size_t i = 0;
  for (const char* r : romanization) std::strncpy(word.romanization[i++], r, sizeof word.romanization[0] - 1);
  std::copy(note.begin(), note.end(), word.note);
  return word;
}

TEST(RomanizedLine, EachSyllableFoldedAndFollowedByABlank) {
  // nei5 keeps its digit (tone 5); hou2 folds u + 2 into 0x91 + 1.
  EXPECT_EQ(romanizedLine(wordOf(u"你好", {"nei5", "hou2"}, u"")), "nei5 ho\x92 ");
  EXPECT_EQ(romanizedLine(wordOf(u"唔該", {"m4", "goi1"}, u"")), "\x9C go\x89 ");
}

TEST(RomanizedLine, PhraseWordsWithoutRomanizationGiveBlanksOnly) {
  // Words from the phrase rules carry no romanization: one blank per character.
  EXPECT_EQ(romanizedLine(wordOf(u"一二三", {}, u"")), "   ");
}

TEST(RomanizedLine, TextWithoutTerminatorStopsAtEightSyllables) {
  WordRecord word;
  word.clear();
  for (char16_t& c : word.text) c = u'一';  // nine code units, no NUL
  for (auto& r : word.romanization) std::memcpy(r, "ja1\0\0\0\0", 8);
  std::string expected;
  for (int i = 0; i < 8; ++i) expected += "j\x81 ";
  EXPECT_EQ(romanizedLine(word), expected);
}

struct Utf8Case {
  const char* name;
  std::string line;
  std::string utf8;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }
class RomanizedUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(RomanizedUtf8, ShowsTonedBytesAsMarkedLetters) { EXPECT_EQ(romanizedLineUtf8(GetParam().line), GetParam().utf8); }

INSTANTIATE_TEST_SUITE_P(Table, RomanizedUtf8,
                         ::testing::Values(Utf8Case{"AsciiKept", "nei5 ", "nei5 "},
                                           Utf8Case{"ATone1Macron", "m\x81 ", "mā "},
                                           Utf8Case{"OTone3Caron", "ha\x8F ", "haǒ "},
                                           Utf8Case{"UTone2Acute", "ho\x92 ", "hoú "},
                                           Utf8Case{"ETone4Grave", "\x88", "è"},
                                           Utf8Case{"VTone1", "\x95", "ǖ"},
                                           Utf8Case{"MTone2Precomposed", "\x9A", "ḿ"},
                                           Utf8Case{"MTone4Combining", "\x9C", "m\u0300"},
                                           Utf8Case{"NTone1Combining", "\x9D", "n\u0304"},
                                           Utf8Case{"NTone4", "\xA0", "ǹ"},
                                           Utf8Case{"OtherHighBytesAsLatin1", "\x80\xA1\xE9", "\u0080¡é"}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(PanelLines, OneCharacterOrNoneDrawsNothing) {
  EXPECT_FALSE(panelLines(wordOf(u"", {}, u"")).visible);
  EXPECT_FALSE(panelLines(wordOf(u"你", {"nei5"}, u"you")).visible);
}

TEST(PanelLines, AWordGivesItsThreeLines) {
  const ui::PanelLines lines = panelLines(wordOf(u"你好", {"nei5", "hou2"}, u"問候語 greeting"));
  EXPECT_TRUE(lines.visible);
  EXPECT_EQ(lines.word, "你好");
  EXPECT_EQ(lines.romanized, "nei5 hoú ");
  EXPECT_EQ(lines.note, "問候語 greeting");
}

TEST(PanelLines, PhraseWordShowsOnlyItsText) {
  const ui::PanelLines lines = panelLines(wordOf(u"一二", {}, u""));
  EXPECT_TRUE(lines.visible);
  EXPECT_EQ(lines.word, "一二");
  EXPECT_EQ(lines.romanized, "  ");
  EXPECT_EQ(lines.note, "");
}

// A window tree for the host search: window -> children, first child first.
struct Tree {
  std::map<int, std::vector<int>> children;
  std::set<int> hosts;
  std::vector<int> asked;  // the windows whose children were listed, in order

  std::optional<int> find(int top, std::size_t maxVisits = 10000) {
    return ui::findPanelHost(
        top,
        [this](int w) {
          asked.push_back(w);
          const auto it = children.find(w);
          return it == children.end() ? std::vector<int>{} : it->second;
        },
        [this](int w) { return hosts.count(w) != 0; }, maxVisits);
  }
};

TEST(FindPanelHost, DirectChildOfTheForegroundWindow) {
  Tree tree{{{1, {2, 3}}}, {3}, {}};
  EXPECT_EQ(tree.find(1), 3);
  EXPECT_EQ(tree.asked, std::vector<int>{1});
}

TEST(FindPanelHost, WalksDepthFirstFirstChildFirst) {
  // 1 has 2 and 5; 2 has 3 and 4; 3 has 8, whose child 9 is a host;
  // 5 has 6, whose child 7 is a host.
  Tree tree{{{1, {2, 5}}, {2, {3, 4}}, {3, {8}}, {5, {6}}, {6, {7}}, {8, {9}}}, {7, 9}, {}};
  // 9 is reached through 2, 3, 8 before the walk ever gets to 5.
  EXPECT_EQ(tree.find(1), 9);
  EXPECT_EQ(tree.asked, (std::vector<int>{1, 2, 3, 8}));
}

TEST(FindPanelHost, ClimbsToTheParentsNextSibling) {
  Tree tree{{{1, {2, 5}}, {2, {3, 4}}, {5, {6}}, {6, {7}}}, {7}, {}};
  EXPECT_EQ(tree.find(1), 7);
  EXPECT_EQ(tree.asked, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

TEST(FindPanelHost, NoHostOrNoChildrenMeansNoPanel) {
  Tree empty;
  EXPECT_EQ(empty.find(1), std::nullopt);
  Tree noHost{{{1, {2, 3}}, {2, {4}}}, {}, {}};
  EXPECT_EQ(noHost.find(1), std::nullopt);
  EXPECT_EQ(noHost.asked, (std::vector<int>{1, 2, 4, 3}));
}

TEST(FindPanelHost, TheForegroundWindowItselfIsNotAHost) {
  Tree tree{{{1, {2}}}, {1}, {}};
  EXPECT_EQ(tree.find(1), std::nullopt);
}

TEST(FindPanelHost, GivesUpAfterTheVisitLimit) {
  // A chain 1 -> 2 -> ... -> 100 with the host at the bottom.
  Tree tree;
  for (int w = 1; w < 100; ++w) tree.children[w] = {w + 1};
  tree.children[100] = {101};
  tree.hosts = {101};
  EXPECT_EQ(tree.find(1), 101);
  tree.asked.clear();
  EXPECT_EQ(tree.find(1, 10), std::nullopt);
  EXPECT_EQ(tree.asked.size(), 10u);
}

TEST(WordPanelFactory, WithoutAFactoryThereIsNoPanel) {
  ui::setWordPanelFactory(nullptr);
  EXPECT_EQ(ui::createWordPanel(ui::UiLanguage::English, [] { return ui::PanelLines{}; }), nullptr);
}

TEST(WordPanelFactory, AThrowingFactoryMeansNoPanel) {
  ui::setWordPanelFactory(
      [](ui::UiLanguage, ui::PanelLinesSource) -> std::unique_ptr<ui::WordPanel> { throw std::bad_alloc(); });
  EXPECT_EQ(ui::createWordPanel(ui::UiLanguage::English, [] { return ui::PanelLines{}; }), nullptr);
  ui::setWordPanelFactory(nullptr);
}

// A panel that records what the engine asks of it.
struct FakePanel final : ui::WordPanel {
  static inline ui::PanelLinesSource source;
  static inline std::vector<ui::PanelLines> shown;  // the lines at each invalidate()
  static inline int alive = 0;

  FakePanel() { ++alive; }
  ~FakePanel() override { --alive; }
  void invalidate() override { shown.push_back(source()); }

  static std::unique_ptr<ui::WordPanel> create(ui::UiLanguage, ui::PanelLinesSource lines) {
    source = std::move(lines);
    return std::make_unique<FakePanel>();
  }
};

// A dictionary image holding `words`, all starting with `first`; record 0 is
// a disabled filler, since an index entry (0, 0) means "no words".
std::vector<std::uint8_t> dictionaryOf(char16_t first, const std::vector<WordRecord>& words) {
  std::vector<std::uint8_t> bytes(voice::kRecordsOffset, 0);
  std::memcpy(bytes.data() + voice::kDictIdOffset, voice::kDictId, voice::kDictIdBytes);
  putU32le(bytes.data() + voice::kSharedFirstOffset, voice::kNoSharedList);
  std::uint8_t* entry = bytes.data() + voice::kCharIndexOffset + (first - 0x4E00) * voice::kCharIndexEntryBytes;
  putU32le(entry + 4, 1);
  putU32le(entry + 8, static_cast<std::uint32_t>(words.size()));
  WordRecord filler;
  filler.clear();
  filler.disabled = 1;
  voice::appendWordRecord(bytes, filler);
  for (WordRecord w : words) {
    std::copy(std::begin(w.text), std::end(w.text), w.reading);
    voice::appendWordRecord(bytes, w);
  }
  return bytes;
}

class EnginePanelTest : public testing::EngineTest {
 protected:
  void SetUp() override {
    testing::EngineTest::SetUp();
    FakePanel::shown.clear();
    ui::setWordPanelFactory(FakePanel::create);
  }
  void TearDown() override {
    ui::setWordPanelFactory(nullptr);
    FakePanel::source = nullptr;
    testing::EngineTest::TearDown();
  }
};

TEST_F(EnginePanelTest, LivesAsLongAsTheEngine) {
  {
    Engine engine;
    EXPECT_TRUE(engine.hasPanel());
    EXPECT_EQ(FakePanel::alive, 1);
  }
  EXPECT_EQ(FakePanel::alive, 0);
}

TEST_F(EnginePanelTest, RepaintsForWordsOfTwoOrMoreCharactersOnly) {
  const auto image = dictionaryOf(u'銀', {wordOf(u"銀行", {"ngan4", "hong4"}, u"bank")});
  Engine engine;
  engine.dictionary().attach(image);
  testing::RecordingSynth synth;
  engine.setSynth(&synth);
  host::OutputSite site;
  const testing::FragmentList list(u"去銀行我");
  ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);

  // 去 and 我 are single characters: only 銀行 asks for a repaint, and the
  // panel then reads that word.
  ASSERT_EQ(FakePanel::shown.size(), 1u);
  EXPECT_TRUE(FakePanel::shown[0].visible);
  EXPECT_EQ(FakePanel::shown[0].word, "銀行");
  // Only the letter right before the digit takes the tone: n of ngan4; the
  // g of hong4 is not a toned letter, so that syllable keeps its digit.
  EXPECT_EQ(FakePanel::shown[0].romanized, "ngaǹ hong4 ");
  EXPECT_EQ(FakePanel::shown[0].note, "bank");
  // A repaint now shows the record as it is: 我, one character, draws nothing.
  EXPECT_FALSE(FakePanel::source().visible);
}

TEST_F(EnginePanelTest, WithoutAPanelSpeakingIsUnchanged) {
  ui::setWordPanelFactory(nullptr);
  const auto image = dictionaryOf(u'銀', {wordOf(u"銀行", {"ngan4", "hong4"}, u"bank")});
  Engine engine;
  EXPECT_FALSE(engine.hasPanel());
  engine.dictionary().attach(image);
  testing::RecordingSynth synth;
  engine.setSynth(&synth);
  host::OutputSite site;
  const testing::FragmentList list(u"去銀行");
  ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
  EXPECT_EQ(synth.calls.size(), 3u);
  EXPECT_TRUE(FakePanel::shown.empty());
}

}  // namespace
}  // namespace sonvale::ui
