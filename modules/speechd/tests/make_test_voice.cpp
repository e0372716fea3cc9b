// Writes a small voice for the end-to-end check: one synthetic unit (a tone
// whose pitch differs from character to character) for every ideograph of
// TEXT, no words. Usage: make_test_voice OUT_DIR TEXT
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "synth/voice_builder.h"
#include "synth/voice_format.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_test_voice OUT_DIR TEXT\n");
    return 2;
  }
  using namespace sonvale;
  const std::string dir = argv[1];
  const std::u16string text = platform::utf8ToUtf16(argv[2]);
  std::vector<voice::UnitEntry> entries(voice::kUnitCount);
  std::vector<std::uint8_t> data;
  double hz = 220.0;
  for (const char16_t c : text) {
    if (c < 0x4E00 || c > 0x9FA5) continue;
    const std::uint32_t code = 1000u + (c - 0x4E00u);
    if (entries[code].length != 0) continue;
    // A quarter second of tone at 11025 Hz; each new character a little higher.
    std::vector<std::int16_t> samples(2756);
    for (std::size_t i = 0; i < samples.size(); ++i)
      samples[i] = static_cast<std::int16_t>(8000.0 * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 11025.0));
    hz += 40.0;
    voice::CodedUnit unit;
    if (const std::string error = voice::codeUnit(samples, unit); !error.empty()) {
      std::fprintf(stderr, "make_test_voice: unit %u: %s\n", code, error.c_str());
      return 1;
    }
    entries[code].offset = static_cast<std::uint32_t>(data.size());
    entries[code].length = static_cast<std::uint32_t>(unit.coded.size());
    entries[code].energy = unit.energy;
    data.insert(data.end(), unit.coded.begin(), unit.coded.end());
  }
  std::vector<std::uint8_t> def = voice::voiceDefHeader();
  for (const voice::UnitEntry& e : entries) voice::appendUnitEntry(def, e);
  const std::vector<std::uint8_t> words = voice::buildDictionary({});
  const std::pair<const char*, const std::vector<std::uint8_t>*> files[] = {
      {voice::kVoiceDefFileName, &def}, {voice::kVoiceDataFileName, &data}, {voice::kVoiceWordFileName, &words}};
  for (const auto& [name, bytes] : files) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    if (!out) {
      std::fprintf(stderr, "make_test_voice: cannot write %s/%s\n", dir.c_str(), name);
      return 1;
    }
  }
  return 0;
}
