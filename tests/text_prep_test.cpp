#include "engine/text_prep.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "test_support.h"

namespace sonvale {
namespace {

using testing::Fragment;
using testing::FragmentList;

// Each sentence rendered as its items, "text@sourceOffset", with non-spoken
// items shown as "<action>@offset".
using Sentences = std::vector<std::vector<std::string>>;

// With a `limit`, each sentence is put together from its parts.
Sentences split(const FragmentList& list, std::size_t limit = std::numeric_limits<std::size_t>::max()) {
  TextCursor cursor;
  startText(cursor, list.head());
  ItemList items;
  Sentences out;
  bool continued = false;
  for (int guard = 0; guard < 1000; ++guard) {
    const HRESULT hr = nextSentence(cursor, items, limit);
    if (hr == S_FALSE) {
      EXPECT_TRUE(items.empty());
      return out;
    }
    EXPECT_EQ(hr, S_OK);
    if (!continued) out.emplace_back();
    continued = cursor.midSentence;
    std::vector<std::string>& sentence = out.back();
    for (const TextItem& item : items) {
      EXPECT_EQ(item.length, item.sourceLength);
      std::string shown = item.state->eAction == SPVA_Speak
                              ? platform::utf16ToUtf8(std::u16string(item.text, item.length))
                              : "<" + std::to_string(item.state->eAction) + ">";
      sentence.push_back(shown + "@" + std::to_string(item.sourceOffset));
    }
  }
  ADD_FAILURE() << "text preparation did not come to an end";
  return out;
}

struct SplitCase {
  const char* name;
  std::vector<Fragment> fragments;
  Sentences expected;
};

void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, ItemsAndSentences) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(split(FragmentList(c.fragments)), c.expected);
  // Made a part of one or two items at a time, the sentences are the same.
  EXPECT_EQ(split(FragmentList(c.fragments), 1), c.expected);
  EXPECT_EQ(split(FragmentList(c.fragments), 2), c.expected);
}

const SplitCase kSplitCases[] = {
    {"OnlyWhiteSpace", {{SPVA_Speak, u" \t\r\n  "}}, {}},
    {"EmptyFragment", {{SPVA_Speak, u""}}, {}},
    {"TwoSentences", {{SPVA_Speak, u"abc. def"}}, {{"abc@0", ".@3"}, {"def@5"}}},
    {"LeadingParenthesis", {{SPVA_Speak, u"(word"}}, {{"(@0", "word@1"}}},
    {"StopThenParenthesis", {{SPVA_Speak, u"word.) next"}}, {{"word@0", ".@4", ")@5"}, {"next@7"}}},
    {"TwoExclamations", {{SPVA_Speak, u"word!! x"}}, {{"word@0", "!@4", "!@5"}, {"x@7"}}},
    {"StopInsideToken", {{SPVA_Speak, u"a.b c"}}, {{"a.b@0", "c@4"}}},
    {"LoneStopIsOwnItem", {{SPVA_Speak, u"a . b"}}, {{"a@0", ".@2", "b@4"}}},
    {"QuotesBothSides", {{SPVA_Speak, u"\"hi,\" she"}}, {{"\"@0", "hi@1", ",@3", "\"@4", "she@6"}}},
    {"MarksInsideStay", {{SPVA_Speak, u"(a(b)c)"}}, {{"(@0", "a(b)c@1", ")@6"}}},
    {"ChineseFullStopStaysInToken",
     {{SPVA_Speak, u"你好。", 0}, {SPVA_Speak, u"再見", 3}},
     {{"你好。@0", "再見@3"}}},
    {"BookmarkBetweenSpokenFragments",
     {{SPVA_Speak, u"one", 0}, {SPVA_Bookmark, u"m1", 4}, {SPVA_Speak, u"two.", 20}},
     {{"one@0", "<3>@4", "two@20", ".@23"}}},
    {"SilenceEndsNothing",
     {{SPVA_Silence, u"", 0, 100}, {SPVA_Speak, u"x", 5}},
     {{"<1>@0", "x@5"}}},
    {"SourceOffsetOfLaterToken", {{SPVA_Speak, u"  ab", 10}}, {{"ab@12"}}},
    {"SentenceSpansFragments",
     {{SPVA_Speak, u"one two", 0}, {SPVA_Speak, u"three. four", 8}},
     {{"one@0", "two@4", "three@8", ".@13"}, {"four@15"}}},
    {"NulEndsFragmentText", {{SPVA_Speak, std::u16string(u"ab\0cd", 5)}}, {{"ab@0"}}},
    {"NulThenNextFragment",
     {{SPVA_Speak, std::u16string(u"x\0y", 3), 0}, {SPVA_Speak, u"z", 7}},
     {{"x@0", "z@7"}}},
    {"OnlyPunctuation", {{SPVA_Speak, u"!?. ,;"}}, {{"!@0", "?@1", ".@2"}, {",@4", ";@5"}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, SplitTest, ::testing::ValuesIn(kSplitCases),
                         [](const ::testing::TestParamInfo<SplitCase>& param) { return param.param.name; });

TEST(TextPrep, NullListIsUsedUp) {
  TextCursor cursor;
  startText(cursor, nullptr);
  ItemList items;
  EXPECT_EQ(nextSentence(cursor, items), S_FALSE);
}

TEST(TextPrep, MegabyteWithoutSpaceIsOneItem) {
  std::u16string text(1 << 20, u'中');
  const FragmentList list(text);
  TextCursor cursor;
  startText(cursor, list.head());
  ItemList items;
  ASSERT_EQ(nextSentence(cursor, items), S_OK);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].length, 1u << 20);
  EXPECT_EQ(nextSentence(cursor, items), S_FALSE);
}

TEST(TextPrep, EveryCodeUnitClassIsWalkedToTheEnd) {
  // Every UTF-16 code unit once, in order, with unpaired surrogates among them:
  // splitting must cover each non-white-space code unit exactly once.
  std::u16string text;
  for (std::uint32_t c = 1; c <= 0xFFFF; ++c) text += static_cast<char16_t>(c);
  const FragmentList list(text);
  TextCursor cursor;
  startText(cursor, list.head());
  ItemList items;
  std::uint64_t covered = 0;
  while (nextSentence(cursor, items) == S_OK)
    for (const TextItem& item : items) covered += item.length;
  EXPECT_EQ(covered, 0xFFFFu - 4u);  // the four white space code units are not items
}

}  // namespace
}  // namespace sonvale
