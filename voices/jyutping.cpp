#include "jyutping.h"

#include <algorithm>
#include <array>

namespace sonvale::recipe {

namespace {

// Longest first, so that "gw", "kw" and "ng" win over "g", "k" and "n".
constexpr std::array<std::string_view, 19> kInitials = {"gw", "kw", "ng", "b", "p", "m", "f", "d", "t", "n",
                                                        "l",  "g",  "k",  "h", "w", "z", "c", "s", "j"};

// Every final of the word lists, the rare colloquial ones (eu, em, ep, et,
// oet, a, e) included. The syllabic nasals are handled apart.
constexpr std::array<std::string_view, 59> kFinals = {
    "a",   "aa",  "aai", "aau", "aam", "aan", "aang", "aap", "aat", "aak", "ai",  "au",  "am",  "an",  "ang",
    "ap",  "at",  "ak",  "e",   "ei",  "eu",  "em",   "en",  "eng", "ep",  "et",  "ek",  "i",   "iu",  "im",
    "in",  "ing", "ip",  "it",  "ik",  "o",   "oi",   "ou",  "on",  "ong", "ot",  "ok",  "oe",  "oeng", "oet",
    "oek", "eo",  "eoi", "eon", "eot", "u",   "ui",   "un",  "ung", "ut",  "uk",  "yu",  "yun", "yut"};

// Finals in -ng are vowel phonemes of their own in the synthesizer's table.
constexpr std::array<std::string_view, 7> kNasalVowels = {"aang", "ang", "eng", "ing", "oeng", "ong", "ung"};

template <std::size_t N>
bool contains(const std::array<std::string_view, N>& list, std::string_view s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

bool parseSyllable(std::string_view text, Syllable& out) {
  if (text.size() < 2) return false;
  const char toneChar = text.back();
  if (toneChar < '1' || toneChar > '6') return false;
  const std::string_view body = text.substr(0, text.size() - 1);
  out = Syllable{};
  out.tone = toneChar - '0';
  if (body == "m" || body == "ng") {
    out.final = body;
    return true;
  }
  if (body == "hm" || body == "hng") {
    out.initial = "h";
    out.final = body.substr(1);
    return true;
  }
  for (const std::string_view initial : kInitials) {
    if (body.size() > initial.size() && body.substr(0, initial.size()) == initial &&
        contains(kFinals, body.substr(initial.size()))) {
      out.initial = initial;
      out.final = body.substr(initial.size());
      return true;
    }
  }
  if (contains(kFinals, body)) {
    out.final = body;
    return true;
  }
  return false;
}

std::string phonemesOf(const Syllable& syllable) {
  std::string out = syllable.initial == "ng" ? std::string("N") : syllable.initial;
  out += '\'';
  const char tone = static_cast<char>('0' + syllable.tone);
  const std::string& final = syllable.final;
  if (final == "m" || final == "ng") {
    out += "ng";
    out += tone;
  } else if (contains(kNasalVowels, final)) {
    out += final;
    out += tone;
  } else if (final.size() >= 2 && std::string_view("mnptk").find(final.back()) != std::string_view::npos) {
    out += final.substr(0, final.size() - 1);
    out += tone;
    out += final.back();
  } else {
    out += final;
    out += tone;
  }
  return out;
}

std::string jyutpingToPhonemes(std::string_view syllables, std::string& phonemes) {
  phonemes.clear();
  std::size_t start = 0;
  while (start <= syllables.size()) {
    std::size_t end = syllables.find(' ', start);
    if (end == std::string_view::npos) end = syllables.size();
    const std::string_view one = syllables.substr(start, end - start);
    if (!one.empty()) {
      Syllable s;
      if (!parseSyllable(one, s)) {
        phonemes.clear();
        return "\"" + std::string(one) + "\" is not a jyutping syllable";
      }
      if (!phonemes.empty()) phonemes += '|';
      phonemes += phonemesOf(s);
    }
    start = end + 1;
  }
  if (phonemes.empty()) return "no syllables";
  return {};
}

}  // namespace sonvale::recipe
