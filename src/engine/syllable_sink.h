// The seam between the speaking loop and syllable synthesis.
#pragma once

#include <cstdint>

#include "engine/word_record.h"
#include "platform/sapi.h"

namespace sonvale {

// Writes one syllable's audio to the site. Returns the bytes written, its own
// leading and trailing silence included; 0 when nothing could be written.
class SyllableSynth {
 public:
  virtual ~SyllableSynth() = default;
  virtual std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::int32_t rate, std::uint32_t volume,
                                      std::uint32_t unitCode, const SyllableParams& params) = 0;
};

// Writes `count` zero bytes through the site's Write in pieces of at most
// 1000 bytes. Stops at the first failed Write and returns its HRESULT;
// returns S_OK for 0 bytes (nothing is written).
HRESULT writeSilence(ISpTTSEngineSite* site, std::uint32_t count);

}  // namespace sonvale
