// The text of speech-dispatcher's output-module protocol, as plain functions:
// data lines and their dot escape, the name=value lines of SET, the events
// the module writes back (index marks, audio), and the module's own
// configuration file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sonvale::speechd {

// A line of SPEAK, CHAR, KEY or SOUND_ICON data as the server sends it: every
// line that begins with '.' has had one more '.' put in front, so that only
// the terminating line is a lone ".". Returns the line with that dot taken
// off; a line that does not begin with ".." is returned as it is.
std::string_view unescapeDataLine(std::string_view line);

// Splits a "name=value" line of a SET, AUDIO or LOGLEVEL block at its first
// '='. False, leaving name and value alone, when there is no '=' or the name
// is empty.
bool splitSetting(std::string_view line, std::string_view& name, std::string_view& value);

// The message parameters that SET carries, on speech-dispatcher's scales.
struct VoiceSettings {
  int rate = 0;          // -100..100
  int volume = 0;        // -100..100
  int pitch = 0;         // -100..100; the voice's units keep their recorded pitch
  int pitchRange = 0;    // -100..100; likewise kept only
  int readPunctuation = -1;  // from punctuation_mode: 0 or 1, -1 before any mode was set
  bool spell = false;        // spelling_mode=on
  std::string language;        // "" for NULL
  std::string synthesisVoice;  // "" for NULL
};

// Applies one SET line. Names this module has no use for (cap_let_recogn,
// voice, and any a newer server adds) are accepted and ignored. Returns "" or
// what is wrong with the value; a wrong value leaves `settings` alone.
std::string applySetting(VoiceSettings& settings, std::string_view name, std::string_view value);

// The 705 event that hands `samples` (16-bit mono at `rateHz`) to the
// server: the format lines, then "705-AUDIO", a NUL and the samples as
// little-endian bytes, in which '\n' and 0x7D are escaped as 0x7D followed by
// the byte with bit 5 inverted, then a line break and "705 AUDIO".
std::string audioEvent(std::span<const std::int16_t> samples, int rateHz);

// The 700 event reporting that the mark `name` was reached. A line break in
// a name would end the event early, so each one is written as a space.
std::string indexMarkEvent(std::string_view name);

// Where the module sends its audio.
enum class AudioOutput {
  Server,  // to speech-dispatcher, which plays it (705 events)
  File,    // appended to a file as raw 16-bit little-endian mono PCM, at the pace of playback
  Null,    // discarded at the pace of playback
};

// The module's configuration file: dotconf lines `Name value`, the value bare
// or in double quotes, '#' starting a comment.
struct ModuleConfig {
  std::string voice;                         // SonvaleVoice: an installed voice, "" the default voice
  AudioOutput output = AudioOutput::Server;  // SonvaleAudioOutput: "server", "file" or "null"
  std::string audioFile;                     // SonvaleAudioFile: the file of the "file" output
  std::string registry;                      // SonvaleRegistry: the registry store, "" the usual one
  int debug = 0;                             // SonvaleDebug: 1 logs every message as level 5 would
  int fastSpeech = 1;                        // SonvaleFastSpeech: 1 rates above 0 go up to 3.5 times rate 0
};

// Parses a configuration file's text into `config`. Options of other modules
// and speech-dispatcher's common ones (AddVoice, Debug...) are ignored; an
// option that begins with "Sonvale" and is none of the above is an error.
// Returns "" or "line N: " and what is wrong with the first bad line.
std::string parseModuleConfig(std::string_view text, ModuleConfig& config);

}  // namespace sonvale::speechd
