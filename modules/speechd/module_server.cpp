#include "module_server.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>

#include "host/ssml.h"
#include "host/voice_tokens.h"
#include "speechd_params.h"

namespace sonvale::speechd {

namespace {

using Clock = std::chrono::steady_clock;

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// Text for one protocol line: line breaks (and tabs, which separate the
// fields of a voice) become spaces.
std::string oneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return out;
}

std::string_view trimmedRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

const host::VoiceInfo* findVoice(const std::vector<host::VoiceInfo>& voices, std::string_view name) {
  for (const host::VoiceInfo& v : voices)
    if (equalsNoCase(v.name, name) || equalsNoCase(v.displayName, name)) return &v;
  return nullptr;
}

std::string listedName(const host::VoiceInfo& v) { return oneLine(v.displayName.empty() ? v.name : v.displayName); }

// Speaks a few common syllables into nothing, so that the first message a
// user hears does not also pay for the decoder's first use and the first
// reads of the voice files (10 to 20 ms). Any one of them in the voice will do.
void warmUp(sonvale_voice* voice) {
  sonvale_speak(voice, "\xE4\xBD\xA0\xE6\x88\x91\xE7\x9A\x84\xE4\xB8\x80", -1, SONVALE_TEXT_PLAIN, nullptr, nullptr,
                nullptr);  // 你我的一
}

}  // namespace

// ---------------------------------------------------------------------------

bool ProtocolWriter::write(std::string_view message) {
  std::lock_guard lock(mutex_);
  while (!broken_ && !message.empty()) {
    const ssize_t n = ::write(fd_, message.data(), message.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      broken_ = true;
      break;
    }
    message.remove_prefix(static_cast<std::size_t>(n));
  }
  return !broken_;
}

// ---------------------------------------------------------------------------

Log::~Log() {
  if (debug_ != nullptr) std::fclose(debug_);
}

std::string Log::setDebugFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (debug_ != nullptr) std::fclose(debug_);
  debug_ = nullptr;
  if (path.empty()) return {};
  debug_ = std::fopen(path.c_str(), "a");
  return debug_ != nullptr ? std::string() : path + ": " + std::strerror(errno);
}

void Log::write(int level, const std::string& line) {
  if (!wants(level)) return;
  const std::time_t now = std::time(nullptr);
  char stamp[32] = "";
  std::tm local{};
  if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::lock_guard lock(mutex_);
  std::fprintf(stderr, "[%s] sd_sonvale: %s\n", stamp, line.c_str());
  std::fflush(stderr);
  if (debug_ != nullptr) {
    std::fprintf(debug_, "[%s] sd_sonvale: %s\n", stamp, line.c_str());
    std::fflush(debug_);
  }
}

// ---------------------------------------------------------------------------

Voices::~Voices() {
  for (auto& [name, voice] : open_) sonvale_close(voice);
}

std::string Voices::openConfigured() {
  std::lock_guard lock(mutex_);
  if (!configuredKey_.empty()) return {};
  char error[512] = "";
  sonvale_voice* voice = nullptr;
  if (sonvale_open(configured_.c_str(), &voice, error, sizeof error) != SONVALE_OK) return oneLine(error);
  std::vector<host::VoiceInfo> installed;
  host::listVoices(installed);
  const std::string wanted = configured_.empty() ? std::string(host::kDefaultVoiceName) : configured_;
  const host::VoiceInfo* info = findVoice(installed, wanted);
  configuredKey_ = info != nullptr ? info->name : wanted;
  configuredName_ = info != nullptr ? listedName(*info) : wanted;
  open_[configuredKey_] = voice;
  warmUp(voice);
  return {};
}

