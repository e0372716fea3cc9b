#include "reading_choice.h"

#include <algorithm>
#include <optional>
#include <set>
#include <tuple>

#include "jyutping.h"

namespace sonvale::recipe {

namespace {

constexpr std::size_t kMinWordLength = 2;
constexpr std::size_t kMaxWordLength = 8;
constexpr std::size_t kMaxSimplifiedForms = 8;
constexpr std::size_t kMaxRomanizationChars = 7;

std::vector<std::string> splitSyllables(const std::string& reading) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < reading.size()) {
    while (i < reading.size() && reading[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < reading.size() && reading[i] != ' ') ++i;
    if (i > start) out.push_back(reading.substr(start, i - start));
  }
  return out;
}

bool allSyllablesParse(const std::vector<std::string>& syllables) {
  Syllable s;
  return !syllables.empty() &&
         std::all_of(syllables.begin(), syllables.end(), [&](const std::string& one) { return parseSyllable(one, s); });
}

std::uint64_t countOf(const std::unordered_map<char32_t, std::uint64_t>& frequency, char32_t c) {
  const auto it = frequency.find(c);
  return it == frequency.end() ? 0 : it->second;
}

// A reading that a character has of its own: hand-made, or from the character list.
std::optional<CharReading> directReading(const ReadingInputs& in, char32_t c) {
  if (const auto it = in.overrides.find(c); it != in.overrides.end())
    return CharReading{it->second, ReadingSource::Override, false};
  if (const auto it = in.characterList.find(c); it != in.characterList.end()) {
    const TopReading top = topReading(it->second);
    if (!top.reading.empty()) return CharReading{top.reading, ReadingSource::CharacterList, top.tied};
  }
  return std::nullopt;
}

std::size_t index(char32_t c) { return static_cast<std::size_t>(c - kFirstIdeograph); }

}  // namespace

TopReading topReading(std::span<const WeightedReading> readings) {
  TopReading top;
  double best = 0;
  for (const WeightedReading& r : readings) {
    if (top.reading.empty() || r.weightPercent > best) {
      top.reading = r.reading;
      top.tied = false;
      best = r.weightPercent;
    } else if (r.weightPercent == best && r.reading != top.reading) {
      top.tied = true;
    }
  }
  return top;
}

std::map<char32_t, std::vector<WeightedReading>> characterReadings(std::span<const DictionaryEntry> entries) {
  std::map<char32_t, std::vector<WeightedReading>> out;
  for (const DictionaryEntry& e : entries)
    if (e.text.size() == 1) out[e.text[0]].push_back({e.reading, e.weightPercent});
  return out;
}

std::unordered_map<char32_t, std::uint64_t> characterFrequencies(
    const std::unordered_map<std::u32string, std::uint64_t>& counts) {
  std::unordered_map<char32_t, std::uint64_t> out;
  for (const auto& [text, count] : counts)
    if (text.size() == 1) out[text[0]] = count;
  return out;
}

std::vector<CharReading> chooseReadings(const ReadingInputs& in) {
  std::vector<CharReading> readings(kIdeographCount);
  for (char32_t c = kFirstIdeograph; c <= kLastIdeograph; ++c) {
    CharReading& r = readings[index(c)];
    if (const auto it = in.overrides.find(c); it != in.overrides.end()) {
      r = CharReading{it->second, ReadingSource::Override, false};
      continue;
    }
    // The most frequent traditional variant with a reading of its own; the
    // first listed wins on equal counts.
    std::optional<CharReading> variant;
    std::uint64_t variantCount = 0;
    if (const auto it = in.traditionalVariants.find(c); it != in.traditionalVariants.end()) {
      for (const char32_t t : it->second) {
        if (t == c) continue;
        std::optional<CharReading> candidate = directReading(in, t);
        const std::uint64_t count = countOf(in.frequency, t);
        if (candidate && (!variant || count > variantCount)) {
          variant = CharReading{candidate->reading, ReadingSource::TraditionalVariant, candidate->tied};
          variantCount = count;
        }
      }
    }
    // The character list is a list of traditional characters: for one that
    // is also the simplified form of a more frequent character (广 for 廣,
    // 体 for 體) it gives the rare traditional sense, while text in
    // simplified characters means the frequent one.
    const std::optional<CharReading> own = directReading(in, c);
    if (own && (!variant || variantCount <= countOf(in.frequency, c))) {
      r = *own;
    } else if (variant) {
      r = *variant;
    } else if (const auto it = in.cantonese.find(c); it != in.cantonese.end()) {
      for (const std::string& value : it->second) {
        if (allSyllablesParse(splitSyllables(value))) {
          r = CharReading{value, ReadingSource::UnihanCantonese, false};
          break;
        }
      }
    }
  }
  return readings;
}

