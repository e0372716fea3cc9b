#include "host/sound_server.h"

#include <pcaudiolib/audio.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <bit>

namespace sonvale::host {

SoundServerStream::~SoundServerStream() {
  if (stream_ != nullptr) pa_simple_free(stream_);
  if (device_ != nullptr) {
    audio_object_close(device_);
    audio_object_destroy(device_);
  }
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
  if (stream_ != nullptr) return {};
  const std::string serverError = pa_strerror(error);

  // No server: the sound device, through pcaudio (which tries the server
  // once more, then ALSA's default device).
  device_ = create_audio_device_object(nullptr, "Sonvale", streamName);
  if (device_ == nullptr) return serverError + "; no sound device either";
  const audio_object_format format =
      std::endian::native == std::endian::little ? AUDIO_OBJECT_FORMAT_S16LE : AUDIO_OBJECT_FORMAT_S16BE;
  const int deviceError = audio_object_open(device_, format, static_cast<std::uint32_t>(rateHz), 1);
  if (deviceError == 0) return {};
  const std::string reason = serverError + "; sound device: " + audio_object_strerror(device_, deviceError);
  audio_object_destroy(device_);
  device_ = nullptr;
  return reason;
}

std::string SoundServerStream::write(const std::int16_t* samples, std::size_t count) {
  if (device_ != nullptr) {
    const int error = count == 0 ? 0 : audio_object_write(device_, samples, count * sizeof *samples);
    return error == 0 ? std::string() : audio_object_strerror(device_, error);
  }
  int error = 0;
  if (count == 0 || pa_simple_write(stream_, samples, count * sizeof *samples, &error) == 0) return {};
  return pa_strerror(error);
}

std::string SoundServerStream::drain() {
  if (device_ != nullptr) {
    const int error = audio_object_drain(device_);
    return error == 0 ? std::string() : audio_object_strerror(device_, error);
  }
  int error = 0;
  return pa_simple_drain(stream_, &error) == 0 ? std::string() : pa_strerror(error);
}

void SoundServerStream::flush() {
  if (device_ != nullptr) {
    audio_object_flush(device_);
    return;
  }
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
