#include "host/sound_server.h"

#include <pulse/error.h>
#include <pulse/simple.h>

namespace sonvale::host {

SoundServerStream::~SoundServerStream() {
  if (stream_ != nullptr) pa_simple_free(stream_);
}

namespace {

// 16-bit mono samples at `rateHz`, the only format the command plays or records.
pa_sample_spec monoSpec(int rateHz) {
  pa_sample_spec spec{};
  spec.format = PA_SAMPLE_S16NE;
  spec.rate = static_cast<std::uint32_t>(rateHz);
  spec.channels = 1;
  return spec;
}

}  // namespace

std::string SoundServerStream::open(int rateHz, const char* streamName) {
  const pa_sample_spec spec = monoSpec(rateHz);
  // Playback begins once the buffer is full (or when drained, for a shorter
  // text): synthesis fills it far faster than it plays, and a smaller start
  // underran after the first short write while the first syllable was still
  // being made, leaving a gap in the sound.
  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(kBufferMs * 1000ull, &spec));
  buffer.prebuf = buffer.tlength;
  buffer.minreq = static_cast<std::uint32_t>(-1);
  buffer.fragsize = static_cast<std::uint32_t>(-1);
  int error = 0;
  stream_ = pa_simple_new(nullptr, "Sonvale", PA_STREAM_PLAYBACK, nullptr, streamName, &spec, nullptr, &buffer, &error);
  return stream_ != nullptr ? std::string() : pa_strerror(error);
}

std::string SoundServerStream::write(const std::int16_t* samples, std::size_t count) {
  int error = 0;
  if (count == 0 || pa_simple_write(stream_, samples, count * sizeof *samples, &error) == 0) return {};
  return pa_strerror(error);
}

std::string SoundServerStream::drain() {
  int error = 0;
  return pa_simple_drain(stream_, &error) == 0 ? std::string() : pa_strerror(error);
}

void SoundServerStream::flush() {
  int error = 0;
  pa_simple_flush(stream_, &error);
}

SoundServerCapture::~SoundServerCapture() {
  if (stream_ != nullptr) pa_simple_free(stream_);
}

std::string SoundServerCapture::open(int rateHz, const char* streamName) {
  const pa_sample_spec spec = monoSpec(rateHz);
  pa_buffer_attr buffer{};
  buffer.maxlength = static_cast<std::uint32_t>(-1);
  buffer.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMs * 1000ull, &spec));
  int error = 0;
  stream_ = pa_simple_new(nullptr, "Sonvale", PA_STREAM_RECORD, nullptr, streamName, &spec, nullptr, &buffer, &error);
  return stream_ != nullptr ? std::string() : pa_strerror(error);
}

std::string SoundServerCapture::read(std::int16_t* samples, std::size_t count) {
  int error = 0;
  if (count == 0 || pa_simple_read(stream_, samples, count * sizeof *samples, &error) == 0) return {};
  return pa_strerror(error);
}

}  // namespace sonvale::host
