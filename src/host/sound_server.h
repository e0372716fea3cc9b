// Plays 16-bit mono samples through the user's sound server as they are
// made, and records from its default input: PulseAudio, or PipeWire through
// its PulseAudio service; where no server runs, playback goes to the sound
// device through ALSA. The only file that talks to the sound libraries is
// sound_server.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct pa_simple;
struct audio_object;

namespace sonvale::host {

class SoundServerStream {
 public:
  // The server holds at most this much audio ahead of what is heard (how far
  // synthesis may run ahead of playback, and what a stop drops), and begins
  // playing once it is full.
  static constexpr unsigned kBufferMs = 250;

  SoundServerStream() = default;
  ~SoundServerStream();
  SoundServerStream(const SoundServerStream&) = delete;
  SoundServerStream& operator=(const SoundServerStream&) = delete;

  // Connects to the server and opens a playback stream at `rateHz`, named
  // `streamName` in the server's mixer; without a server, opens the default
  // ALSA device. Returns "" or the reasons, as one line.
  std::string open(int rateHz, const char* streamName);

  // Queues `count` samples, blocking while the server's buffer is full.
  // Returns "" or the reason the server refused them.
  std::string write(const std::int16_t* samples, std::size_t count);

  // Waits until everything queued has been heard.
  std::string drain();

  // Drops everything queued and not yet heard.
  void flush();

  bool isOpen() const { return stream_ != nullptr || device_ != nullptr; }

 private:
  pa_simple* stream_ = nullptr;
  audio_object* device_ = nullptr;  // the ALSA device, when no server runs
};

// Records 16-bit mono samples from the server's default input.
class SoundServerCapture {
 public:
  // The server hands over what it recorded in blocks of about this length.
  static constexpr unsigned kFragmentMs = 20;

  SoundServerCapture() = default;
  ~SoundServerCapture();
  SoundServerCapture(const SoundServerCapture&) = delete;
  SoundServerCapture& operator=(const SoundServerCapture&) = delete;

  // Connects and opens a recording stream at `rateHz`. Returns "" or the
  // server library's reason, as one line.
  std::string open(int rateHz, const char* streamName);

  // Fills `count` samples, blocking until they have been recorded.
  std::string read(std::int16_t* samples, std::size_t count);

  bool isOpen() const { return stream_ != nullptr; }

 private:
  pa_simple* stream_ = nullptr;
};

}  // namespace sonvale::host
