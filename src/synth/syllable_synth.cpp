// Steps of one syllable, in samples s of 16 bits at 11025 Hz:
//  1. decode the unit (feed once, read chunks of 8192 bytes) into unitBuffer,
//     or take its samples from the process's unit cache;
//  2. first trim: cut quiet edges whose running energy stays within
//     (10 + rate) x energy / 4 000 000 of the unit's stored energy;
//  3. time-scale the rest by ScaleOut[rate] + ScaleIn[durationIndex];
//     steps 1 to 3 depend only on the unit, the rate and the durationIndex,
//     so their result is cached too;
//  4. volume: y = x x g x 9 / 500 with g = 3 x volumeIndex + 7 x volume / 10;
//  5. second trim, against the energy E of the scaled samples: a side whose
//     value v = cut - 5 is positive gets v x n / D bytes of silence instead
//     (D = 600 - 50 x durationIndex); otherwise its edge is cut with the
//     threshold |v| x E / D^2;
//  6. unless SmoothCuts is 0, fade the first and last 2.9 ms of the kept
//     samples in and out (raised cosine), so no edge is a step;
//  7. write the silence before, the samples, the silence after.
#include "synth/syllable_synth.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/dump_files.h"
#include "platform/utf.h"
#include "settings/engine_settings.h"
#include "synth/syllable_math.h"
#include "timescale/time_scale.h"

namespace sonvale {

namespace {

constexpr std::size_t kChunkBytes = 8192;
constexpr std::size_t kUnitSamples = voice::kMaxDecodedUnitBytes / 2;

}  // namespace

SyllableSynthesizer::SyllableSynthesizer(DumpFiles& dumps)
    : dumps_(dumps), chunkBuffer_(kChunkBytes), unitBuffer_(kUnitSamples), scaleBuffer_(kUnitSamples) {}

void SyllableSynthesizer::attach(const std::vector<voice::UnitEntry>* units, std::span<const std::uint8_t> voiceData) {
  units_ = units;
  voiceData_ = voiceData;
  // The transform plans are made with the voice rather than in its first syllable.
  prepareTimeScale();
}

void SyllableSynthesizer::dumpStage(int stage, const std::int16_t* samples, std::uint32_t bytes) {
  if (settings::engineSettings().waveOutStyle.load() != stage || !dumps_.waveOpen()) return;
  dumps_.appendWave(reinterpret_cast<const std::uint8_t*>(samples), bytes);
}

void SyllableSynthesizer::dumpSilence(std::uint32_t bytes) {
  if (settings::engineSettings().waveOutStyle.load() != 4 || !dumps_.waveOpen()) return;
  static constexpr std::uint8_t kZeros[1024] = {};
  while (bytes > 0) {
    const std::uint32_t piece = std::min<std::uint32_t>(bytes, sizeof kZeros);
    dumps_.appendWave(kZeros, piece);
    bytes -= piece;
  }
}

std::span<const std::uint8_t> SyllableSynthesizer::codedBytes(const voice::UnitEntry& entry) const {
  return voiceData_.subspan(entry.offset, entry.length);
}

std::uint32_t SyllableSynthesizer::decodedUnit(const voice::UnitEntry& entry, std::size_t budget) {
  decoded_ = unitBuffer_.data();
  decodedHold_.reset();
  if (entry.length == 0) return 0;
  const UnitCacheKey key{UnitCacheKey::Kind::Decoded, 0, 0, false, 0, codedBytes(entry)};
  if (budget > 0) {
    if (auto hit = UnitCache::shared().find(key)) {
      decoded_ = hit->samples.data();
      decodedHold_ = std::move(hit);
      return static_cast<std::uint32_t>(2 * decodedHold_->samples.size());
    }
  }
  std::size_t decoded = 0;
  std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(unitBuffer_.data()), voice::kMaxDecodedUnitBytes);
  decoder_.decode(key.coded, chunkBuffer_, out, decoded);
  if (budget > 0) {
    auto value = std::make_shared<CachedUnit>();
    value->samples.assign(unitBuffer_.data(), unitBuffer_.data() + decoded / 2);
    value->decodedBytes = static_cast<std::uint32_t>(decoded);
    UnitCache::shared().insert(key, std::move(value), budget);
  }
  return static_cast<std::uint32_t>(decoded);
}

