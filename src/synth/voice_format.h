// The layouts of a voice's three files: the unit index (VoiceDef), the unit
// audio (VoiceData) and the word dictionary (VoiceWord). All integers are
// little-endian. The engine reads them and the voice builder writes them
// through the functions here, so the two always agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/word_record.h"

namespace sonvale::voice {

// The files of a built voice, in its folder.
inline constexpr char kVoiceDefFileName[] = "voice.def";
inline constexpr char kVoiceDataFileName[] = "voice.dat";
inline constexpr char kVoiceWordFileName[] = "voice.wrd";

// Unit index.
inline constexpr std::uint32_t kVoiceDefFormat = 2;
inline constexpr char kVoiceDefId[] = "{528C545B-EA37-46B7-BADE-1294C7124F32}";  // 38 characters, stored as UTF-16
inline constexpr std::size_t kVoiceIdOffset = 4;
inline constexpr std::size_t kVoiceIdUnits = 38;
inline constexpr std::size_t kUnitTableOffset = 84;
inline constexpr std::size_t kUnitEntryBytes = 32;
inline constexpr std::uint32_t kUnitCount = 21902;  // unit codes 0..21901
inline constexpr std::size_t kVoiceDefBytes = kUnitTableOffset + kUnitCount * kUnitEntryBytes;  // 700948

// Limits of one unit: its coded bytes and its decoded 16-bit samples.
inline constexpr std::uint32_t kMaxCodedUnitBytes = 16384;
inline constexpr std::uint32_t kMaxDecodedUnitBytes = 60000;
inline constexpr std::uint32_t kUnitRateHz = 11025;

// Word dictionary.
inline constexpr std::size_t kDictIdOffset = 12;
inline constexpr char kDictId[] = "{F90A50F6-A092-482A-9F0B-E0F0CBD13E0B}";  // 38 ASCII characters and a NUL
inline constexpr std::size_t kDictIdBytes = 39;
inline constexpr std::size_t kSharedFirstOffset = 144;
inline constexpr std::size_t kSharedCountOffset = 148;
inline constexpr std::size_t kCharIndexOffset = 156;
inline constexpr std::size_t kCharIndexEntryBytes = 12;
inline constexpr std::uint32_t kIndexedChars = 20902;  // U+4E00..U+9FA5
inline constexpr char16_t kFirstIndexedChar = 0x4E00;
inline constexpr std::size_t kRecordsOffset = kCharIndexOffset + kIndexedChars * kCharIndexEntryBytes;  // 250980
inline constexpr std::uint32_t kNoSharedList = 0xFFFFFFFF;

struct UnitEntry {
  std::uint16_t reserved0 = 0;
  std::uint16_t reserved1 = 0;
  std::uint32_t reserved2 = 0;
  std::uint32_t offset = 0;  // of the coded bytes in VoiceData
  std::uint32_t length = 0;  // coded bytes
  std::uint64_t energy = 0;  // sum of squared decoded samples
  std::uint32_t reserved3 = 0;
  std::uint16_t reserved4 = 0;
  std::uint16_t reserved5 = 0;
};

// Reads entry `unit` of the unit table from a VoiceDef image; false when the
// image is too short to hold it.
bool readUnitEntry(std::span<const std::uint8_t> voiceDef, std::uint32_t unit, UnitEntry& out);

// Appends a 32-byte entry.
void appendUnitEntry(std::vector<std::uint8_t>& out, const UnitEntry& entry);

// The 84-byte head of a VoiceDef file: format, identity text, reserved word.
std::vector<std::uint8_t> voiceDefHeader();

// True when the VoiceDef image has format 2 and the identity text (letter
// case ignored).
bool hasVoiceDefIdentity(std::span<const std::uint8_t> voiceDef);

// True when the VoiceWord image carries the dictionary identity (letter case
// ignored) at byte 12.
bool hasDictIdentity(std::span<const std::uint8_t> voiceWord);

// A 428-byte dictionary record and the in-memory word, both ways.
bool readWordRecord(std::span<const std::uint8_t> bytes, WordRecord& out);
void appendWordRecord(std::vector<std::uint8_t>& out, const WordRecord& word);

}  // namespace sonvale::voice
