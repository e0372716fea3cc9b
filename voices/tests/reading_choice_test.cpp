#include "reading_choice.h"

#include <gtest/gtest.h>

namespace {

using namespace sonvale::recipe;

std::size_t at(char32_t c) { return static_cast<std::size_t>(c - kFirstIdeograph); }

TEST(ReadingChoice, TopReading) {
  struct Case {
    const char* name;
    std::vector<WeightedReading> readings;
    std::string reading;
    bool tied;
  };
  const Case cases[] = {
      {"none", {}, "", false},
      {"one", {{"si1", 100}}, "si1", false},
      {"heavier wins, wherever listed", {{"aa2", 3}, {"aa3", 100}, {"a3", 0}}, "aa3", false},
      {"equal top: first listed, tied", {{"dou2", 100}, {"dou3", 100}}, "dou2", true},
      {"equal weights below the top do not tie", {{"hang4", 100}, {"hong4", 5}, {"haang4", 5}}, "hang4", false},
      {"a repeated reading is no tie", {{"si1", 100}, {"si1", 100}}, "si1", false},
      {"tie found after a lighter one", {{"a1", 3}, {"aa1", 5}, {"aa3", 5}}, "aa1", true},
      {"only 0%", {{"a1", 0}}, "a1", false},
  };
  for (const Case& c : cases) {
    const TopReading top = topReading(c.readings);
    EXPECT_EQ(top.reading, c.reading) << c.name;
    EXPECT_EQ(top.tied, c.tied) << c.name;
  }
}

TEST(ReadingChoice, CharacterListEntriesAndFrequencies) {
  const std::vector<DictionaryEntry> entries = {
      {U"長", "coeng4", 100}, {U"銀行", "ngan4 hong4", 100}, {U"長", "zoeng2", 5}, {U"\U00020BA9", "si1", 100}};
  const auto list = characterReadings(entries);
  ASSERT_EQ(list.size(), 2u);
  ASSERT_EQ(list.at(U'長').size(), 2u);
  EXPECT_EQ(list.at(U'長')[1].reading, "zoeng2");
  EXPECT_EQ(list.at(U'長')[1].weightPercent, 5);

  const auto counts = characterFrequencies({{U"長", 7}, {U"長大", 9}});
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts.at(U'長'), 7u);
}

// One small world of characters; every expected reading is read off the
// order of the sources by hand.
TEST(ReadingChoice, DefaultReadingsFollowTheOrderOfTheSources) {
  ReadingInputs in;
  in.characterList = {
      {U'長', {{"coeng4", 100}, {"zoeng2", 100}}},  // a tie
      {U'行', {{"hang4", 100}, {"hong4", 5}}},
      {U'廣', {{"gwong2", 100}}},
      {U'广', {{"am1", 100}}},  // its own rare sense
      {U'了', {{"liu5", 100}}},
      {U'瞭', {{"liu4", 100}}},
      {U'發', {{"faat3", 100}}},
      {U'髮', {{"fat1", 100}}},
  };
  in.traditionalVariants = {
      {U'长', {U'長'}}, {U'广', {U'廣'}}, {U'了', {U'了', U'瞭'}}, {U'发', {U'發', U'髮'}}, {U'干', {U'乾'}},
  };
  in.cantonese = {{U'罓', {"xx9", "gong1"}}, {U'干', {"gon1"}}};
  in.overrides = {{U'行', "hong4"}};
  in.frequency = {{U'廣', 889}, {U'广', 700}, {U'了', 485512}, {U'瞭', 533}, {U'發', 10}, {U'髮', 20}};

  const std::vector<CharReading> readings = chooseReadings(in);
  ASSERT_EQ(readings.size(), kIdeographCount);
  struct Case {
    const char* name;
    char32_t c;
    std::string reading;
    ReadingSource source;
    bool tied;
  };
  const Case cases[] = {
      {"tie: first listed, flagged", U'長', "coeng4", ReadingSource::CharacterList, true},
      {"override beats the list", U'行', "hong4", ReadingSource::Override, false},
      {"simplified form inherits the tie", U'长', "coeng4", ReadingSource::TraditionalVariant, true},
      {"more frequent traditional form wins", U'广', "gwong2", ReadingSource::TraditionalVariant, false},
      {"own reading when the character is the more frequent", U'了', "liu5", ReadingSource::CharacterList, false},
      {"most frequent of two variants", U'发', "fat1", ReadingSource::TraditionalVariant, false},
      {"kCantonese, first value that parses", U'罓', "gong1", ReadingSource::UnihanCantonese, false},
      {"variant without a reading falls to kCantonese", U'干', "gon1", ReadingSource::UnihanCantonese, false},
      {"no source", U'肀', "", ReadingSource::None, false},
  };
  for (const Case& c : cases) {
    const CharReading& r = readings[at(c.c)];
    EXPECT_EQ(r.reading, c.reading) << c.name;
    EXPECT_EQ(r.source, c.source) << c.name;
    EXPECT_EQ(r.tied, c.tied) << c.name;
  }
}

