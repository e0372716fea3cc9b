// Speaking phoneme strings with the espeak-ng library: the default voice's
// "recording studio". Only make_default_voice links it.
//
// The library keeps process-wide state, so there is at most one recorder at a
// time. Two measures make its output the same in every process: the voice
// definition sets `flutter 0` (no random pitch wobble), and a fixed
// throw-away syllable is spoken before every unit so that each unit starts
// from the same synthesizer state whatever was spoken before it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonvale::recipe {

class EspeakRecorder {
 public:
  EspeakRecorder() = default;
  EspeakRecorder(const EspeakRecorder&) = delete;
  EspeakRecorder& operator=(const EspeakRecorder&) = delete;
  ~EspeakRecorder();

  // Starts the library (its own data files) with the voice definition file
  // `voiceFile` and the pitch range at its widest. Returns an empty string on
  // success, else what failed.
  std::string start(const std::string& voiceFile);

  // Says `phonemes` (the library's phoneme codes, without the [[ ]]) and
  // returns the samples at rateHz(). Returns an empty string on success.
  std::string say(const std::string& phonemes, std::vector<std::int16_t>& samples);

  int rateHz() const { return rateHz_; }

 private:
  std::string synthesize(const std::string& phonemes, std::vector<std::int16_t>& samples);

  bool started_ = false;
  int rateHz_ = 0;
};

}  // namespace sonvale::recipe