std::uint32_t SyllableSynthesizer::scaledUnit(const voice::UnitEntry& entry, std::uint32_t unitCode, int rate,
                                              int durationIndex, bool tracing) {
  const std::int32_t cacheKB = settings::engineSettings().unitCacheKB.load();
  const std::size_t budget = cacheKB > 0 ? static_cast<std::size_t>(cacheKB) * 1024 : 0;
  if (budget == 0) UnitCache::shared().trim(0);
  // With a diagnostic dump open every step runs, so that each can be written.
  const bool cacheScaled = budget > 0 && entry.length > 0 && !tracing && !dumps_.waveOpen();
  const bool fastSpeech = settings::engineSettings().fastSpeech.load() != 0;
  const UnitCacheKey key{UnitCacheKey::Kind::Scaled, rate, durationIndex, fastSpeech, entry.energy, codedBytes(entry)};
  if (cacheScaled) {
    if (const auto hit = UnitCache::shared().find(key)) {
      const auto bytes = static_cast<std::uint32_t>(2 * hit->samples.size());
      if (bytes > 0) std::memcpy(scaleBuffer_.data(), hit->samples.data(), bytes);  // an empty hit has no data pointer
      trace_.decodedBytes = hit->decodedBytes;
      trace_.firstStartBytes = hit->firstStartBytes;
      trace_.firstEndBytes = hit->firstEndBytes;
      trace_.scaledBytes = bytes;
      return bytes;
    }
  }

  // Decode. The entry was checked against VoiceData when the voice was loaded.
  std::uint32_t unitBytes = decodedUnit(entry, budget);  // whole samples: the decoder keeps even counts
  trace_.decodedBytes = unitBytes;

  // First trim, against the stored energy.
  std::uint32_t n = unitBytes / 2;
  const std::uint64_t threshold = synth::firstTrimThreshold(rate, entry.energy);
  const std::span<const std::int16_t> decodedSamples(decoded_, n);
  std::uint32_t cutStart = 2 * synth::trimStartSamples(decodedSamples, threshold);
  std::uint32_t cutEnd = 2 * synth::trimEndSamples(decodedSamples, threshold);
  trace_.firstStartBytes = cutStart;
  trace_.firstEndBytes = cutEnd;
  if (tracing) {
    const std::string ch = platform::utf16ToUtf8(std::u16string(1, static_cast<char16_t>(unitCode + 0x4A18)));
    char line[256];
    std::snprintf(line, sizeof line, "%s\r\nRateOut: %d\r\ndwTotalAudioLength: %u\r\nulWaveStart: %u, ulWaveEnd: %u\r\n",
                  ch.c_str(), rate, unitBytes, cutStart, cutEnd);
    dumps_.appendText(line);
  }
  dumpStage(1, decoded_, unitBytes);

  // Cut. The two trims are measured independently; when together they cover
  // the whole unit nothing of it is kept.
  if (cutStart + cutEnd >= unitBytes) {
    unitBytes = 0;
  } else {
    unitBytes -= cutStart + cutEnd;
    std::memcpy(scaleBuffer_.data(), decoded_ + cutStart / 2, unitBytes);
  }
  dumpStage(2, scaleBuffer_.data(), unitBytes);

  // Time scale.
  const TimeScaleResult scaled = timeScale(scaleBuffer_.data(), scaleBuffer_.size(), unitBytes / 2, rate,
                                           durationIndex, fastSpeech);
  if (scaled.applied) {
    unitBytes = 2 * scaled.lengthSamples;
    if (tracing) {
      char line[256];
      std::snprintf(line, sizeof line,
                    "Time Scale\r\nScaleOut: %f, ScaleIn: %f\r\nFrequency: %d, Channel: %d\r\ndwTotalAudioLength: %u\r\n",
                    scaleOut(rate), scaleIn(durationIndex), 11025, 1, unitBytes);
      dumps_.appendText(line);
    }
    dumpStage(3, scaleBuffer_.data(), unitBytes);
  }

  trace_.scaledBytes = unitBytes;
  // Only a scaled result is kept: an unscaled one may stand for a failure
  // (no memory, no transform plans) that the next call should retry.
  if (cacheScaled && scaled.applied) {
    auto value = std::make_shared<CachedUnit>();
    value->samples.assign(scaleBuffer_.data(), scaleBuffer_.data() + unitBytes / 2);
    value->decodedBytes = trace_.decodedBytes;
    value->firstStartBytes = trace_.firstStartBytes;
    value->firstEndBytes = trace_.firstEndBytes;
    UnitCache::shared().insert(key, std::move(value), budget);
  }
  decodedHold_.reset();
  return unitBytes;
}