TEST(ReadingChoice, CarriersAreTheMostFrequentVoicedCharacters) {
  std::vector<CharReading> readings(kIdeographCount);
  readings[at(U'一')].reading = "jat1";
  readings[at(U'壹')].reading = "jat1";
  readings[at(U'銀')].reading = "ngan4";
  readings[at(U'垠')].reading = "ngan4";
  readings[at(U'兛')].reading = "cin1 hak1";
  const std::unordered_map<char32_t, std::uint64_t> frequency = {
      {U'一', 100}, {U'壹', 100}, {U'銀', 5}, {U'垠', 9}, {U'兛', 1000}};
  std::vector<bool> voiced(kIdeographCount, true);

  auto carriers = chooseCarriers(readings, frequency, voiced);
  EXPECT_EQ(carriers.size(), 2u) << "a reading of two syllables carries nothing";
  EXPECT_EQ(carriers.at("jat1"), U'一') << "equal counts: the lower code point";
  EXPECT_EQ(carriers.at("ngan4"), U'垠');

  voiced[at(U'垠')] = false;
  carriers = chooseCarriers(readings, frequency, voiced);
  EXPECT_EQ(carriers.at("ngan4"), U'銀') << "a character without a unit carries nothing";
}

TEST(ReadingChoice, SourceWordsKeepVoicedWordsOfOneSyllableACharacter) {
  const std::vector<DictionaryEntry> entries = {
      {U"銀行", "ngan4 hong4", 100}, {U"長", "coeng4", 100},          {U"T恤", "ti1 seot1", 100},
      {U"卅歲", "saa1 aa6 seoi3", 100}, {U"銀行家", "ngan4 hong4", 100}, {U"行行", "hong4 hongx", 100},
      {U"一二三四五六七八九", "jat1 ji6 saam1 sei3 ng5 luk6 cat1 baat3 gau2", 100}};
  const std::vector<SourceWord> words = sourceWords(entries, {{U"銀行", 42}});
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0].text, U"銀行");
  EXPECT_EQ(words[0].syllables, (std::vector<std::string>{"ngan4", "hong4"}));
  EXPECT_EQ(words[0].frequency, 42u);
}

TEST(ReadingChoice, SimplifiedForms) {
  const std::map<char32_t, std::vector<char32_t>> variants = {
      {U'頭', {U'头'}}, {U'髮', {U'发'}}, {U'乾', {U'乾', U'干'}}, {U'淨', {U'净'}}};
  struct Case {
    const char* name;
    std::u32string text;
    std::size_t maxForms;
    std::vector<std::u32string> forms;
  };
  const Case cases[] = {
      {"one form", U"頭髮", 8, {U"头发"}},
      {"a character that may stay", U"乾淨", 8, {U"乾净", U"干净"}},
      {"capped", U"乾淨", 1, {U"乾净"}},
      {"nothing to simplify", U"銀行", 8, {}},
      {"only the text itself", U"乾", 8, {U"干"}},
  };
  for (const Case& c : cases) EXPECT_EQ(simplifiedForms(c.text, variants, c.maxForms), c.forms) << c.name;
}

class WordList : public ::testing::Test {
 protected:
  WordList() : readings_(kIdeographCount), voiced_(kIdeographCount, true) {
    const std::pair<char32_t, const char*> defaults[] = {
        {U'銀', "ngan4"}, {U'银', "ngan4"}, {U'行', "hang4"}, {U'航', "hong4"}, {U'人', "jan4"},
        {U'長', "coeng4"}, {U'长', "coeng4"}, {U'大', "daai6"}, {U'校', "haau6"}, {U'掌', "zoeng2"},
        {U'短', "dyun2"}, {U'白', "baak6"}, {U'髮', "faat3"}, {U'發', "faat3"}, {U'发', "faat3"},
        {U'忽', "fat1"}, {U'乏', "faat6"}, {U'天', "tin1"}, {U'地', "dei6"}, {U'弟', "dai6"}};
    for (const auto& [c, reading] : defaults) readings_[at(c)].reading = reading;
    for (const auto& [c, reading] : defaults) carriers_.emplace(reading, c);
    carriers_["hong4"] = U'航';
    carriers_["zoeng2"] = U'掌';
    carriers_["faat3"] = U'髮';
    variants_ = {{U'銀', {U'银'}}, {U'長', {U'长'}}, {U'髮', {U'发'}}, {U'發', {U'发'}}};
  }

