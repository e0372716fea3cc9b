// How speech-dispatcher's voice parameters become the engine's: its rate and
// volume on the speech API's scales, its punctuation mode as the
// ReadPunctuation setting, and the language tags that name this voice.
#pragma once

#include <optional>
#include <string_view>

namespace sonvale::speechd {

// speech-dispatcher's parameters run from -100 to 100, 0 being normal.
inline constexpr int kMinParameter = -100;
inline constexpr int kMaxParameter = 100;

// The language the module lists its voices under.
inline constexpr std::string_view kVoiceLanguage = "yue";

// A speech-dispatcher rate (values outside -100..100 are clamped) as a speech
// API rate -10..10: the rate divided by 10, rounded to the nearest integer
// with halves away from zero, so that opposite rates stay opposite.
int sapiRate(int speechdRate);

// A speech-dispatcher volume (clamped to -100..100) as a speech API volume
// 0..100. The speech API's 100 is the voice's own loudness and nothing is
// louder, so 0 ("normal") and everything above it give 100; below 0 each step
// takes one off, down to 0 (silence) at -100.
int sapiVolume(int speechdVolume);

// The ReadPunctuation value for a punctuation mode: "most" and "all" give 1
// (punctuation marks are spoken and paused on), "none" and "some" give 0 (they
// are only paused on; symbols without a pause are spoken either way). Any
// other mode gives nothing.
std::optional<int> readPunctuationFor(std::string_view mode);

// True when `tag` names Cantonese: "yue" alone or with a subtag ("yue-HK"),
// "zh-HK" and "zh-yue". Letter case is ignored and '_' counts as '-'.
bool isCantoneseTag(std::string_view tag);

}  // namespace sonvale::speechd
