// Word lookup over the dictionary file's bytes. The character index gives,
// for the probe's first ideograph, a range of records; they are tried in
// order against a working copy of the probe that is cut to each record's
// length and never lengthened again, so a range must list longer words
// first. Probes the index does not resolve try the shared list, longest
// prefix first. Every read is checked against the file: a record number that
// falls outside it never matches.
#include "engine/word_dictionary.h"

#include "platform/le_bytes.h"
#include "synth/voice_format.h"

namespace sonvale {

namespace {

using voice::kRecordsOffset;

// Offset of record k, or 0 when the record does not lie inside the file.
std::size_t recordAt(const ByteReader& file, std::uint32_t k) {
  const std::uint64_t at = kRecordsOffset + static_cast<std::uint64_t>(k) * kWordRecordBytes;
  return file.has(static_cast<std::size_t>(at), kWordRecordBytes) && at == static_cast<std::size_t>(at)
             ? static_cast<std::size_t>(at)
             : 0;
}

// Code units of the record's text before its NUL (9 when it has none).
std::size_t textLength(const ByteReader& file, std::size_t record) {
  std::size_t n = 0;
  std::uint16_t unit = 0;
  while (n < 9 && file.u16le(record + 2 * n, unit) && unit != 0) ++n;
  return n;
}

// True when the record is enabled and its text is exactly probe[0..length).
bool matches(const ByteReader& file, std::size_t record, const char16_t* probe, std::size_t length) {
  std::uint32_t disabled = 0;
  if (!file.u32le(record + 424, disabled) || disabled != 0) return false;
  if (textLength(file, record) != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    std::uint16_t unit = 0;
    file.u16le(record + 2 * i, unit);
    if (unit != probe[i]) return false;
  }
  return true;
}

}  // namespace

int WordDictionary::lookUpWord(const char16_t* probe, std::size_t length, WordRecord& word) const {
  if (length <= 1 || file_.empty()) return 1;
  if (length > kMaxWordSyllables) length = kMaxWordSyllables;
  const ByteReader file(file_);
  std::size_t found = 0;

  // First pass: the character index of the probe's first ideograph.
  const char16_t first = probe[0];
  if (first >= voice::kFirstIndexedChar && first < voice::kFirstIndexedChar + voice::kIndexedChars) {
    const std::size_t entry = voice::kCharIndexOffset + (first - voice::kFirstIndexedChar) * voice::kCharIndexEntryBytes;
    std::uint32_t firstRecord = 0, lastRecord = 0;
    if (file.u32le(entry + 4, firstRecord) && file.u32le(entry + 8, lastRecord) && (firstRecord | lastRecord) != 0) {
      std::size_t w = length;  // the working copy is probe[0..w)
      for (std::uint64_t k = firstRecord; k <= lastRecord && found == 0; ++k) {
        const std::size_t record = recordAt(file, static_cast<std::uint32_t>(k));
        if (record == 0) break;  // this and every later record lie past the end of the file
        const std::size_t l = textLength(file, record);
        if (l <= 1) continue;
        if (w > l) w = l;
        if (matches(file, record, probe, w)) found = record;
      }
    }
  }

  // Second pass: the shared list, longest prefix first.
  std::uint32_t sharedFirst = voice::kNoSharedList, sharedCount = 0;
  if (found == 0 && file.u32le(voice::kSharedFirstOffset, sharedFirst) &&
      file.u32le(voice::kSharedCountOffset, sharedCount) && sharedFirst != voice::kNoSharedList) {
    for (std::size_t l = length; l >= 2 && found == 0; --l) {
      for (std::uint64_t k = sharedFirst; k < static_cast<std::uint64_t>(sharedFirst) + sharedCount; ++k) {
        const std::size_t record = recordAt(file, static_cast<std::uint32_t>(k));
        if (record == 0 || k > 0xFFFFFFFFu) break;
        if (matches(file, record, probe, l)) {
          found = record;
          break;
        }
      }
    }
  }

  if (found == 0) return 1;
  voice::readWordRecord(file.bytes(found, kWordRecordBytes), word);
  return static_cast<int>(word.readingLength());
}

}  // namespace sonvale