sonvale_voice* Voices::select(const std::string& wanted, Log& log) {
  std::lock_guard lock(mutex_);
  if (configuredKey_.empty()) return nullptr;
  sonvale_voice* configured = open_[configuredKey_];
  if (wanted.empty()) return configured;
  // A client that picked a voice names it in every message: look it up once.
  if (const auto known = resolved_.find(wanted); known != resolved_.end()) {
    const auto it = open_.find(known->second);
    return it != open_.end() ? it->second : configured;
  }
  resolved_[wanted] = configuredKey_;
  std::vector<host::VoiceInfo> installed;
  if (const std::string error = host::listVoices(installed); !error.empty()) {
    log.write(2, "cannot read the installed voices: " + error);
    return configured;
  }
  const host::VoiceInfo* info = findVoice(installed, wanted);
  if (info == nullptr) {
    log.write(4, "no voice called '" + wanted + "' is installed; speaking with '" + configuredName_ + "'");
    return configured;
  }
  if (const auto it = open_.find(info->name); it != open_.end()) {
    resolved_[wanted] = info->name;
    return it->second;
  }
  char error[512] = "";
  sonvale_voice* voice = nullptr;
  if (sonvale_open(info->name.c_str(), &voice, error, sizeof error) != SONVALE_OK) {
    log.write(2, std::string(error) + "; speaking with '" + configuredName_ + "'");
    return configured;
  }
  log.write(4, "opened voice '" + info->name + "'");
  warmUp(voice);
  open_[info->name] = voice;
  resolved_[wanted] = info->name;
  return voice;
}

std::vector<std::string> Voices::listNames() const {
  std::vector<host::VoiceInfo> installed;
  host::listVoices(installed);
  std::vector<std::string> names;
  for (const host::VoiceInfo& v : installed) names.push_back(listedName(v));
  return names;
}

// ---------------------------------------------------------------------------

struct Speaker::Message {
  Speaker* speaker = nullptr;
  SpeakRequest request;
  std::uint64_t number = 0;
  sonvale_voice* voice = nullptr;
  int rateHz = 11025;
  std::size_t chunkSamples = 1102;  // server audio: samples gathered into one event
  std::size_t blockSamples = 110;   // own output: samples played between two looks at STOP
  bool begun = false;
  std::vector<std::int16_t> pending;
  std::uint64_t samplesOut = 0;
  std::size_t marksOut = 0;
  bool audible = false;
  bool failed = false;  // memory ran out in a callback
  Clock::time_point requested, firstAudio, playStart;
  std::string error;
};

Speaker::Speaker(ProtocolWriter& out, Log& log, const ModuleConfig& config, Voices& voices)
    : out_(out), log_(log), config_(config), voices_(voices), serverAudio_(config.output == AudioOutput::Server) {
  // The thread takes no signals: they are the main thread's business.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  thread_ = std::thread([this] { run(); });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

Speaker::~Speaker() {
  shutdown();
  if (file_ != nullptr) std::fclose(file_);
}

std::string Speaker::openOutput() {
  if (config_.output != AudioOutput::File || file_ != nullptr) return {};
  file_ = std::fopen(config_.audioFile.c_str(), "ab");
  return file_ != nullptr ? std::string() : "cannot open " + config_.audioFile + ": " + std::strerror(errno);
}

bool Speaker::start(SpeakRequest request, std::string_view acknowledgement) {
  std::lock_guard lock(mutex_);
  if (busy_ || quitting_) return false;
  out_.write(acknowledgement);
  busy_ = true;
  request_ = std::move(request);
  hasRequest_ = true;
  wake_.notify_one();
  return true;
}

void Speaker::stop() {
  {
    std::lock_guard lock(mutex_);
    if (!busy_) return;
    stopRequested_.store(true);
    if (sonvale_voice* voice = current_.load()) sonvale_abort(voice);
  }
  // Taking the pacing lock orders the flag before a playback wait's look at it.
  { std::lock_guard pacing(pacingMutex_); }
  pacing_.notify_all();
}

void Speaker::pause() {
  std::lock_guard lock(mutex_);
  if (busy_) pauseRequested_.store(true);
}

void Speaker::shutdown() {
  stop();
  {
    std::lock_guard lock(mutex_);
    quitting_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Speaker::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return hasRequest_ || quitting_; });
    if (!hasRequest_) return;
    Message m;
    m.speaker = this;
    m.request = std::move(request_);
    m.number = ++messages_;
    m.requested = Clock::now();
    hasRequest_ = false;
    lock.unlock();
    Outcome outcome = Outcome::Stopped;
    try {
      outcome = speak(m);
    } catch (const std::bad_alloc&) {
      m.error = "out of memory";
    }
    try {
      finish(m, outcome);
    } catch (const std::bad_alloc&) {
      // Only the log line was lost: the message's last event is written before anything is allocated.
    }
    lock.lock();
  }
}

