// Small voices for tests: units coded from synthetic signals, written as the
// three voice files, and an engine bound to them through a registry token.
#pragma once

#include <cmath>
#include <fstream>
#include <map>
#include <random>

#include "engine/engine.h"
#include "host/registry_token.h"
#include "platform/utf.h"
#include "synth/voice_builder.h"
#include "synth/voice_format.h"
#include "test_support.h"

namespace sonvale::testing {

inline std::vector<std::int16_t> sine(double hz, double seconds, double amplitude = 8000.0) {
  std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 11025));
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<std::int16_t>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / 11025.0));
  return s;
}

inline std::vector<std::int16_t> noise(double seconds, unsigned seed, int amplitude = 6000) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-amplitude, amplitude);
  std::vector<std::int16_t> s(static_cast<std::size_t>(seconds * 11025));
  for (auto& x : s) x = static_cast<std::int16_t>(dist(rng));
  return s;
}

// Writes a voice holding `units` (unit code -> samples at 11025 Hz) and
// `words` into `dir`; fills `coded` with what the builder measured per unit.
inline void writeVoice(const std::string& dir, const std::map<std::uint32_t, std::vector<std::int16_t>>& units,
                       const std::vector<WordRecord>& words, std::map<std::uint32_t, voice::CodedUnit>& coded) {
  std::vector<std::uint8_t> data;
  std::vector<voice::UnitEntry> entries(voice::kUnitCount);
  for (const auto& [code, samples] : units) {
    voice::CodedUnit unit;
    ASSERT_EQ(voice::codeUnit(samples, unit), "") << "unit " << code;
    entries[code].offset = static_cast<std::uint32_t>(data.size());
    entries[code].length = static_cast<std::uint32_t>(unit.coded.size());
    entries[code].energy = unit.energy;
    data.insert(data.end(), unit.coded.begin(), unit.coded.end());
    coded[code] = std::move(unit);
  }
  auto def = voice::voiceDefHeader();
  for (const auto& e : entries) voice::appendUnitEntry(def, e);
  const auto word = voice::buildDictionary(words);
  const std::pair<const char*, const std::vector<std::uint8_t>*> files[] = {
      {voice::kVoiceDefFileName, &def}, {voice::kVoiceDataFileName, &data}, {voice::kVoiceWordFileName, &word}};
  for (const auto& [name, bytes] : files)
    std::ofstream(dir + "/" + name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
}

// Loads the voice in `dir` into `engine` through a token at `tokenPath`.
inline HRESULT loadVoice(Engine& engine, const std::string& dir, const std::u16string& tokenPath = u"SOFTWARE\\Test\\Voice") {
  ISpObjectToken* token = nullptr;
  HRESULT hr = host::RegistryToken::open(platform::RegRoot::LocalMachine, tokenPath, true, &token);
  if (FAILED(hr)) return hr;
  const std::pair<const char16_t*, const char*> values[] = {{u"VoiceDef", voice::kVoiceDefFileName},
                                                            {u"VoiceData", voice::kVoiceDataFileName},
                                                            {u"VoiceWord", voice::kVoiceWordFileName}};
  for (const auto& [name, file] : values)
    if (SUCCEEDED(hr)) hr = token->SetStringValue(name, platform::utf8ToUtf16(dir + "/" + file).c_str());
  if (SUCCEEDED(hr)) hr = engine.loadVoice(*token);
  token->Release();
  return hr;
}

inline std::uint32_t unitOf(char16_t c) { return static_cast<std::uint32_t>(c) - 0x4A18u; }

}  // namespace sonvale::testing
