#include "unit_audio.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace sonvale::recipe {

namespace {

void putU16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  putU16(out, v & 0xFFFF);
  putU16(out, v >> 16);
}

void putTag(std::vector<std::uint8_t>& out, const char (&tag)[5]) {
  for (std::size_t i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

}  // namespace

std::string resampleToUnitRate(std::span<const std::int16_t> in, double inRateHz, std::vector<float>& out) {
  out.clear();
  if (in.empty()) return {};
  const double ratio = kUnitRateHz / inRateHz;
  out.resize(static_cast<std::size_t>(std::ceil(static_cast<double>(in.size()) * ratio)) + 64);
  std::size_t used = 0, made = 0;
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_FLOAT32_I);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  // One thread: the result must not depend on how work is split.
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  const soxr_error_t error = soxr_oneshot(inRateHz, kUnitRateHz, 1, in.data(), in.size(), &used, out.data(),
                                          out.size(), &made, &io, &quality, &runtime);
  if (error != nullptr) {
    out.clear();
    return std::string("rate conversion failed: ") + error;
  }
  out.resize(made);
  // soxr's float samples are on the scale -1..1 for the 16-bit input (x 2^15 is exact).
  for (float& x : out) x *= 32768.0f;
  return {};
}

std::vector<std::int16_t> toPcm16(std::span<const float> in, double gain, std::size_t& clipped) {
  clipped = 0;
  std::vector<std::int16_t> out(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    const double x = std::round(static_cast<double>(in[i]) * gain);
    if (x > 32767.0 || x < -32768.0) ++clipped;
    out[i] = static_cast<std::int16_t>(std::clamp(x, -32768.0, 32767.0));
  }
  return out;
}

Edges soundEdges(std::span<const std::int16_t> samples, int edgeLevel, std::size_t marginSamples) {
  const auto loud = [edgeLevel](std::int16_t s) { return std::abs(static_cast<int>(s)) >= edgeLevel; };
  const auto first = std::find_if(samples.begin(), samples.end(), loud);
  if (first == samples.end()) return {};
  const auto last = std::find_if(samples.rbegin(), samples.rend(), loud);
  const auto firstIndex = static_cast<std::size_t>(first - samples.begin());
  const std::size_t lastIndex = samples.size() - 1 - static_cast<std::size_t>(last - samples.rbegin());
  Edges e;
  e.start = firstIndex > marginSamples ? firstIndex - marginSamples : 0;
  e.end = std::min(samples.size(), lastIndex + 1 + marginSamples);
  return e;
}

int peakLevel(std::span<const std::int16_t> samples) {
  int peak = 0;
  for (const std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  return peak;
}

std::vector<std::uint8_t> wavFileBytes(std::span<const std::int16_t> samples, std::uint32_t rateHz) {
  const auto dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::vector<std::uint8_t> out;
  out.reserve(44 + dataBytes);
  putTag(out, "RIFF");
  putU32(out, 36 + dataBytes);
  putTag(out, "WAVE");
  putTag(out, "fmt ");
  putU32(out, 16);          // size of the format chunk
  putU16(out, 1);           // PCM
  putU16(out, 1);           // mono
  putU32(out, rateHz);
  putU32(out, rateHz * 2);  // bytes per second
  putU16(out, 2);           // bytes per frame
  putU16(out, 16);          // bits per sample
  putTag(out, "data");
  putU32(out, dataBytes);
  for (const std::int16_t s : samples) putU16(out, static_cast<std::uint16_t>(s));
  return out;
}

}  // namespace sonvale::recipe
