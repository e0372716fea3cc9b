// Syllable synthesis: one voice unit decoded, trimmed against its stored
// energy, time-scaled, volume-scaled, trimmed or padded again as the
// syllable's parameters ask, and written to the site.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/syllable_sink.h"
#include "synth/mpeg_decoder.h"
#include "synth/unit_cache.h"
#include "synth/voice_format.h"

namespace sonvale {

class DumpFiles;

// What one call did, for tests and the diagnostic trace.
struct SyllableTrace {
  std::uint32_t decodedBytes = 0;
  std::uint32_t firstStartBytes = 0, firstEndBytes = 0;  // ulWaveStart, ulWaveEnd of the first trim
  std::uint32_t scaledBytes = 0;                         // after time scaling
  std::uint32_t secondStartBytes = 0, secondEndBytes = 0;
  std::uint32_t silenceBeforeBytes = 0, silenceAfterBytes = 0;
  std::uint32_t sampleBytes = 0;  // samples written, silences not counted
};

class SyllableSynthesizer final : public SyllableSynth {
 public:
  explicit SyllableSynthesizer(DumpFiles& dumps);

  // Uses a loaded voice: its unit table and the bytes of its VoiceData file.
  // Both must outlive the synthesizer's use of them; entries were checked
  // against the data when the voice was loaded.
  void attach(const std::vector<voice::UnitEntry>* units, std::span<const std::uint8_t> voiceData);

  // Writes the syllable and returns the bytes written, silences included.
  // Unit codes without an entry (21902 and above) and units without audio
  // write nothing and return 0.
  std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::int32_t rate, std::uint32_t volume,
                              std::uint32_t unitCode, const SyllableParams& params) override;

  const SyllableTrace& lastTrace() const { return trace_; }

 private:
  void dumpStage(int stage, const std::int16_t* samples, std::uint32_t bytes);
  void dumpSilence(std::uint32_t bytes);
  std::span<const std::uint8_t> codedBytes(const voice::UnitEntry& entry) const;
  // Steps 1 to 3: the unit decoded, trimmed and time-scaled into scaleBuffer_,
  // computed or from the cache; returns its bytes and fills the trace.
  std::uint32_t scaledUnit(const voice::UnitEntry& entry, std::uint32_t unitCode, int rate, int durationIndex,
                           bool tracing);
  // Step 1: points decoded_ at the unit's decoded samples; returns their bytes.
  std::uint32_t decodedUnit(const voice::UnitEntry& entry, std::size_t budget);

  DumpFiles& dumps_;
  const std::vector<voice::UnitEntry>* units_ = nullptr;
  std::span<const std::uint8_t> voiceData_;
  MpegDecoder decoder_;
  std::vector<std::uint8_t> chunkBuffer_;   // one decoder output chunk
  std::vector<std::int16_t> unitBuffer_;    // decoded unit, later the volume-scaled samples
  std::vector<std::int16_t> scaleBuffer_;   // trimmed unit, time-scaled in place
  const std::int16_t* decoded_ = nullptr;   // the decoded unit: unitBuffer_ or a cached entry
  std::shared_ptr<const CachedUnit> decodedHold_;
  SyllableTrace trace_;
};

}  // namespace sonvale