  std::vector<WordEntry> build(const std::vector<SourceWord>& words) {
    return buildWordList(words, readings_, carriers_, variants_, {phrases_, &traditional_, &characterList_}, voiced_);
  }

  std::vector<CharReading> readings_;
  std::vector<bool> voiced_;
  std::map<std::string, char32_t> carriers_;
  std::map<char32_t, std::vector<char32_t>> variants_;
  std::vector<PhraseEntry> phrases_;
  std::map<char32_t, std::vector<char32_t>> traditional_;
  std::map<char32_t, std::vector<WeightedReading>> characterList_;
};

TEST_F(WordList, SyllablesOffTheDefaultsGoThroughCarriers) {
  const std::vector<SourceWord> words = {
      {U"銀行", {"ngan4", "hong4"}, 100},  // 行 is hang4 alone
      {U"行人", {"hang4", "jan4"}, 100},   // as the defaults: no entry
      {U"長大", {"zoeng2", "daai6"}, 50},  // one pronunciation matches the
      {U"長大", {"coeng4", "daai6"}, 50},  // defaults: no entry at all
      {U"校長", {"haau6", "zoeng2"}, 30},
      {U"行行", {"hong4", "hong4"}, 20},   // two off
      {U"行行", {"hong4", "hang4"}, 20},   // one off: chosen
      {U"人人", {"jan6", "jan4"}, 10},     // no character says jan6: reading = text
      {U"长短", {"coeng4", "dyun2"}, 5},   // a word in its own right, as the defaults
      {U"長短", {"zoeng2", "dyun2"}, 500}, // its simplified form must not replace 长短
  };
  const std::vector<WordEntry> entries = build(words);
  struct Expected {
    std::u32string text, reading;
    bool simplified;
  };
  const Expected expected[] = {
      {U"校長", U"校掌", false}, {U"校长", U"校掌", true}, {U"行行", U"航行", false},
      {U"銀行", U"銀航", false}, {U"银行", U"银航", true}, {U"長短", U"掌短", false},
  };
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(encodeUtf8(entries[i].text), encodeUtf8(expected[i].text)) << i;
    EXPECT_EQ(encodeUtf8(entries[i].reading), encodeUtf8(expected[i].reading)) << i;
    EXPECT_EQ(entries[i].simplified, expected[i].simplified) << i;
  }
  EXPECT_EQ(entries[2].syllables, (std::vector<std::string>{"hong4", "hang4"}));
}

TEST_F(WordList, TheMoreFrequentWordDecidesASharedSimplifiedForm) {
  const std::vector<SourceWord> words = {
      {U"白發", {"baak6", "faat6"}, 5},
      {U"白髮", {"baak6", "fat1"}, 50},
  };
  const std::vector<WordEntry> entries = build(words);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(encodeUtf8(entries[0].text), "白发");
  EXPECT_EQ(encodeUtf8(entries[0].reading), "白忽") << "from 白髮, counted 50 against 5";
  EXPECT_EQ(encodeUtf8(entries[1].text), "白發");
  EXPECT_EQ(encodeUtf8(entries[1].reading), "白乏");
  EXPECT_EQ(encodeUtf8(entries[2].text), "白髮");
  EXPECT_EQ(encodeUtf8(entries[2].reading), "白忽");
}

TEST_F(WordList, AWordNeedingACharacterWithoutAUnitIsLeftOut) {
  voiced_[at(U'掌')] = false;
  const std::vector<WordEntry> entries = build({{U"校長", {"haau6", "zoeng2"}, 30}});
  EXPECT_TRUE(entries.empty());
}

