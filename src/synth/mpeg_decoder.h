// Decoding of one voice unit: an MPEG Layer II/III bitstream of 16-bit mono
// samples at 11025 Hz. The only place that talks to libmpg123.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace sonvale {

class MpegDecoder {
 public:
  MpegDecoder();
  MpegDecoder(const MpegDecoder&) = delete;
  MpegDecoder& operator=(const MpegDecoder&) = delete;
  ~MpegDecoder();

  enum class Status {
    Complete,     // every frame of the input was decoded
    Truncated,    // the output was full before the input was used up
    Error,        // the stream is not MPEG audio, or not mono 16-bit 11025 Hz
  };

  // Feeds `coded` once and reads the decoded samples in chunks of at most
  // `chunk.size()` bytes, appending them to `out` from `out[0]`. Stops when
  // the decoder wants more input or `out` is full. `bytes` is set to the
  // decoded bytes kept (always even); on Error the bytes decoded before the
  // error are kept.
  Status decode(std::span<const std::uint8_t> coded, std::span<std::uint8_t> chunk, std::span<std::uint8_t> out,
                std::size_t& bytes);

 private:
  struct Handle;
  Handle* handle_ = nullptr;
};

}  // namespace sonvale
