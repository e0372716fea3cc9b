// The output module at work. The main thread reads the server's commands and
// answers them (ModuleServer); the speaking thread speaks one message at a
// time through the C interface and writes that message's events (Speaker).
// The voice is opened once, when the server says INIT, and stays open.
//
// Events of a message, in order: "701 BEGIN" before its first audio or mark,
// then its audio and its "700" index marks in the order the text holds them,
// then exactly one of "702 END", "703 STOP" (after STOP, or a failure) or
// "704 PAUSE". With the server's audio, each mark is written once all the
// audio before it has been handed over, so the server reports it when its
// playback reaches it; with the module's own output, audio is played out at
// its real pace and each mark is written the moment playback reaches it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol_text.h"
#include "sonvale/sonvale.h"

namespace sonvale::speechd {

// Writes whole messages to the server from any thread; no message is ever
// cut by another.
class ProtocolWriter {
 public:
  explicit ProtocolWriter(int fd) : fd_(fd) {}
  // False once the server has gone away (the pipe is broken); later writes are dropped.
  bool write(std::string_view message);

 private:
  std::mutex mutex_;
  int fd_;
  bool broken_ = false;
};

// The module's log: standard error, which the server keeps as the module's
// log file, and the file of the DEBUG command while it is on. Levels are the
// server's: 1 only errors ... 5 everything.
class Log {
 public:
  ~Log();
  void setLevel(int level) { level_.store(level); }
  bool wants(int level) const { return level <= level_.load(); }
  // Starts copying the log to `path`; "" stops. Returns "" or why the file cannot be opened.
  std::string setDebugFile(const std::string& path);
  void write(int level, const std::string& line);

 private:
  std::mutex mutex_;
  std::atomic<int> level_{3};
  std::FILE* debug_ = nullptr;
};

// The installed voices this module speaks with, each opened the first time
// it is wanted and kept open until the module ends.
class Voices {
 public:
  explicit Voices(std::string configured) : configured_(std::move(configured)) {}
  ~Voices();
  Voices(const Voices&) = delete;
  Voices& operator=(const Voices&) = delete;

  // Opens the configured voice. Returns "" or what is wrong, in one line.
  std::string openConfigured();
  // The voice a message asks for by name (its token name or display name,
  // letter case ignored), opened now if it was not yet; the configured voice
  // when `wanted` is empty, names no installed voice or cannot be opened.
  // Each name is looked up once: voices installed later are seen when the
  // module is started again. Null only before openConfigured() succeeded.
  sonvale_voice* select(const std::string& wanted, Log& log);
  // The names to list: each installed voice's display name, or its token
  // name when it has none.
  std::vector<std::string> listNames() const;
  // The configured voice's name as listed.
  const std::string& configuredName() const { return configuredName_; }

 private:
  std::mutex mutex_;
  std::string configured_;
  std::string configuredKey_, configuredName_;
  std::map<std::string, sonvale_voice*> open_;  // by token name
  std::map<std::string, std::string> resolved_;  // a name a message asked for -> the token name it got
};

// What SPEAK, CHAR, KEY and SOUND_ICON hand the speaking thread.
struct SpeakRequest {
  enum class Kind { Markup, Plain, SoundIcon };
  Kind kind = Kind::Markup;
  std::string text;                // speech markup, plain text, or the icon's name
  std::vector<std::string> marks;  // Markup: the mark names its bookmarks stand for
  VoiceSettings settings;
};

class Speaker {
 public:
  Speaker(ProtocolWriter& out, Log& log, const ModuleConfig& config, Voices& voices);
  ~Speaker();
  Speaker(const Speaker&) = delete;
  Speaker& operator=(const Speaker&) = delete;

  // Opens the file of the "file" output (appending). Returns "" or why it cannot be opened.
  std::string openOutput();
  // The audio goes to the server (AUDIO with audio_output_method=server was
  // accepted) or to the module's own output.
  void setServerAudio(bool on) { serverAudio_.store(on); }
  // Writes `acknowledgement` and starts speaking `request`, unless a message
  // is still being spoken (then nothing is written and the result is false).
  // No event of the message can come before the acknowledgement.
  bool start(SpeakRequest request, std::string_view acknowledgement);
  // Silences the message being spoken at once; its "703 STOP" follows when
  // the speaking thread has let go of it. Nothing when no message is spoken.
  void stop();
  // Stops the message being spoken after its next mark named "__spd_...";
  // "704 PAUSE" follows (or "702 END" when no such mark comes).
  void pause();
  // Stops any message and ends the speaking thread.
  void shutdown();

 private:
  struct Message;
  enum class Outcome { Ended, Stopped, Paused };

  void run();
  Outcome speak(Message& m);
  void finish(Message& m, Outcome outcome);
  bool halted() const { return stopRequested_.load() || paused_.load(); }
  void begin(Message& m);
  void flushAudio(Message& m);
  bool deliver(Message& m, const std::int16_t* samples, std::size_t count);
  void reachMark(Message& m, const sonvale_event& event);
  static int onAudio(void* user, const std::int16_t* samples, std::size_t count);
  static void onEvent(void* user, const sonvale_event* event);

  ProtocolWriter& out_;
  Log& log_;
  const ModuleConfig& config_;
  Voices& voices_;
  std::FILE* file_ = nullptr;
  std::atomic<bool> serverAudio_{false};

  std::mutex mutex_;  // busy_, hasRequest_, request_, quitting_; held while a message's last event is written
  std::condition_variable wake_;
  bool busy_ = false;
  bool hasRequest_ = false;
  bool quitting_ = false;
  SpeakRequest request_;
  std::uint64_t messages_ = 0;

  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> pauseRequested_{false};
  std::atomic<bool> paused_{false};
  std::atomic<sonvale_voice*> current_{nullptr};

  std::mutex pacingMutex_;  // with pacing_, lets stop() cut a wait for playback short
  std::condition_variable pacing_;

  std::thread thread_;
};

// Reads commands from `in` and answers on the writer until QUIT or the end of
// the input; returns the process's exit status.
class ModuleServer {
 public:
  // `configError` is "" or why the configuration file could not be used; INIT then fails with it.
  ModuleServer(int in, int out, ModuleConfig config, std::string configError);
  ~ModuleServer();
  int run();

 private:
  bool readLine(std::string& line);
  // Reads the lines of a block up to its "." line; false at the end of the input.
  bool readBlock(std::vector<std::string>& lines, bool data);
  void init();
  void audio();
  void logLevel();
  void set();
  void speak(SpeakRequest::Kind kind, std::string_view command);
  void listVoices();

  int in_;
  std::string buffer_;
  std::size_t bufferStart_ = 0;
  bool inputEnded_ = false;
  ModuleConfig config_;
  std::string configError_;
  ProtocolWriter out_;
  Log log_;
  Voices voices_;
  Speaker speaker_;
  VoiceSettings settings_;
  bool initialised_ = false;
};

}  // namespace sonvale::speechd