Speaker::Outcome Speaker::speak(Message& m) {
  const VoiceSettings& s = m.request.settings;
  m.voice = voices_.select(s.synthesisVoice, log_);
  if (m.voice == nullptr) {
    m.error = "no voice is open";
    return Outcome::Stopped;
  }
  current_.store(m.voice);
  // A STOP that came before the voice was known could not abort it.
  if (stopRequested_.load()) return Outcome::Stopped;
  if (!s.language.empty() && !isCantoneseTag(s.language))
    log_.write(5, "language '" + s.language + "' is not Cantonese; speaking it with this voice all the same");
  sonvale_set_rate(m.voice, sapiRate(s.rate));
  sonvale_set_volume(m.voice, sapiVolume(s.volume));
  if (s.readPunctuation >= 0) sonvale_set_setting(m.voice, "ReadPunctuation", s.readPunctuation);
  sonvale_set_setting(m.voice, "FastSpeech", config_.fastSpeech);
  m.rateHz = sonvale_sample_rate(m.voice);
  m.chunkSamples = static_cast<std::size_t>(std::max(1, m.rateHz / 10));   // 100 ms
  m.blockSamples = static_cast<std::size_t>(std::max(1, m.rateHz / 100));  // 10 ms

  if (m.request.kind == SpeakRequest::Kind::SoundIcon) {
    begin(m);
    // Only the server has sound icons to play.
    if (serverAudio_.load()) out_.write("706-" + oneLine(m.request.text) + "\n706 ICON\n");
    return Outcome::Ended;
  }
  const int kind = m.request.kind == SpeakRequest::Kind::Markup ? SONVALE_TEXT_XML : SONVALE_TEXT_PLAIN;
  const int result = sonvale_speak(m.voice, m.request.text.data(), static_cast<ptrdiff_t>(m.request.text.size()), kind,
                                   onAudio, onEvent, &m);
  if (stopRequested_.load()) return Outcome::Stopped;
  if (m.failed) {
    m.error = "out of memory";
    return Outcome::Stopped;
  }
  if (paused_.load()) return Outcome::Paused;
  if (result != SONVALE_OK) {
    m.error = sonvale_last_error(m.voice);
    return Outcome::Stopped;
  }
  flushAudio(m);
  return Outcome::Ended;
}

void Speaker::finish(Message& m, Outcome outcome) {
  {
    std::lock_guard lock(mutex_);
    // A STOP after the text was spoken but before its END was written has
    // flushed the server's queue all the same: report that message stopped.
    if (stopRequested_.load()) outcome = Outcome::Stopped;
    if (!m.begun) out_.write("701 BEGIN\n");
    out_.write(outcome == Outcome::Stopped ? "703 STOP\n" : outcome == Outcome::Paused ? "704 PAUSE\n" : "702 END\n");
    busy_ = false;
    stopRequested_.store(false);
    pauseRequested_.store(false);
    paused_.store(false);
    current_.store(nullptr);
  }
  if (!m.error.empty()) log_.write(2, "message " + std::to_string(m.number) + ": " + m.error);
  if (log_.wants(4) || config_.debug > 0) {
    char line[256];
    const char* how = outcome == Outcome::Stopped ? "stopped" : outcome == Outcome::Paused ? "paused" : "ended";
    const double firstMs = m.audible ? millisecondsBetween(m.requested, m.firstAudio) : -1.0;
    std::snprintf(line, sizeof line, "message %llu %s: %zu marks, %llu samples at %d Hz, first audio after %.1f ms",
                  static_cast<unsigned long long>(m.number), how, m.marksOut,
                  static_cast<unsigned long long>(m.samplesOut), m.rateHz, firstMs);
    log_.write(config_.debug > 0 ? 1 : 4, line);
  }
}

void Speaker::begin(Message& m) {
  if (m.begun) return;
  m.begun = true;
  out_.write("701 BEGIN\n");
}