// The engine speaks a phrase entry only when no dictionary word starts at the
// same place, so the word list decides which of the two speaks a phrase key.
TEST_F(WordList, PhraseEntriesKeepTheirValuesOrAreLeftAlone) {
  const SyllableValues first = {-6, -6, 7, -6}, second = {4, 4, -3, 6};
  phrases_ = {
      {U"银行", U"银航", {first, second}},  // reads ngan4 hong4: right
      {U"天地", U"天弟", {first, second}},  // reads tin1 dai6: wrong in Cantonese
      {U"校长", U"校长", {first, second}},  // reads haau6 coeng4: wrong
  };
  const std::vector<WordEntry> entries = build({
      {U"銀行", {"ngan4", "hong4"}, 100},
      {U"天地", {"tin1", "dei6"}, 100},  // as the defaults, but the phrase entry says 弟
      {U"校長", {"haau6", "zoeng2"}, 30},
  });
  struct Expected {
    std::u32string text, reading;
    bool shaped;
  };
  // 银行 is left to the phrase rule; 銀行 is no key and is corrected as before.
  const Expected expected[] = {
      {U"天地", U"天地", true},   // only stops the substitution
      {U"校長", U"校掌", false},
      {U"校长", U"校掌", true},
      {U"銀行", U"銀航", false},
  };
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(encodeUtf8(entries[i].text), encodeUtf8(expected[i].text)) << i;
    EXPECT_EQ(encodeUtf8(entries[i].reading), encodeUtf8(expected[i].reading)) << i;
    if (expected[i].shaped) {
      EXPECT_EQ(entries[i].values, (std::vector<SyllableValues>{first, second})) << i;
    } else {
      EXPECT_TRUE(entries[i].values.empty()) << i;
    }
  }
}

// 680 syllables nobody can take fill all but the last free code; ni1 (no
// ideograph has it) takes the last one, 999; peng4 then goes to the rarer of
// the two ideographs that have it and whose ping4 another ideograph says too.
TEST(ReadingChoice, ExtraSyllablesTakeTheFreeCodesThenRareIdeographs) {
  const std::vector<std::uint32_t> codes = freeUnitCodes();
  ASSERT_EQ(codes.size(), 681u);  // 256..500 and 564..999
  for (const std::uint32_t u : codes) {
    EXPECT_TRUE((u >= 256 && u <= 500) || (u >= 564 && u <= 999)) << u << " is reached by a text character";
  }

  ReadingInputs in;
  in.characterList = {{U'平', {{"ping4", 100}, {"peng4", 50}}},
                      {U'坪', {{"ping4", 100}, {"peng4", 5}}},
                      {U'七', {{"cat1", 100}, {"ni1", 1}}}};
  in.frequency = {{U'平', 900}, {U'坪', 3}};
  in.inWords = {{U'坪', 2}};
  std::vector<CharReading> readings(kIdeographCount);
  readings[at(U'平')] = {"ping4", ReadingSource::CharacterList, false};
  readings[at(U'坪')] = {"ping4", ReadingSource::CharacterList, false};
  readings[at(U'七')] = {"cat1", ReadingSource::CharacterList, false};

  std::map<std::string, std::uint64_t> needed = {{"ping4", 5000}, {"peng4", 10}, {"cat1", 7}};
  for (int i = 0; i < 680; ++i) needed["f" + std::to_string(i)] = 1000000;
  // ni1: 七 has it but says cat1 alone, so no ideograph could take it.
  needed["ni1"] = 100;
  const ExtraSyllables extra = chooseExtraSyllables(needed, in, readings, U"");
  ASSERT_EQ(extra.units.size(), 681u);
  EXPECT_EQ(extra.units.back(), (std::pair<std::uint32_t, std::string>{999, "ni1"}));
  EXPECT_EQ(extra.retold, (std::vector<char32_t>{U'坪'}));
  EXPECT_TRUE(extra.unsayable.empty());
  EXPECT_EQ(readings[at(U'坪')].reading, "peng4");
  EXPECT_EQ(readings[at(U'坪')].source, ReadingSource::ExtraSyllable);
  EXPECT_EQ(readings[at(U'平')].reading, "ping4");
  EXPECT_EQ(readings[at(U'七')].reading, "cat1");

  // Kept ideographs are never retold: 平 and 坪 both kept, peng4 goes to the
  // least used ideograph of all instead (U+4E00 and on have no use here).
  std::vector<CharReading> again(kIdeographCount);
  again[at(U'平')] = again[at(U'坪')] = {"ping4", ReadingSource::CharacterList, false};
  again[at(U'七')] = {"cat1", ReadingSource::CharacterList, false};
  const ExtraSyllables kept = chooseExtraSyllables(needed, in, again, U"平坪");
  EXPECT_EQ(kept.retold, (std::vector<char32_t>{U'\u4E00'}));
  EXPECT_EQ(again[at(U'坪')].reading, "ping4");
}