std::uint64_t usageCount(const ReadingInputs& in, char32_t c) {
  std::uint64_t n = countOf(in.frequency, c);
  if (const auto it = in.traditionalVariants.find(c); it != in.traditionalVariants.end())
    for (const char32_t t : it->second) n = std::max(n, countOf(in.frequency, t));
  return n;
}

std::vector<std::uint32_t> freeUnitCodes() {
  std::vector<std::uint32_t> codes;
  for (std::uint32_t u = 256; u <= 500; ++u) codes.push_back(u);
  for (std::uint32_t u = 564; u <= 999; ++u) codes.push_back(u);
  return codes;
}

ExtraSyllables chooseExtraSyllables(const std::map<std::string, std::uint64_t>& needed, const ReadingInputs& in,
                                    std::vector<CharReading>& readings, std::u32string_view keep) {
  std::map<std::string, std::size_t> sayers;  // how many ideographs say a syllable by default
  for (const CharReading& r : readings) ++sayers[r.reading];
  // A character alone may be rare while words hold it often (為 in 因為). A
  // simplified character is never taken: the counts, from traditional text,
  // cannot say how often it is met (为 is counted 0, its variant 爲 often).
  const auto retellable = [&](char32_t c) {
    if (keep.find(c) != std::u32string_view::npos) return false;
    const auto it = in.traditionalVariants.find(c);
    return it == in.traditionalVariants.end() ||
           std::all_of(it->second.begin(), it->second.end(), [c](char32_t t) { return t == c; });
  };
  const auto rarity = [&](char32_t c) {
    std::uint64_t n = usageCount(in, c) + countOf(in.inWords, c);
    if (const auto it = in.traditionalVariants.find(c); it != in.traditionalVariants.end())
      for (const char32_t t : it->second) n += countOf(in.inWords, t);
    return n;
  };
  // Rare ideographs that have a syllable as a reading of their own, least used first.
  std::map<std::string, std::vector<std::pair<std::uint64_t, char32_t>>> candidates;
  for (const auto& [c, list] : in.characterList) {
    if (!isVoicedIdeograph(c) || !retellable(c)) continue;
    for (const WeightedReading& r : list) candidates[r.reading].emplace_back(rarity(c), c);
  }
  for (auto& [syllable, list] : candidates) std::sort(list.begin(), list.end());

  // The free codes go first to the syllables no ideograph could take, then to
  // the most used; the least used of the rest go to rare ideographs.
  std::vector<std::tuple<bool, std::uint64_t, std::string>> missing;
  for (const auto& [syllable, use] : needed)
    if (sayers.find(syllable) == sayers.end()) missing.emplace_back(candidates.count(syllable) != 0, use, syllable);
  std::stable_sort(missing.begin(), missing.end(), [](const auto& a, const auto& b) {
    return std::get<0>(a) != std::get<0>(b) ? !std::get<0>(a) : std::get<1>(a) > std::get<1>(b);
  });

  ExtraSyllables extra;
  const std::vector<std::uint32_t> codes = freeUnitCodes();
  std::size_t next = 0;
  for (; next < missing.size() && next < codes.size(); ++next)
    extra.units.emplace_back(codes[next], std::get<2>(missing[next]));
  // Failing those, the least used ideographs of all.
  std::vector<std::pair<std::uint64_t, char32_t>> anyRare;
  for (char32_t c = kFirstIdeograph; c <= kLastIdeograph; ++c)
    if (retellable(c)) anyRare.emplace_back(rarity(c), c);
  std::sort(anyRare.begin(), anyRare.end());
  const auto retell = [&](const std::vector<std::pair<std::uint64_t, char32_t>>& list, const std::string& syllable) {
    for (const auto& [use, c] : list) {
      CharReading& r = readings[index(c)];
      if (r.source == ReadingSource::ExtraSyllable || sayers[r.reading] < 2) continue;
      --sayers[r.reading];
      r = CharReading{syllable, ReadingSource::ExtraSyllable, false};
      ++sayers[syllable];
      extra.retold.push_back(c);
      return true;
    }
    return false;
  };
  for (; next < missing.size(); ++next) {
    const std::string& syllable = std::get<2>(missing[next]);
    if (!retell(candidates[syllable], syllable) && !retell(anyRare, syllable)) extra.unsayable.push_back(syllable);
  }
  return extra;
}