void Speaker::flushAudio(Message& m) {
  if (m.pending.empty()) return;
  begin(m);
  if (!m.audible) {
    m.audible = true;
    m.firstAudio = Clock::now();
  }
  out_.write(audioEvent(m.pending, m.rateHz));
  m.samplesOut += m.pending.size();
  m.pending.clear();
}

bool Speaker::deliver(Message& m, const std::int16_t* samples, std::size_t count) {
  if (halted()) return false;
  if (serverAudio_.load()) {
    m.pending.insert(m.pending.end(), samples, samples + count);
    if (m.pending.size() >= m.chunkSamples) flushAudio(m);
    return !halted();
  }
  // The module's own output stands in for a sound card: each block is
  // "played" in its real time, so STOP is heard within one block and marks
  // come when playback reaches them.
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < count; i += m.blockSamples) {
    if (halted()) return false;
    const std::size_t n = std::min(m.blockSamples, count - i);
    const Clock::time_point now = Clock::now();
    const auto playedFor = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(m.samplesOut) / m.rateHz));
    if (!m.audible) {
      begin(m);
      m.audible = true;
      m.firstAudio = now;
      m.playStart = now;
    } else if (now > m.playStart + playedFor) {
      // Synthesis fell behind playback: the device ran dry and starts again now.
      m.playStart = now - playedFor;
    }
    if (file_ != nullptr) {
      bytes.clear();
      for (std::size_t k = i; k < i + n; ++k) {
        const auto u = static_cast<std::uint16_t>(samples[k]);
        bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(u >> 8));
      }
      std::fwrite(bytes.data(), 1, bytes.size(), file_);
      std::fflush(file_);
    }
    m.samplesOut += n;
    const auto playedUntil = m.playStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                               static_cast<double>(m.samplesOut) / m.rateHz));
    std::unique_lock lock(pacingMutex_);
    pacing_.wait_until(lock, playedUntil, [this] { return halted(); });
  }
  return !halted();
}

void Speaker::reachMark(Message& m, const sonvale_event& event) {
  if (halted()) return;
  flushAudio(m);
  begin(m);
  const std::string_view raw = event.name != nullptr ? event.name : "";
  std::size_t index = 0;
  const auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), index);
  const bool ours = ec == std::errc() && end == raw.data() + raw.size() && index < m.request.marks.size();
  const std::string_view name = ours ? std::string_view(m.request.marks[index]) : raw;
  out_.write(indexMarkEvent(name));
  ++m.marksOut;
  if (log_.wants(4) || config_.debug > 0)
    log_.write(config_.debug > 0 ? 1 : 4, "message " + std::to_string(m.number) + " mark " + std::string(name) +
                                              " after " + std::to_string(m.samplesOut) + " samples");
  if (pauseRequested_.load() && name.starts_with("__spd_")) {
    paused_.store(true);
    sonvale_abort(m.voice);
  }
}

// The callbacks run inside the engine: nothing may be thrown through it. Out
// of memory ends the message as a failure would.
int Speaker::onAudio(void* user, const std::int16_t* samples, std::size_t count) {
  auto& m = *static_cast<Message*>(user);
  try {
    return m.speaker->deliver(m, samples, count) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    m.failed = true;
    return 1;
  }
}

void Speaker::onEvent(void* user, const sonvale_event* event) {
  auto& m = *static_cast<Message*>(user);
  try {
    if (event != nullptr && event->kind == SONVALE_EVENT_BOOKMARK) m.speaker->reachMark(m, *event);
  } catch (const std::bad_alloc&) {
    m.failed = true;
    sonvale_abort(m.voice);
  }
}

// ---------------------------------------------------------------------------

ModuleServer::ModuleServer(int in, int out, ModuleConfig config, std::string configError)
    : in_(in),
      config_(std::move(config)),
      configError_(std::move(configError)),
      out_(out),
      voices_(config_.voice),
      speaker_(out_, log_, config_, voices_) {
  if (config_.debug > 0) log_.setLevel(5);
}

ModuleServer::~ModuleServer() { speaker_.shutdown(); }

