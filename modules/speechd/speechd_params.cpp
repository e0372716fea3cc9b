#include "speechd_params.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace sonvale::speechd {

namespace {

int clampParameter(int value) { return std::clamp(value, kMinParameter, kMaxParameter); }

// Lower-case ASCII with '_' made '-', for comparing language tags.
std::string normalisedTag(std::string_view tag) {
  std::string out(tag);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '_') c = '-';
  }
  return out;
}

}  // namespace

int sapiRate(int speechdRate) {
  const int rate = clampParameter(speechdRate);
  const int tenths = (std::abs(rate) + 5) / 10;
  return rate < 0 ? -tenths : tenths;
}

int sapiVolume(int speechdVolume) {
  const int volume = clampParameter(speechdVolume);
  return volume >= 0 ? 100 : 100 + volume;
}

std::optional<int> readPunctuationFor(std::string_view mode) {
  if (mode == "none" || mode == "some") return 0;
  if (mode == "most" || mode == "all") return 1;
  return std::nullopt;
}

bool isCantoneseTag(std::string_view tag) {
  const std::string t = normalisedTag(tag);
  return t == "yue" || t.starts_with("yue-") || t == "zh-hk" || t == "zh-yue";
}

}  // namespace sonvale::speechd
