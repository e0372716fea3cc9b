#include "platform/le_bytes.h"

namespace sonvale {

std::vector<std::uint8_t> pcmWavHeader(std::uint32_t rateHz, std::uint32_t dataBytes) {
  std::vector<std::uint8_t> h;
  h.reserve(kWavHeaderBytes);
  auto tag = [&h](const char (&t)[5]) { h.insert(h.end(), t, t + 4); };
  tag("RIFF");
  appendU32le(h, 38 + dataBytes);
  tag("WAVE");
  tag("fmt ");
  appendU32le(h, 18);
  appendU16le(h, 1);           // PCM
  appendU16le(h, 1);           // mono
  appendU32le(h, rateHz);
  appendU32le(h, 2 * rateHz);  // bytes per second
  appendU16le(h, 2);           // block align
  appendU16le(h, 16);          // bits per sample
  appendU16le(h, 0);           // cbSize
  tag("data");
  appendU32le(h, dataBytes);
  return h;
}

}  // namespace sonvale