bool ModuleServer::readLine(std::string& line) {
  for (;;) {
    const std::size_t eol = buffer_.find('\n', bufferStart_);
    if (eol != std::string::npos) {
      line.assign(buffer_, bufferStart_, eol - bufferStart_);
      bufferStart_ = eol + 1;
      if (bufferStart_ == buffer_.size()) {
        buffer_.clear();
        bufferStart_ = 0;
      }
      return true;
    }
    if (inputEnded_) {
      if (bufferStart_ >= buffer_.size()) return false;
      line.assign(buffer_, bufferStart_);
      buffer_.clear();
      bufferStart_ = 0;
      return true;
    }
    if (bufferStart_ > 0) {
      buffer_.erase(0, bufferStart_);
      bufferStart_ = 0;
    }
    char chunk[65536];
    const ssize_t n = ::read(in_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      inputEnded_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

bool ModuleServer::readBlock(std::vector<std::string>& lines, bool data) {
  lines.clear();
  std::string line;
  while (readLine(line)) {
    if (line == ".") return true;
    lines.emplace_back(data ? unescapeDataLine(line) : std::string_view(line));
  }
  return false;
}

int ModuleServer::run() {
  std::string line;
  while (readLine(line)) {
    const std::string_view command = trimmedRight(line);
    log_.write(5, "command: " + oneLine(command.substr(0, 80)));
    if (command == "INIT") {
      init();
    } else if (command == "AUDIO") {
      audio();
    } else if (command == "LOGLEVEL") {
      logLevel();
    } else if (command == "DEBUG OFF") {
      log_.setDebugFile("");
      out_.write("200 OK DEBUGGING OFF\n");
    } else if (command.starts_with("DEBUG ON ")) {
      const std::string path(command.substr(9));
      const std::string error = log_.setDebugFile(path);
      out_.write(error.empty() ? "200 OK DEBUGGING ON\n" : "303-" + oneLine(error) + "\n303 ERROR CANT OPEN FILE\n");
    } else if (command == "SET") {
      set();
    } else if (command == "SPEAK") {
      speak(SpeakRequest::Kind::Markup, command);
    } else if (command == "CHAR" || command == "KEY") {
      speak(SpeakRequest::Kind::Plain, command);
    } else if (command == "SOUND_ICON") {
      speak(SpeakRequest::Kind::SoundIcon, command);
    } else if (command == "STOP") {
      speaker_.stop();
    } else if (command == "PAUSE") {
      speaker_.pause();
    } else if (command == "LIST VOICES") {
      listVoices();
    } else if (command == "QUIT") {
      speaker_.shutdown();
      out_.write("210 OK QUIT\n");
      return 0;
    } else {
      log_.write(2, "unknown command: " + oneLine(command.substr(0, 80)));
      out_.write("300 ERROR UNKNOWN COMMAND\n");
    }
  }
  speaker_.shutdown();
  return 0;
}

void ModuleServer::init() {
  std::string error = configError_;
  if (error.empty() && !initialised_) {
    error = voices_.openConfigured();
    if (error.empty()) error = speaker_.openOutput();
    initialised_ = error.empty();
  }
  if (!error.empty()) {
    log_.write(1, "cannot start: " + error);
    out_.write("399-" + oneLine(error) + "\n399 ERROR CANT INIT MODULE\n");
    return;
  }
  out_.write("299-Sonvale: voice " + voices_.configuredName() + " is loaded\n299 OK LOADED SUCCESSFULLY\n");
}

void ModuleServer::audio() {
  out_.write("207 OK RECEIVING AUDIO SETTINGS\n");
  std::vector<std::string> lines;
  if (!readBlock(lines, false)) return;
  std::string method;
  for (const std::string& line : lines) {
    std::string_view name, value;
    if (!splitSetting(line, name, value)) {
      out_.write("300-'" + oneLine(line) + "' is no name=value line\n300 ERROR AUDIO NOT INITIALIZED\n");
      return;
    }
    if (name == "audio_output_method") method = value;
  }
  const bool serverOffered = method == "server";
  std::string refusal;
  if (config_.output == AudioOutput::Server && !serverOffered) {
    refusal =
        "this module plays through speech-dispatcher's own audio (audio_output_method=server), not '" + method + "'";
  } else if (config_.output != AudioOutput::Server && serverOffered) {
    refusal = "SonvaleAudioOutput asks for the module's own output";
  }
  if (!refusal.empty()) {
    log_.write(3, "audio: " + refusal);
    out_.write("300-" + oneLine(refusal) + "\n300 ERROR AUDIO NOT INITIALIZED\n");
    return;
  }
  speaker_.setServerAudio(serverOffered);
  out_.write("203 OK AUDIO INITIALIZED\n");
}

void ModuleServer::logLevel() {
  out_.write("207 OK RECEIVING LOGLEVEL SETTINGS\n");
  std::vector<std::string> lines;
  if (!readBlock(lines, false)) return;
  for (const std::string& line : lines) {
    std::string_view name, value;
    int level = 0;
    if (!splitSetting(line, name, value) || name != "log_level" ||
        std::from_chars(value.data(), value.data() + value.size(), level).ptr != value.data() + value.size() ||
        value.empty()) {
      out_.write("303-'" + oneLine(line) + "' is no log_level=N line\n303 ERROR INVALID LOGLEVEL\n");
      return;
    }
    if (config_.debug == 0) log_.setLevel(level);
  }
  out_.write("203 OK LOGLEVEL SET\n");
}

void ModuleServer::set() {
  out_.write("203 OK RECEIVING SETTINGS\n");
  std::vector<std::string> lines;
  if (!readBlock(lines, false)) return;
  std::string errors;
  for (const std::string& line : lines) {
    std::string_view name, value;
    std::string error;
    if (!splitSetting(line, name, value)) {
      error = "'" + line + "' is no name=value line";
    } else {
      error = applySetting(settings_, name, value);
    }
    if (!error.empty()) {
      log_.write(2, "SET: " + error);
      errors += "303-" + oneLine(error) + "\n";
    }
  }
  out_.write(errors.empty() ? std::string("203 OK SETTINGS RECEIVED\n") : errors + "303 ERROR INVALID SETTINGS\n");
}

void ModuleServer::speak(SpeakRequest::Kind kind, std::string_view command) {
  const std::string name(command);
  out_.write("202 OK SEND DATA\n");
  std::vector<std::string> lines;
  if (!readBlock(lines, true)) return;
  if (!initialised_) {
    out_.write("401 ERROR NOT INITIALIZED\n");
    return;
  }
  SpeakRequest request;
  request.kind = kind;
  request.settings = settings_;
  if (kind == SpeakRequest::Kind::Markup) {
    std::string ssml;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i > 0) ssml.push_back('\n');
      ssml += lines[i];
    }
    host::SapiText sapi;
    if (const std::string error = host::ssmlToSapi(ssml, settings_.spell, sapi); !error.empty()) {
      log_.write(2, "SPEAK: " + error);
      out_.write("302-" + oneLine(error) + "\n302 ERROR INVALID SSML\n");
      return;
    }
    request.text = std::move(sapi.markup);
    request.marks = std::move(sapi.marks);
  } else {
    if (lines.size() != 1 || lines[0].empty()) {
      out_.write("302 ERROR " + name + " TAKES ONE LINE\n");
      return;
    }
    request.text = lines[0];
    // Key names join their words with '_' or '-' ("shift_a", "kp-enter"); a
    // key that is only one of those characters is read as it is.
    if (name == "KEY" && request.text.size() > 1)
      std::replace_if(
          request.text.begin(), request.text.end(), [](char c) { return c == '_' || c == '-'; }, ' ');
  }
  if (!speaker_.start(std::move(request), "200 OK SPEAKING\n")) out_.write("301 ERROR ALREADY SPEAKING\n");
}

void ModuleServer::listVoices() {
  std::string reply;
  for (const std::string& name : voices_.listNames())
    reply += "200-" + name + "\t" + std::string(kVoiceLanguage) + "\tnone\n";
  reply += "200 OK VOICE LIST SENT\n";
  out_.write(reply);
}

}  // namespace sonvale::speechd