std::uint32_t SyllableSynthesizer::speakSyllable(ISpTTSEngineSite* site, std::int32_t rateIn, std::uint32_t volumeIn,
                                                 std::uint32_t unitCode, const SyllableParams& params) {
  const auto started = std::chrono::steady_clock::now();
  trace_ = {};
  if (units_ == nullptr || unitCode >= units_->size()) return 0;
  const voice::UnitEntry& entry = (*units_)[unitCode];
  const int rate = synth::clampTo(rateIn, synth::kMinRate, synth::kMaxRate);
  const auto volume = static_cast<std::uint16_t>(volumeIn);
  const bool tracing = dumps_.textOpen();

  // Steps 1 to 3.
  std::uint32_t unitBytes = scaledUnit(entry, unitCode, rate, params.durationIndex, tracing);
  std::uint32_t n = 0, cutStart = 0, cutEnd = 0;

  // Volume.
  n = unitBytes / 2;
  const std::int32_t gain = synth::volumeGain(params.volumeIndex, volume);
  const std::uint64_t energy = synth::applyVolume({scaleBuffer_.data(), n}, gain, {unitBuffer_.data(), n});

  // Second trim or padding.
  const synth::SecondEdges edges =
      synth::secondEdges({unitBuffer_.data(), n}, energy, params.cutBefore, params.cutAfter, params.durationIndex);
  const std::uint32_t silenceBefore = edges.silenceBeforeBytes, silenceAfter = edges.silenceAfterBytes;
  cutStart = edges.cutStartBytes;
  cutEnd = edges.cutEndBytes;
  unitBytes = edges.keptBytes;
  trace_.secondStartBytes = cutStart;
  trace_.secondEndBytes = cutEnd;
  if (tracing) {
    const auto usedMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    char line[512];
    std::snprintf(line, sizeof line,
                  "Volume\r\nlVolumeIn: %d, lVolumeOut: %u\r\nBeDelTimeIn: %d\r\nAfDelTimeIn: %d\r\n"
                  "dwTotalAudioLength: %u\r\nulWaveStart: %u,ulWaveEnd: %u\r\n"
                  "ulWaveSilenceBefore: %u, ulWaveSilenceAfter: %u\r\nTimeUsed: %dms\r\n\r\n",
                  synth::volumeIn(params.volumeIndex), static_cast<unsigned>(volume), synth::edgeTimeIn(params.cutBefore),
                  synth::edgeTimeIn(params.cutAfter), unitBytes,
                  cutStart, cutEnd, silenceBefore, silenceAfter, static_cast<int>(usedMs.count()));
    dumps_.appendText(line);
  }

  // Fade the edges the trims left, so nothing written starts or ends on a step.
  if (settings::engineSettings().smoothCuts.load() != 0)
    synth::fadeEdges({unitBuffer_.data() + cutStart / 2, unitBytes / 2});

  // Output. Only bytes that reached the site are counted.
  std::uint32_t written = 0;
  if (silenceBefore > 0) {
    if (SUCCEEDED(writeSilence(site, silenceBefore))) written += silenceBefore;
    dumpSilence(silenceBefore);
  }
  if (FAILED(site->Write(unitBuffer_.data() + cutStart / 2, unitBytes, nullptr))) return written;
  written += unitBytes;
  dumpStage(4, unitBuffer_.data() + cutStart / 2, unitBytes);
  if (silenceAfter > 0) {
    if (SUCCEEDED(writeSilence(site, silenceAfter))) written += silenceAfter;
    dumpSilence(silenceAfter);
  }
  trace_.silenceBeforeBytes = silenceBefore;
  trace_.silenceAfterBytes = silenceAfter;
  trace_.sampleBytes = unitBytes;
  return written;
}

}  // namespace sonvale