std::map<std::string, char32_t> chooseCarriers(std::span<const CharReading> readings,
                                               const std::unordered_map<char32_t, std::uint64_t>& frequency,
                                               const std::vector<bool>& voiced) {
  std::map<std::string, char32_t> carriers;
  std::map<std::string, std::uint64_t> bestCount;
  for (std::size_t i = 0; i < readings.size() && i < voiced.size(); ++i) {
    const std::string& reading = readings[i].reading;
    if (!voiced[i] || reading.empty() || reading.find(' ') != std::string::npos) continue;
    const char32_t c = kFirstIdeograph + static_cast<char32_t>(i);
    const std::uint64_t count = countOf(frequency, c);
    // Ascending code points: only a strictly larger count replaces a carrier.
    const auto [at, inserted] = bestCount.emplace(reading, count);
    if (inserted || count > at->second) {
      at->second = count;
      carriers[reading] = c;
    }
  }
  return carriers;
}

std::vector<SourceWord> sourceWords(std::span<const DictionaryEntry> entries,
                                    const std::unordered_map<std::u32string, std::uint64_t>& counts) {
  std::vector<SourceWord> words;
  for (const DictionaryEntry& e : entries) {
    if (e.text.size() < kMinWordLength || e.text.size() > kMaxWordLength) continue;
    if (!std::all_of(e.text.begin(), e.text.end(), isVoicedIdeograph)) continue;
    std::vector<std::string> syllables = splitSyllables(e.reading);
    if (syllables.size() != e.text.size() || !allSyllablesParse(syllables)) continue;
    const auto it = counts.find(e.text);
    words.push_back({e.text, std::move(syllables), it == counts.end() ? 0 : it->second});
  }
  return words;
}

std::vector<std::u32string> simplifiedForms(const std::u32string& text,
                                            const std::map<char32_t, std::vector<char32_t>>& simplifiedVariants,
                                            std::size_t maxForms) {
  std::vector<std::vector<char32_t>> options;
  for (const char32_t c : text) {
    std::vector<char32_t> choices;
    if (const auto it = simplifiedVariants.find(c); it != simplifiedVariants.end())
      for (const char32_t v : it->second)
        if (std::find(choices.begin(), choices.end(), v) == choices.end()) choices.push_back(v);
    if (choices.empty()) choices.push_back(c);
    options.push_back(std::move(choices));
  }
  std::vector<std::u32string> forms;
  std::vector<std::size_t> pick(text.size(), 0);
  while (forms.size() < maxForms) {
    std::u32string form;
    for (std::size_t k = 0; k < text.size(); ++k) form += options[k][pick[k]];
    if (form != text) forms.push_back(std::move(form));
    // Next combination, the last character varying fastest.
    std::size_t k = text.size();
    while (k > 0) {
      --k;
      if (++pick[k] < options[k].size()) break;
      pick[k] = 0;
      if (k == 0) return forms;
    }
    if (text.empty()) break;
  }
  return forms;
}

