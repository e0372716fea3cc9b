// MPEG Layer III streams coded by LAME directly, for voices with units that
// no voice build would make: another rate, stereo, or more audio than a unit
// holds. Constant 32 kbps, no info frame.
#pragma once

#include <lame/lame.h>

#include <cstdint>
#include <vector>

namespace sonvale::testing {

// `samples` coded at `rateHz` with `channels` channels (each channel gets
// the same samples); empty when LAME refuses the parameters.
inline std::vector<std::uint8_t> lameStream(const std::vector<std::int16_t>& samples, int rateHz, int channels = 1) {
  lame_global_flags* gf = lame_init();
  if (gf == nullptr) return {};
  lame_set_num_channels(gf, channels);
  lame_set_in_samplerate(gf, rateHz);
  lame_set_out_samplerate(gf, rateHz);
  lame_set_mode(gf, channels == 1 ? MONO : JOINT_STEREO);
  lame_set_brate(gf, 32);
  lame_set_bWriteVbrTag(gf, 0);
  std::vector<std::uint8_t> out;
  if (lame_init_params(gf) >= 0) {
    // LAME's bound for one call is 1.25 bytes a sample plus 7200; the flush
    // gets the same again.
    out.resize(samples.size() * 5 / 4 + 14400);
    const int n = lame_encode_buffer(gf, samples.data(), samples.data(), static_cast<int>(samples.size()), out.data(),
                                     static_cast<int>(out.size()));
    const int m = n < 0 ? -1 : lame_encode_flush(gf, out.data() + n, static_cast<int>(out.size()) - n);
    out.resize(n < 0 || m < 0 ? 0 : static_cast<std::size_t>(n + m));
  }
  lame_close(gf);
  return out;
}

}  // namespace sonvale::testing
