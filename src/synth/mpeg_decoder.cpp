#include "synth/mpeg_decoder.h"

#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace sonvale {

struct MpegDecoder::Handle {
  mpg123_handle* mh = nullptr;
};

namespace {

constexpr long kRateHz = 11025;

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mpg123_init(); });
}

}  // namespace

MpegDecoder::MpegDecoder() {
  initLibrary();
  int err = MPG123_OK;
  mpg123_handle* mh = mpg123_new(nullptr, &err);
  if (mh == nullptr) return;
  // Quiet: a damaged unit is reported through the result, not on stderr.
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0.0);
  // Decode at the stream's own rate and channel count; anything other than
  // mono 16-bit at 11025 Hz is refused below rather than converted.
  mpg123_format_none(mh);
  for (const long rate : {8000L, 11025L, 12000L, 16000L, 22050L, 24000L, 32000L, 44100L, 48000L})
    mpg123_format(mh, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  handle_ = new Handle{mh};
}

MpegDecoder::~MpegDecoder() {
  if (handle_ == nullptr) return;
  mpg123_delete(handle_->mh);
  delete handle_;
}

MpegDecoder::Status MpegDecoder::decode(std::span<const std::uint8_t> coded, std::span<std::uint8_t> chunk,
                                        std::span<std::uint8_t> out, std::size_t& bytes) {
  bytes = 0;
  if (handle_ == nullptr || chunk.empty()) return Status::Error;
  mpg123_handle* mh = handle_->mh;
  if (mpg123_open_feed(mh) != MPG123_OK) return Status::Error;

  Status status = Status::Complete;
  const unsigned char* input = coded.data();
  std::size_t inputSize = coded.size();
  for (;;) {
    std::size_t done = 0;
    const int result = mpg123_decode(mh, input, inputSize, chunk.data(), chunk.size(), &done);
    input = nullptr;
    inputSize = 0;
    if (result == MPG123_NEW_FORMAT) {
      long rate = 0;
      int channels = 0, encoding = 0;
      mpg123_getformat(mh, &rate, &channels, &encoding);
      if (rate != kRateHz || channels != MPG123_MONO || encoding != MPG123_ENC_SIGNED_16) {
        status = Status::Error;
        break;
      }
    } else if (result != MPG123_OK && result != MPG123_NEED_MORE && result != MPG123_DONE) {
      status = Status::Error;
      break;
    }
    // The call that asks for more input still hands over the last samples
    // it decoded: keep them before stopping.
    const std::size_t room = out.size() - bytes;
    const std::size_t keep = std::min(done, room) & ~std::size_t{1};
    std::memcpy(out.data() + bytes, chunk.data(), keep);
    bytes += keep;
    if (keep < done) {
      status = Status::Truncated;
      break;
    }
    if (result == MPG123_NEED_MORE || result == MPG123_DONE) break;
  }
  mpg123_close(mh);
  // Bytes in which no frame was found are not MPEG audio.
  if (status == Status::Complete && bytes == 0 && !coded.empty()) status = Status::Error;
  return status;
}

}  // namespace sonvale
