// check_voice_tones: how the tones of a voice's syllables come out.
//
//   check_voice_tones [--worst N] UNITS_DIR
//
// Reads UNITS_DIR/manifest.txt (unit, character, jyutping, phonemes, ...: what
// make_default_voice writes) and the WAV file of each distinct recording of one
// syllable, tracks its pitch (pitch_tracker.h) and prints:
//   - per tone, the pitch at 20%, 50% and 80% of the voiced part, in semitones
//     against the median pitch of all voiced frames, beside the targets of
//     tone_contours.h (moved by the same reference, so a voice pitched as a
//     whole higher or lower is judged by its shape and spacing);
//   - per tone, the onsets after m, n, ng, l, j, w: the pitch 10 ms into the
//     voiced part against the level reached at 50%, less the target's own
//     change between those points;
//   - the loudness of each tone (RMS of the voiced part, in dB against tone 1)
//     and how periodic its recordings are (the tracker's aperiodicity);
//   - a nearest-centroid classifier's confusion matrix over the (20, 50, 80)
//     points, each recording left out of the centroids it is classified by;
//   - with --worst N, the N recordings furthest from their targets.
// Exit status 0 when every tone's mean is within 1 semitone of its target at
// each point, the onsets' means within 1.5 semitones and the classifier right
// for at least 98% of the recordings; 1 when not, or on an unreadable file.
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "data_files.h"
#include "jyutping.h"
#include "pitch_tracker.h"
#include "tone_contours.h"

namespace {

namespace fs = std::filesystem;
using namespace sonvale::recipe;

constexpr std::array<double, 3> kPoints = {0.2, 0.5, 0.8};
constexpr double kOnsetSeconds = 0.010;
constexpr double kMaxPointError = 1.0;
constexpr double kMaxOnsetError = 1.5;
constexpr double kMinAccuracy = 0.98;

struct Measured {
  std::string unit, jyutping;
  int tone = 0;
  bool sonorantOnset = false;
  std::array<double, 3> hz{};  // at kPoints
  double onsetHz = 0, onsetPosition = 0;
  double rmsDb = 0;
  double aperiodicity = 0;       // median over the voiced frames
  std::vector<double> voicedHz;  // every voiced frame, for the median
};

std::string readWav(const fs::path& file, std::vector<float>& samples, double& rateHz) {
  SF_INFO info{};
  SNDFILE* f = sf_open(file.string().c_str(), SFM_READ, &info);
  if (f == nullptr) return "cannot read " + file.string() + ": " + sf_strerror(nullptr);
  if (info.channels != 1) {
    sf_close(f);
    return file.string() + " is not mono";
  }
  samples.resize(static_cast<std::size_t>(info.frames));
  const sf_count_t got = sf_readf_float(f, samples.data(), info.frames);
  sf_close(f);
  samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(0, got)));
  rateHz = info.samplerate;
  return {};
}

bool measure(const std::vector<float>& samples, double rateHz, Measured& m) {
  const PitchTrack track = trackPitch(samples, rateHz);
  const VoicedPart part = voicedPart(track);
  if (!part.found || part.lastFrame <= part.firstFrame) return false;
  const double start = part.startSample(track), end = part.endSample(track);
  for (std::size_t i = 0; i < kPoints.size(); ++i) m.hz[i] = pitchAt(track, part, start + kPoints[i] * (end - start));
  const double onset = start + kOnsetSeconds * rateHz;
  m.onsetHz = pitchAt(track, part, onset);
  m.onsetPosition = std::min(1.0, (onset - start) / (end - start));
  double energy = 0;
  const auto first = static_cast<std::size_t>(start), last = std::min(samples.size(), static_cast<std::size_t>(end));
  for (std::size_t i = first; i < last; ++i) energy += static_cast<double>(samples[i]) * samples[i];
  m.rmsDb = 10 * std::log10(std::max(1e-20, energy / static_cast<double>(std::max<std::size_t>(1, last - first))));
  std::vector<double> aperiodicity;
  for (std::size_t i = part.firstFrame; i <= part.lastFrame; ++i) {
    if (track.f0Hz[i] <= 0) continue;
    m.voicedHz.push_back(track.f0Hz[i]);
    aperiodicity.push_back(track.aperiodicity[i]);
  }
  std::sort(aperiodicity.begin(), aperiodicity.end());
  m.aperiodicity = aperiodicity[aperiodicity.size() / 2];
  return true;
}

double semitones(double hz, double referenceHz) { return 12.0 * std::log2(hz / referenceHz); }

