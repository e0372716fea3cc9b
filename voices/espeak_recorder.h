// Speaking phoneme strings with the espeak-ng library: the default voice's
// "recording studio". Only make_default_voice links it.
//
// The library keeps process-wide state, so there is at most one recorder at a
// time. That state also carries over from one utterance to the next (the
// voice source's phase, among others), so a syllable would come out slightly
// differently after different predecessors. To make every unit depend on its
// phonemes alone, the recorder starts the library once, says a fixed
// throw-away syllable (the first utterance after start-up differs from later
// ones), and then says each unit in a child process forked from that settled
// state, which hands the samples back through a pipe and exits. The voice
// definition sets `flutter 0`, so nothing random is left: the same phonemes
// give the same samples in any order, in any run.
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

  // Says `phonemes` (the library's phoneme codes, without the [[ ]]) in a
  // child process and returns its samples at rateHz(). Returns an empty
  // string on success, else what failed.
  std::string say(const std::string& phonemes, std::vector<std::int16_t>& samples);

  int rateHz() const { return rateHz_; }

 private:
  std::string synthesize(const std::string& phonemes, std::vector<std::int16_t>& samples);

  bool started_ = false;
  int rateHz_ = 0;
};

}  // namespace sonvale::recipe
