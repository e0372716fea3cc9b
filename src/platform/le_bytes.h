// Little-endian reading and writing of binary files held in memory. Values are
// built from shifts, never by casting bytes to a struct, so the result is the
// same on every host. The reader checks every access against the bytes it has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sonvale {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }

  // True when `count` bytes from `offset` lie inside the data (overflow-safe).
  bool has(std::size_t offset, std::size_t count) const {
    return offset <= bytes_.size() && count <= bytes_.size() - offset;
  }

  // Each returns false, leaving `out` alone, when the value does not fit.
  bool u16le(std::size_t offset, std::uint16_t& out) const {
    if (!has(offset, 2)) return false;
    out = static_cast<std::uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    return true;
  }
  bool u32le(std::size_t offset, std::uint32_t& out) const {
    if (!has(offset, 4)) return false;
    out = static_cast<std::uint32_t>(bytes_[offset]) | static_cast<std::uint32_t>(bytes_[offset + 1]) << 8 |
          static_cast<std::uint32_t>(bytes_[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes_[offset + 3]) << 24;
    return true;
  }
  bool u64le(std::size_t offset, std::uint64_t& out) const {
    std::uint32_t lo = 0, hi = 0;
    if (!u32le(offset, lo) || !u32le(offset + 4, hi)) return false;
    out = static_cast<std::uint64_t>(hi) << 32 | lo;
    return true;
  }
  // The bytes from `offset`, or an empty span when they do not all fit.
  std::span<const std::uint8_t> bytes(std::size_t offset, std::size_t count) const {
    if (!has(offset, count)) return {};
    return bytes_.subspan(offset, count);
  }
  // The UTF-16LE text from `offset` up to its first NUL code unit or the end;
  // an odd last byte is not a whole code unit and is left out.
  std::u16string utf16leUntilNul(std::size_t offset = 0) const {
    std::u16string text;
    std::uint16_t unit = 0;
    for (; u16le(offset, unit) && unit != 0; offset += 2) text.push_back(static_cast<char16_t>(unit));
    return text;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

inline void putU16le(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void putU32le(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline void appendU16le(std::vector<std::uint8_t>& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void appendU32le(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The 46-byte header of a 16-bit mono PCM WAV file whose format chunk is the
// 18-byte WAVEFORMATEX (cbSize 0), for `dataBytes` of samples at `rateHz`.
// The RIFF size is 38 + dataBytes.
std::vector<std::uint8_t> pcmWavHeader(std::uint32_t rateHz, std::uint32_t dataBytes);

inline constexpr std::size_t kWavHeaderBytes = 46;
inline constexpr std::size_t kWavRiffSizeOffset = 4;
inline constexpr std::size_t kWavDataSizeOffset = 42;

}  // namespace sonvale