int run(const fs::path& dir, std::size_t worstShown) {
  std::string manifest;
  if (std::string error = readWholeFile((dir / "manifest.txt").string(), manifest); !error.empty()) {
    std::fprintf(stderr, "check_voice_tones: %s\n", error.c_str());
    return 1;
  }
  std::vector<Measured> all;
  std::set<std::string> seen;  // phoneme strings: units that share one are one recording
  std::size_t skipped = 0;
  for (std::size_t at = 0; at < manifest.size();) {
    std::size_t eol = manifest.find('\n', at);
    if (eol == std::string::npos) eol = manifest.size();
    const std::string line = manifest.substr(at, eol - at);
    at = eol + 1;
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields;
    for (std::size_t f = 0;;) {
      const std::size_t tab = line.find('\t', f);
      fields.push_back(line.substr(f, tab == std::string::npos ? std::string::npos : tab - f));
      if (tab == std::string::npos) break;
      f = tab + 1;
    }
    if (fields.size() < 4 || !seen.insert(fields[3]).second) continue;
    Syllable syllable;
    if (!parseSyllable(fields[2], syllable)) continue;  // several syllables, or no reading
    std::vector<float> samples;
    double rateHz = 0;
    if (std::string error = readWav(dir / (fields[0] + ".wav"), samples, rateHz); !error.empty()) {
      std::fprintf(stderr, "check_voice_tones: %s\n", error.c_str());
      return 1;
    }
    Measured m;
    m.unit = fields[0];
    m.jyutping = fields[2];
    m.tone = syllable.tone;
    static const std::set<std::string> kSonorants = {"m", "n", "ng", "l", "j", "w"};
    m.sonorantOnset = kSonorants.count(syllable.initial) > 0;
    if (!measure(samples, rateHz, m)) {
      ++skipped;
      continue;
    }
    all.push_back(std::move(m));
  }
  if (all.empty()) {
    std::fprintf(stderr, "check_voice_tones: no single-syllable recording with a voiced part in %s\n",
                 dir.string().c_str());
    return 1;
  }

  std::vector<double> voiced;
  for (const Measured& m : all) voiced.insert(voiced.end(), m.voicedHz.begin(), m.voicedHz.end());
  std::nth_element(voiced.begin(), voiced.begin() + static_cast<std::ptrdiff_t>(voiced.size() / 2), voiced.end());
  const double median = voiced[voiced.size() / 2];
  // The targets are heights against the reference; the voice is judged
  // against its own median, so the targets move by the reference's distance
  // from the targets' own median over the same recordings.
  std::vector<double> targetFrames;
  for (const Measured& m : all) {
    const std::size_t n = m.voicedHz.size();
    for (std::size_t i = 0; i < n; ++i)
      targetFrames.push_back(
          toneTargetSemitones(m.tone, n > 1 ? static_cast<double>(i) / static_cast<double>(n - 1) : 0.5));
  }
  std::nth_element(targetFrames.begin(), targetFrames.begin() + static_cast<std::ptrdiff_t>(targetFrames.size() / 2),
                   targetFrames.end());
  const double targetMedian = targetFrames[targetFrames.size() / 2];
  std::printf("%zu single-syllable recordings (%zu without a voiced part left out); median pitch %.1f Hz\n", all.size(),
              skipped, median);

  // Contours.
  std::array<std::array<double, 3>, 7> sum{};
  std::array<std::array<double, 3>, 7> squares{};
  std::array<std::size_t, 7> count{};
  std::vector<std::array<double, 3>> features;
  for (const Measured& m : all) {
    std::array<double, 3> f{};
    for (std::size_t i = 0; i < 3; ++i) {
      f[i] = semitones(m.hz[i], median);
      sum[m.tone][i] += f[i];
      squares[m.tone][i] += f[i] * f[i];
    }
    ++count[m.tone];
    features.push_back(f);
  }
  bool met = true;
  std::printf("\ntone  count  target 20/50/80%% (st)   measured 20/50/80%% (st)   sd 20/50/80%%     worst error\n");
  for (int t = 1; t <= 6; ++t) {
    if (count[t] == 0) continue;
    double worst = 0;
    std::array<double, 3> mean{}, sd{}, target{};
    for (std::size_t i = 0; i < 3; ++i) {
      const auto n = static_cast<double>(count[t]);
      mean[i] = sum[t][i] / n;
      sd[i] = std::sqrt(std::max(0.0, squares[t][i] / n - mean[i] * mean[i]));
      target[i] = toneTargetSemitones(t, kPoints[i]) - targetMedian;
      worst = std::max(worst, std::abs(mean[i] - target[i]));
    }
    met = met && worst <= kMaxPointError;
    std::printf("T%d   %5zu  %+5.1f %+5.1f %+5.1f       %+5.1f %+5.1f %+5.1f         %4.1f %4.1f %4.1f     %.2f\n", t,
                count[t], target[0], target[1], target[2], mean[0], mean[1], mean[2], sd[0], sd[1], sd[2], worst);
  }

  // The recordings furthest from their targets, at a point or at the onset.
  if (worstShown > 0) {
    std::vector<std::pair<double, std::size_t>> ranked;
    for (std::size_t k = 0; k < all.size(); ++k) {
      const Measured& m = all[k];
      double worst = 0;
      for (std::size_t i = 0; i < 3; ++i)
        worst = std::max(worst, std::abs(features[k][i] - (toneTargetSemitones(m.tone, kPoints[i]) - targetMedian)));
      const double onset = semitones(m.onsetHz, median) - (toneTargetSemitones(m.tone, m.onsetPosition) - targetMedian);
      if (m.sonorantOnset) worst = std::max(worst, std::abs(onset));
      ranked.emplace_back(worst, k);
    }
    std::sort(ranked.begin(), ranked.end(), std::greater<>());
    std::printf(
        "\nfurthest from their targets (st against the median):\nunit    reading   onset   20%%    50%%    80%%\n");
    for (std::size_t r = 0; r < std::min(worstShown, ranked.size()); ++r) {
      const Measured& m = all[ranked[r].second];
      const auto& f = features[ranked[r].second];
      std::printf("%-7s %-8s %+6.1f %+6.1f %+6.1f %+6.1f\n", m.unit.c_str(), m.jyutping.c_str(),
                  semitones(m.onsetHz, median), f[0], f[1], f[2]);
    }
  }

  // Onsets after sonorants.
  std::printf(
      "\nonsets after m n ng l j w (10 ms in, against 50%%, less the target's own change):\n"
      "tone  count  mean (st)  worst (st)  beyond 1.5 st\n");
  for (int t = 1; t <= 6; ++t) {
    double total = 0, worst = 0;
    std::size_t n = 0, beyond = 0;
    for (const Measured& m : all) {
      if (m.tone != t || !m.sonorantOnset) continue;
      const double measured = semitones(m.onsetHz, m.hz[1]);
      const double wanted = toneTargetSemitones(t, m.onsetPosition) - toneTargetSemitones(t, 0.5);
      const double error = measured - wanted;
      total += error;
      if (std::abs(error) > std::abs(worst)) worst = error;
      if (std::abs(error) > kMaxOnsetError) ++beyond;
      ++n;
    }
    if (n == 0) continue;
    met = met && std::abs(total / static_cast<double>(n)) <= kMaxOnsetError;
    std::printf("T%d   %5zu  %+9.2f  %+10.2f  %13zu\n", t, n, total / static_cast<double>(n), worst, beyond);
  }

  // Loudness.
  std::array<double, 7> loudness{};
  for (const Measured& m : all) loudness[m.tone] += m.rmsDb;
  std::printf("\nloudness of the voiced part (dB against T1):");
  const double reference = count[1] > 0 ? loudness[1] / static_cast<double>(count[1]) : 0;
  for (int t = 1; t <= 6; ++t)
    if (count[t] > 0) std::printf("  T%d %+.1f", t, loudness[t] / static_cast<double>(count[t]) - reference);
  // Roughness: the recordings' median aperiodicity (0 perfectly periodic).
  std::printf("\naperiodicity of the voiced part (median of the recordings' medians):");
  for (int t = 1; t <= 6; ++t) {
    std::vector<double> values;
    for (const Measured& m : all)
      if (m.tone == t) values.push_back(m.aperiodicity);
    if (values.empty()) continue;
    std::sort(values.begin(), values.end());
    std::printf("  T%d %.3f", t, values[values.size() / 2]);
  }
  std::printf("\n");

  // Nearest centroid, each recording left out of its own tone's centroid.
  std::array<std::array<std::size_t, 7>, 7> confusion{};
  std::size_t right = 0;
  for (std::size_t k = 0; k < all.size(); ++k) {
    int best = 0;
    double bestDistance = 0;
    for (int t = 1; t <= 6; ++t) {
      std::size_t n = count[t];
      std::array<double, 3> centroid = sum[t];
      if (t == all[k].tone) {
        for (std::size_t i = 0; i < 3; ++i) centroid[i] -= features[k][i];
        --n;
      }
      if (n == 0) continue;
      double distance = 0;
      for (std::size_t i = 0; i < 3; ++i) {
        const double d = features[k][i] - centroid[i] / static_cast<double>(n);
        distance += d * d;
      }
      if (best == 0 || distance < bestDistance) {
        best = t;
        bestDistance = distance;
      }
    }
    ++confusion[all[k].tone][best];
    if (best == all[k].tone) ++right;
  }
  const double accuracy = static_cast<double>(right) / static_cast<double>(all.size());
  met = met && accuracy >= kMinAccuracy;
  std::printf(
      "\nnearest-centroid classifier (rows: the reading's tone; columns: classified as)\n"
      "       T1   T2   T3   T4   T5   T6\n");
  for (int t = 1; t <= 6; ++t) {
    if (count[t] == 0) continue;
    std::printf("T%d ", t);
    for (int c = 1; c <= 6; ++c) std::printf(" %4zu", confusion[t][c]);
    std::printf("\n");
  }
  std::printf("right: %zu of %zu (%.1f%%)\n", right, all.size(), 100.0 * accuracy);
  std::printf("%s\n", met ? "tones: within the targets" : "tones: NOT within the targets");
  return met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* usage = "usage: check_voice_tones [--worst N] UNITS_DIR\n";
  std::size_t worstShown = 0;
  int i = 1;
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(usage, stdout);
    return 0;
  }
  if (argc == 4 && std::string(argv[1]) == "--worst") {
    worstShown = std::strtoul(argv[2], nullptr, 10);
    i = 3;
  }
  if (argc != i + 1) {
    std::fputs(usage, stderr);
    return 2;
  }
  return run(argv[i], worstShown);
}
