#include "synth/voice_format.h"

#include "platform/le_bytes.h"

namespace sonvale::voice {

namespace {

char16_t lowerAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

}  // namespace

bool readUnitEntry(std::span<const std::uint8_t> voiceDef, std::uint32_t unit, UnitEntry& out) {
  const ByteReader r(voiceDef);
  const std::size_t at = kUnitTableOffset + static_cast<std::size_t>(unit) * kUnitEntryBytes;
  if (unit >= kUnitCount || !r.has(at, kUnitEntryBytes)) return false;
  UnitEntry e;
  r.u16le(at, e.reserved0);
  r.u16le(at + 2, e.reserved1);
  r.u32le(at + 4, e.reserved2);
  r.u32le(at + 8, e.offset);
  r.u32le(at + 12, e.length);
  r.u64le(at + 16, e.energy);
  r.u32le(at + 24, e.reserved3);
  r.u16le(at + 28, e.reserved4);
  r.u16le(at + 30, e.reserved5);
  out = e;
  return true;
}

void appendUnitEntry(std::vector<std::uint8_t>& out, const UnitEntry& e) {
  appendU16le(out, e.reserved0);
  appendU16le(out, e.reserved1);
  appendU32le(out, e.reserved2);
  appendU32le(out, e.offset);
  appendU32le(out, e.length);
  appendU32le(out, static_cast<std::uint32_t>(e.energy));
  appendU32le(out, static_cast<std::uint32_t>(e.energy >> 32));
  appendU32le(out, e.reserved3);
  appendU16le(out, e.reserved4);
  appendU16le(out, e.reserved5);
}

std::vector<std::uint8_t> voiceDefHeader() {
  std::vector<std::uint8_t> h;
  h.reserve(kUnitTableOffset);
  appendU32le(h, kVoiceDefFormat);
  for (std::size_t i = 0; i < kVoiceIdUnits; ++i) appendU16le(h, static_cast<std::uint16_t>(kVoiceDefId[i]));
  appendU32le(h, 0);
  return h;
}

bool hasVoiceDefIdentity(std::span<const std::uint8_t> voiceDef) {
  const ByteReader r(voiceDef);
  std::uint32_t format = 0;
  if (!r.u32le(0, format) || format != kVoiceDefFormat) return false;
  for (std::size_t i = 0; i < kVoiceIdUnits; ++i) {
    std::uint16_t unit = 0;
    if (!r.u16le(kVoiceIdOffset + 2 * i, unit)) return false;
    if (lowerAscii(unit) != lowerAscii(static_cast<char16_t>(kVoiceDefId[i]))) return false;
  }
  return true;
}

bool hasDictIdentity(std::span<const std::uint8_t> voiceWord) {
  const auto id = ByteReader(voiceWord).bytes(kDictIdOffset, kDictIdBytes);
  if (id.empty()) return false;
  for (std::size_t i = 0; i < kDictIdBytes; ++i)
    if (lowerAscii(id[i]) != lowerAscii(static_cast<char16_t>(static_cast<unsigned char>(kDictId[i])))) return false;
  return true;
}

bool readWordRecord(std::span<const std::uint8_t> bytes, WordRecord& out) {
  const ByteReader r(bytes);
  if (!r.has(0, kWordRecordBytes)) return false;
  WordRecord w;
  w.clear();
  std::uint16_t unit = 0;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 9; ++i) w.text[i] = (r.u16le(2 * i, unit), unit);
  for (std::size_t k = 0; k < 8; ++k)
    for (std::size_t i = 0; i < 8; ++i) w.romanization[k][i] = static_cast<char>(bytes[18 + 8 * k + i]);
  for (std::size_t i = 0; i < 9; ++i) w.reading[i] = (r.u16le(82 + 2 * i, unit), unit);
  for (std::size_t i = 0; i < 50; ++i) w.note[i] = (r.u16le(164 + 2 * i, unit), unit);
  std::int32_t* arrays[4] = {w.cutBefore, w.cutAfter, w.volumeIndex, w.durationIndex};
  for (std::size_t a = 0; a < 4; ++a)
    for (std::size_t k = 0; k < 8; ++k) arrays[a][k] = static_cast<std::int32_t>((r.u32le(264 + 32 * a + 4 * k, value), value));
  w.disabled = static_cast<std::int32_t>((r.u32le(424, value), value));
  out = w;
  return true;
}

void appendWordRecord(std::vector<std::uint8_t>& out, const WordRecord& w) {
  for (const char16_t c : w.text) appendU16le(out, c);
  for (const auto& roman : w.romanization)
    for (const char c : roman) out.push_back(static_cast<std::uint8_t>(c));
  for (const char16_t c : w.reading) appendU16le(out, c);
  out.resize(out.size() + 64, 0);  // reserved
  for (const char16_t c : w.note) appendU16le(out, c);
  for (const std::int32_t* array : {w.cutBefore, w.cutAfter, w.volumeIndex, w.durationIndex})
    for (std::size_t k = 0; k < 8; ++k) appendU32le(out, static_cast<std::uint32_t>(array[k]));
  out.resize(out.size() + 32, 0);  // reserved
  appendU32le(out, static_cast<std::uint32_t>(w.disabled));
}

}  // namespace sonvale::voice