std::vector<WordEntry> buildWordList(std::span<const SourceWord> words, std::span<const CharReading> readings,
                                     const std::map<std::string, char32_t>& carriers,
                                     const std::map<char32_t, std::vector<char32_t>>& simplifiedVariants,
                                     const PhraseInputs& phrases, const std::vector<bool>& voiced) {
  struct Candidate {
    int tier = 0;  // 0: the word's own text, 1: a simplified form
    std::size_t order = 0;
  };
  // A reading character below the ideographs names an extra unit, which every voice records.
  std::map<std::u32string, std::vector<Candidate>> byText;
  for (std::size_t i = 0; i < words.size(); ++i) {
    byText[words[i].text].push_back({0, i});
    for (std::u32string& form : simplifiedForms(words[i].text, simplifiedVariants, kMaxSimplifiedForms))
      if (std::all_of(form.begin(), form.end(), isVoicedIdeograph)) byText[std::move(form)].push_back({1, i});
  }
  // The phrase keys, and their traditional spellings, which the phrase rules never see.
  std::map<std::u32string, const PhraseEntry*> phraseByText;
  std::set<std::u32string> keys;
  for (const PhraseEntry& p : phrases.entries) {
    phraseByText.emplace(p.key, &p);
    keys.insert(p.key);
  }
  // Where a key has several spellings and the word lists know some of them,
  // only those: a made-up spelling could take a wrong cut (头发 is 頭髮, and
  // 頭發 would split 頭發燒).
  const auto isSourceWord = [&](const std::u32string& text) {
    const auto it = byText.find(text);
    return it != byText.end() &&
           std::any_of(it->second.begin(), it->second.end(), [](const Candidate& c) { return c.tier == 0; });
  };
  if (phrases.traditionalVariants != nullptr)
    for (const PhraseEntry& p : phrases.entries) {
      std::vector<std::u32string> forms;
      for (std::u32string& form : simplifiedForms(p.key, *phrases.traditionalVariants, kMaxSimplifiedForms))
        if (std::all_of(form.begin(), form.end(), isVoicedIdeograph) && keys.count(form) == 0)
          forms.push_back(std::move(form));
      const bool someKnown = std::any_of(forms.begin(), forms.end(), isSourceWord);
      for (std::u32string& form : forms)
        if (forms.size() == 1 || !someKnown || isSourceWord(form)) phraseByText.emplace(std::move(form), &p);
    }

  const auto isVoiced = [&](char32_t c) {
    return c < kFirstIdeograph || (isVoicedIdeograph(c) && index(c) < voiced.size() && voiced[index(c)]);
  };
  const auto defaultOf = [&](char32_t c) -> const std::string& {
    static const std::string kNone;
    return isVoicedIdeograph(c) ? readings[index(c)].reading : kNone;
  };
  // Fills an entry's reading from its syllables: each character that does not
  // say its syllable by default is spoken through the syllable's carrier.
  // False when a character to be spoken has no unit.
  const auto speak = [&](WordEntry& entry) {
    bool speakable = true;
    for (std::size_t k = 0; k < entry.text.size(); ++k) {
      char32_t spoken = entry.text[k];
      if (entry.syllables[k] != defaultOf(spoken))
        if (const auto it = carriers.find(entry.syllables[k]); it != carriers.end()) spoken = it->second;
      speakable = speakable && isVoiced(spoken);
      entry.reading += spoken;
    }
    return speakable;
  };
  std::vector<WordEntry> entries;
  for (const auto& [text, candidates] : byText) {
    const auto rank = [&](const Candidate& c) {
      return std::make_tuple(c.tier, !words[c.order].handMade, ~words[c.order].frequency, c.order);
    };
    const Candidate& best =
        *std::min_element(candidates.begin(), candidates.end(),
                          [&](const Candidate& a, const Candidate& b) { return rank(a) < rank(b); });
    const std::u32string& sourceText = words[best.order].text;
    const auto phraseAt = phraseByText.find(text);
    const PhraseEntry* phrase = phraseAt == phraseByText.end() ? nullptr : phraseAt->second;
    const bool isKey = keys.count(text) != 0;

    // The pronunciations of the deciding word, in file order; a hand-made
    // word's replace those of the word list.
    const bool hand = words[best.order].handMade;
    const std::vector<std::string>* chosen = nullptr;
    std::size_t fewestOff = kMaxWordLength + 1;
    bool phraseSaysIt = false;
    for (const Candidate& c : candidates) {
      if (c.tier != best.tier || words[c.order].text != sourceText || words[c.order].handMade != hand) continue;
      const std::vector<std::string>& syllables = words[c.order].syllables;
      std::size_t off = 0;
      bool asPhrase = isKey;
      for (std::size_t k = 0; k < text.size(); ++k) {
        if (syllables[k] != defaultOf(text[k])) ++off;
        if (phrase != nullptr && syllables[k] != defaultOf(phrase->reading[k])) asPhrase = false;
      }
      phraseSaysIt = phraseSaysIt || asPhrase;
      if (off < fewestOff) {
        fewestOff = off;
        chosen = &syllables;
      }
    }
    if (chosen == nullptr || (!hand && (phraseSaysIt || (phrase == nullptr && fewestOff == 0)))) continue;

    WordEntry entry;
    entry.text = text;
    entry.syllables = *chosen;
    entry.simplified = best.tier == 1;
    if (phrase != nullptr) entry.values = phrase->values;
    if (!speak(entry) || (!hand && phrase == nullptr && entry.reading == entry.text)) continue;
    entries.push_back(std::move(entry));
  }

  // Phrase texts that no word decides.
  const auto ownReadings = [&](char32_t c) {
    std::vector<std::string> own;
    const auto add = [&](char32_t v) {
      if (phrases.characterList == nullptr) return;
      if (const auto it = phrases.characterList->find(v); it != phrases.characterList->end())
        for (const WeightedReading& r : it->second) own.push_back(r.reading);
    };
    add(c);
    if (phrases.traditionalVariants != nullptr)
      if (const auto it = phrases.traditionalVariants->find(c); it != phrases.traditionalVariants->end())
        for (const char32_t t : it->second) add(t);
    return own;
  };
  const std::size_t decided = entries.size();
  for (const auto& [text, phrase] : phraseByText) {
    if (byText.count(text) != 0) continue;
    WordEntry entry;
    entry.text = text;
    entry.values = phrase->values;
    bool phraseSaysIt = true;
    for (std::size_t k = 0; k < phrase->key.size(); ++k) {
      const std::string& swapped = defaultOf(phrase->reading[k]);
      const std::vector<std::string> own = ownReadings(phrase->key[k]);
      const bool rightSwap = std::find(own.begin(), own.end(), swapped) != own.end();
      entry.syllables.push_back(rightSwap ? swapped : defaultOf(phrase->key[k]));
      phraseSaysIt = phraseSaysIt && entry.syllables.back() == swapped;
    }
    if ((keys.count(text) != 0 && phraseSaysIt) || !speak(entry)) continue;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin() + static_cast<std::ptrdiff_t>(decided), entries.end(),
            [](const WordEntry& a, const WordEntry& b) { return a.text < b.text; });
  std::inplace_merge(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(decided), entries.end(),
                     [](const WordEntry& a, const WordEntry& b) { return a.text < b.text; });
  return entries;
}

std::string formatWordsFile(std::span<const WordEntry> entries) {
  std::string out =
      "# The default voice's words: written form, the characters whose units are spoken,\n"
      "# and the jyutping of each character. Made by make_default_voice; do not edit.\n";
  for (const WordEntry& e : entries) {
    out += encodeUtf8(e.text);
    out += '\t';
    out += encodeUtf8(e.reading);
    out += '\t';
    const bool fits = e.syllables.size() == e.text.size() &&
                      std::all_of(e.syllables.begin(), e.syllables.end(),
                                  [](const std::string& s) { return s.size() <= kMaxRomanizationChars; });
    if (fits) {
      for (std::size_t k = 0; k < e.syllables.size(); ++k) {
        if (k > 0) out += ' ';
        out += e.syllables[k];
      }
    }
    if (!e.values.empty()) {
      out += '\t';
      for (std::size_t k = 0; k < e.values.size(); ++k) {
        if (k > 0) out += ' ';
        const SyllableValues& v = e.values[k];
        out += std::to_string(v[0]) + ',' + std::to_string(v[1]) + ',' + std::to_string(v[2]) + ',' +
               std::to_string(v[3]);
      }
    }
    out += '\n';
  }
  return out;
}

}  // namespace sonvale::recipe