TEST_F(WordList, HandMadeWordsReplaceTheWordListAndAlwaysGetAnEntry) {
  const std::vector<SourceWord> words = {
      {U"長大", {"coeng4", "daai6"}, 0, true},  // as the defaults: still an entry
      {U"長大", {"zoeng2", "daai6"}, 900},      // set aside for the hand-made one
      {U"銀行", {"ngan4", "hang4"}, 0, true},   // corrects the word list's hong4
      {U"銀行", {"ngan4", "hong4"}, 900},
  };
  const std::vector<WordEntry> entries = build(words);
  struct Expected {
    std::u32string text, reading;
  };
  const Expected expected[] = {{U"銀行", U"銀行"}, {U"银行", U"银行"}, {U"長大", U"長大"}, {U"长大", U"长大"}};
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(encodeUtf8(entries[i].text), encodeUtf8(expected[i].text)) << i;
    EXPECT_EQ(encodeUtf8(entries[i].reading), encodeUtf8(expected[i].reading)) << i;
  }
}

TEST_F(WordList, ExtraUnitsCarrySyllablesNoIdeographSays) {
  carriers_["ni1"] = kUnitBias + 256;  // U+4B18
  voiced_.assign(kIdeographCount, false);
  voiced_[at(U'人')] = true;
  const std::vector<WordEntry> entries = build({{U"人人", {"ni1", "jan4"}, 1}});
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(encodeUtf8(entries[0].reading), encodeUtf8(U"\u4B18人"));
}

// Phrase keys that no word decides, and their traditional spellings: the
// values stay, the syllables are the key's Cantonese ones.
TEST_F(WordList, PhraseKeysGetTraditionalSpellingsAndNoMandarinSwaps) {
  const SyllableValues first = {-6, -6, 7, -6}, second = {4, 4, -3, 6};
  readings_[at(U'一')].reading = "jat1";
  readings_[at(U'义')].reading = "ji6";
  readings_[at(U'肠')].reading = "coeng4";
  carriers_["jat1"] = U'一';
  carriers_["ji6"] = U'义';
  characterList_ = {{U'一', {{"jat1", 100}}}, {U'長', {{"coeng4", 100}, {"zoeng2", 5}}}, {U'天', {{"tin1", 100}}}};
  traditional_ = {{U'长', {U'長'}}, {U'发', {U'發', U'髮'}}};
  phrases_ = {
      {U"一天", U"义天", {first, second}},  // 义 ji6 is no reading of 一: spoken 一天
      {U"长短", U"肠短", {first, second}},  // 肠 coeng4 is a reading of 長 (长's variant)
      {U"白发", U"白发", {first, second}},  // only 白髮, the spelling the word list knows
  };
  const std::vector<WordEntry> entries = build({{U"白髮", {"baak6", "faat3"}, 1}});
  struct Expected {
    std::u32string text, reading;
  };
  // 长短's own entry already says coeng4 dyun2: it is left to the phrase rule.
  const Expected expected[] = {{U"一天", U"一天"}, {U"白髮", U"白髮"}, {U"長短", U"長短"}};
  ASSERT_EQ(entries.size(), std::size(expected));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(encodeUtf8(entries[i].text), encodeUtf8(expected[i].text)) << i;
    EXPECT_EQ(encodeUtf8(entries[i].reading), encodeUtf8(expected[i].reading)) << i;
    EXPECT_EQ(entries[i].values, (std::vector<SyllableValues>{first, second})) << i;
  }
  EXPECT_EQ(entries[0].syllables, (std::vector<std::string>{"jat1", "tin1"}));
  EXPECT_EQ(entries[2].syllables, (std::vector<std::string>{"coeng4", "dyun2"}));
}

TEST(ReadingChoice, WordsFileLines) {
  const std::vector<WordEntry> entries = {
      {U"銀行", U"銀航", {"ngan4", "hong4"}, false, {}},
      {U"长短", U"牆短", {"coeng4", "dyun2"}, true, {{-6, -6, 7, -6}, {4, 4, -3, 6}}}};
  const std::string text = formatWordsFile(entries);
  const std::string body = text.substr(text.find("\n\xE9\x8A\x80") + 1);  // from the line of 銀行
  EXPECT_EQ(body, "銀行\t銀航\tngan4 hong4\n长短\t牆短\tcoeng4 dyun2\t-6,-6,7,-6 4,4,-3,6\n");
  EXPECT_EQ(text[0], '#');
}

}  // namespace
