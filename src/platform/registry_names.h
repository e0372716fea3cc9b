// The registry's rules for key and value names and key paths, shared by the
// store file and the Windows registry layer so that both accept the same
// names: a name has no NUL, CR or LF and no unpaired surrogate, a key name at
// most 255 characters and a value name at most 16383.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sonvale::platform {

inline constexpr std::size_t kMaxKeyNameChars = 255;
inline constexpr std::size_t kMaxValueNameChars = 16383;

// True when the text has no unpaired surrogate, so UTF-8 carries it unchanged.
inline bool hasOnlyPairedSurrogates(std::u16string_view text) {
  const auto high = [](char16_t c) { return c >= 0xD800 && c <= 0xDBFF; };
  const auto low = [](char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (high(text[i]) && i + 1 < text.size() && low(text[i + 1])) {
      ++i;
    } else if (high(text[i]) || low(text[i])) {
      return false;
    }
  }
  return true;
}

// A key or value name that fits on one line of a .reg file and that the
// system takes: at most `maxChars` code units, no NUL, CR or LF, and nothing
// UTF-8 would change.
inline bool isStorableName(std::u16string_view name, std::size_t maxChars) {
  if (name.size() > maxChars) return false;
  for (char16_t c : name)
    if (c == u'\0' || c == u'\r' || c == u'\n') return false;
  return hasOnlyPairedSurrogates(name);
}

// Splits a key path into key names. Leading and trailing separators are
// ignored and a run of separators counts as one, so "\A\\B\" is "A\B"; an
// empty result is the root itself. False when a name is not storable or
// there are more than `maxDepth` names.
inline bool splitKeyPath(std::u16string_view path, std::vector<std::u16string>& names,
                         std::size_t maxDepth = static_cast<std::size_t>(-1)) {
  names.clear();
  std::size_t i = 0;
  while (i < path.size()) {
    if (path[i] == u'\\') {
      ++i;
      continue;
    }
    std::size_t end = path.find(u'\\', i);
    if (end == std::u16string_view::npos) end = path.size();
    const std::u16string_view name = path.substr(i, end - i);
    if (!isStorableName(name, kMaxKeyNameChars) || names.size() == maxDepth) return false;
    names.emplace_back(name);
    i = end;
  }
  return true;
}

}  // namespace sonvale::platform
