// The guided recorder. One syllable at a time, the most used first: the
// screen shows it, its tone and everyday words with it; the take starts and
// stops on the speaker's voice, is trimmed, saved at once as DIR/<syllable>.wav
// and played back; keys keep it, redo it, skip the syllable or go back. A new
// session starts at the first syllable neither recorded nor skipped.
#include "record_command.h"

#include <poll.h>
#include <signal.h>
#include <sndfile.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command_line.h"
#include "host/sound_server.h"
#include "host/voice_tokens.h"
#include "synth/syllable_voice.h"

namespace sonvale::tools {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kRateHz = 22050;
constexpr std::size_t kChunk = kRateHz / 50;              // 20 ms, the unit of level decisions
constexpr std::size_t kPreRollChunks = 10;                // 200 ms kept before the voice starts
constexpr std::size_t kStartChunks = 2;                   // 40 ms above the start level begin a take
constexpr std::size_t kStopChunks = 25;                   // 500 ms below the stop level end it
constexpr std::size_t kMaxTakeChunks = 200;               // 4 s at most
constexpr std::size_t kLeadSamples = kRateHz / 10;        // kept before the first loud chunk
constexpr std::size_t kTailSamples = kRateHz * 15 / 100;  // and after the last
constexpr double kStartAboveFloorDb = 15;
constexpr double kLowestStartDb = -45;
constexpr double kStopBelowStartDb = 6;
constexpr int kClipLevel = 32000;
constexpr int kQuietPeak = 3000;                  // about -21 dBFS
constexpr double kDefaultSecondsPerSyllable = 4;  // until the session has its own pace
constexpr char kSkippedName[] = "skipped.txt";

const char kUsage[] =
    "usage: sonvale voice record DIR [--syllables FILE] [--list]\n"
    "\n"
    "Records one clip of each Cantonese syllable into DIR (DIR/<jyutping>.wav), the\n"
    "most used first, for `sonvale voice build --syllables DIR ...`. A full-screen\n"
    "session: it shows the syllable, its tone and everyday words with it, records\n"
    "from the default input when you speak and stops when you stop, warns when a\n"
    "take clips or is too quiet, plays it back and saves it at once. Keys:\n"
    "  Enter keep   r redo   p play again   s skip   b back   q quit\n"
    "The next session starts at the first syllable neither recorded nor skipped.\n"
    "  --syllables FILE  the syllable list (default: syllables.txt of the default\n"
    "                    voice's folder): SYLLABLE<TAB>SHARE[<TAB>EXAMPLE]... a line\n"
    "  --list            print the syllables not yet recorded, in order, and exit\n";

using Syllable = voice::SyllableEntry;

std::string readSyllables(const std::string& path, std::vector<Syllable>& list) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read the syllable list " + path;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (std::string error = voice::parseSyllableList(text, list); !error.empty()) return path + " " + error;
  if (list.empty()) return path + " lists no syllables";
  return {};
}

std::string defaultSyllableList(std::string& path) {
  std::vector<host::VoiceInfo> voices;
  if (std::string error = host::listVoices(voices); !error.empty()) return error;
  for (const host::VoiceInfo& v : voices)
    if (v.name == host::kDefaultVoiceName) {
      path = (fs::path(v.voiceDef).parent_path() / "syllables.txt").string();
      return {};
    }
  return "no default voice is installed to take the syllable list from; give it with --syllables FILE";
}

// The syllables that have a recording (any extension) and those skipped.
std::set<std::string> recordedIn(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && it->path().filename().string()[0] != '.') names.insert(it->path().stem().string());
  return names;
}

std::set<std::string> skippedIn(const fs::path& dir) {
  std::set<std::string> names;
  std::ifstream in(dir / kSkippedName);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) names.insert(line);
  return names;
}

void writeSkipped(const fs::path& dir, const std::set<std::string>& skipped) {
  const fs::path temporary = dir / (std::string(".") + kSkippedName);
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const std::string& s : skipped) out << s << '\n';
  }
  std::error_code ec;
  fs::rename(temporary, dir / kSkippedName, ec);
}

const char* toneInWords(char tone) {
  switch (tone) {
    case '1':
      return "tone 1: high level (55)";
    case '2':
      return "tone 2: high rising (25)";
    case '3':
      return "tone 3: mid level (33)";
    case '4':
      return "tone 4: low falling (21)";
    case '5':
      return "tone 5: low rising (23)";
    default:
      return "tone 6: low level (22)";
  }
}

double levelDb(const std::int16_t* samples, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  const double rms = std::sqrt(sum / static_cast<double>(std::max<std::size_t>(1, count))) / 32768.0;
  return rms > 0 ? 20 * std::log10(rms) : -120;
}

// Writes a take as a 16-bit WAV file beside its name, then renames it over.
std::string saveTake(const fs::path& file, const std::vector<std::int16_t>& take) {
  const fs::path temporary = file.parent_path() / ("." + file.filename().string() + ".tmp");
  SF_INFO info{};
  info.samplerate = kRateHz;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* f = sf_open(temporary.c_str(), SFM_WRITE, &info);
  if (f == nullptr) return "cannot write " + temporary.string() + ": " + sf_strerror(nullptr);
  const sf_count_t written = sf_write_short(f, take.data(), static_cast<sf_count_t>(take.size()));
  sf_write_sync(f);
  sf_close(f);
  std::error_code ec;
  if (written != static_cast<sf_count_t>(take.size())) return "cannot write " + temporary.string();
  fs::rename(temporary, file, ec);
  return ec ? "cannot rename " + temporary.string() + ": " + ec.message() : std::string();
}

std::string durationText(double seconds) {
  const auto minutes = static_cast<long>(std::lround(seconds / 60));
  char text[48];
  if (minutes >= 60)
    std::snprintf(text, sizeof text, "%ld h %02ld min", minutes / 60, minutes % 60);
  else
    std::snprintf(text, sizeof text, "%ld min", std::max(1L, minutes));
  return text;
}

std::atomic<bool> interrupted{false};

// The terminal in raw mode on the alternate screen while the object lives.
class Screen {
 public:
  Screen() {
    if (tcgetattr(STDIN_FILENO, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      raw.c_cc[VMIN] = 0;
      raw.c_cc[VTIME] = 0;
      active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    std::fputs("\x1b[?1049h\x1b[?25l", stdout);
    std::fflush(stdout);
  }
  ~Screen() {
    std::fputs("\x1b[?25h\x1b[?1049l", stdout);
    std::fflush(stdout);
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  Screen(const Screen&) = delete;
  Screen& operator=(const Screen&) = delete;

  // A key, or 0 after `timeoutMs` without one.
  static int key(int timeoutMs) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return 0;
    unsigned char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : 0;
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// Everything the capture thread has recorded and the main loop not yet taken.
class CaptureQueue {
 public:
  void push(const std::vector<std::int16_t>& block) {
    std::lock_guard<std::mutex> lock(mutex_);
    samples_.insert(samples_.end(), block.begin(), block.end());
  }
  std::vector<std::int16_t> take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::int16_t> out(samples_.begin(), samples_.end());
    samples_.clear();
    return out;
  }
  void fail(std::string error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = std::move(error);
  }
  std::string error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  std::mutex mutex_;
  std::deque<std::int16_t> samples_;
  std::string error_;
};

enum class State { Listening, Recording, Review };

class Recorder {
 public:
  Recorder(fs::path dir, std::vector<Syllable> list) : dir_(std::move(dir)), list_(std::move(list)) {
    recorded_ = recordedIn(dir_);
    skipped_ = skippedIn(dir_);
    for (const Syllable& s : list_) totalShare_ += s.sharePercent;
    current_ = firstOpen(0);
  }

  // Runs the session until the speaker quits or every syllable is done.
  // Returns "" or what failed.
  std::string run() {
    host::SoundServerCapture capture;
    if (std::string error = capture.open(kRateHz, "Sonvale recorder"); !error.empty())
      return "cannot record from the sound server: " + error;
    CaptureQueue queue;
    std::atomic<bool> stop{false};
    std::thread reader([&] {
      std::vector<std::int16_t> block(kChunk);
      while (!stop) {
        if (std::string error = capture.read(block.data(), block.size()); !error.empty()) {
          queue.fail(error);
          return;
        }
        queue.push(block);
      }
    });
    std::string error;
    {
      Screen screen;
      error = loop(queue);
    }
    stop = true;
    reader.join();
    return error;
  }

  std::size_t recordedCount() const {
    return static_cast<std::size_t>(std::count_if(
        list_.begin(), list_.end(), [this](const Syllable& s) { return recorded_.count(s.syllable) > 0; }));
  }

 private:
  std::size_t firstOpen(std::size_t from) const {
    for (std::size_t i = from; i < list_.size(); ++i)
      if (!recorded_.count(list_[i].syllable) && !skipped_.count(list_[i].syllable)) return i;
    return list_.size();
  }

  std::string loop(CaptureQueue& queue) {
    Clock::time_point lastDraw{};
    shownAt_ = Clock::now();
    while (current_ < list_.size() && !interrupted) {
      if (std::string error = queue.error(); !error.empty()) return "recording stopped: " + error;
      const int key = Screen::key(20);
      if (key != 0 && !handleKey(key)) break;
      if (current_ >= list_.size()) break;
      const std::vector<std::int16_t> audio = queue.take();
      if (Clock::now() < ignoreUntil_) {
        pending_.clear();
      } else {
        pending_.insert(pending_.end(), audio.begin(), audio.end());
        while (pending_.size() >= kChunk) {
          const std::vector<std::int16_t> chunk(pending_.begin(), pending_.begin() + kChunk);
          pending_.erase(pending_.begin(), pending_.begin() + kChunk);
          if (std::string error = onChunk(chunk); !error.empty()) return error;
        }
      }
      if (Clock::now() - lastDraw > std::chrono::milliseconds(60) || key != 0) {
        draw();
        lastDraw = Clock::now();
      }
    }
    return {};
  }

  // Returns false to quit.
  bool handleKey(int key) {
    const Syllable& s = list_[current_];
    switch (key) {
      case 'q':
      case 'Q':
      case 27:
        return false;
      case '\r':
      case '\n':
      case 'k':
        if (!recorded_.count(s.syllable)) {
          message_ = "Nothing to keep yet: say the syllable first (or s to skip it).";
          return true;
        }
        if (state_ == State::Review) {
          keptSeconds_ += std::chrono::duration<double>(Clock::now() - shownAt_).count();
          ++kept_;
        }
        moveTo(firstOpen(current_ + 1));
        return true;
      case 'r':
        listen("Listening again: say the syllable.");
        return true;
      case 'p':
        if (!lastTake_.empty()) play(lastTake_);
        return true;
      case 's':
        skipped_.insert(s.syllable);
        writeSkipped(dir_, skipped_);
        moveTo(firstOpen(current_ + 1));
        return true;
      case 'b':
        if (current_ > 0) moveTo(current_ - 1);
        return true;
      default:
        return true;
    }
  }

  void moveTo(std::size_t index) {
    current_ = index;
    lastTake_.clear();
    warning_.clear();
    shownAt_ = Clock::now();
    if (current_ < list_.size() && skipped_.erase(list_[current_].syllable) > 0) writeSkipped(dir_, skipped_);
    listen(current_ < list_.size() && recorded_.count(list_[current_].syllable)
               ? "Recorded already: Enter keeps it, or say it again to replace it."
               : "Listening: say the syllable on its own.");
  }

  void listen(const char* message) {
    state_ = State::Listening;
    message_ = message;
    history_.clear();
    take_.clear();
    loudChunks_ = quietChunks_ = 0;
  }

  std::string onChunk(const std::vector<std::int16_t>& chunk) {
    const double db = levelDb(chunk.data(), chunk.size());
    level_ = db;
    const double start = std::max(floorDb_ + kStartAboveFloorDb, kLowestStartDb);
    if (state_ == State::Recording) {
      take_.insert(take_.end(), chunk.begin(), chunk.end());
      ++takeChunks_;
      if (db >= start - kStopBelowStartDb) {
        quietChunks_ = 0;
        lastLoudEnd_ = take_.size();
      } else {
        ++quietChunks_;
      }
      if (quietChunks_ >= kStopChunks || takeChunks_ >= kMaxTakeChunks) return finishTake();
      return {};
    }
    // Listening (or reviewing: speaking again replaces the take). The floor
    // follows the quietest recent level, rising slowly.
    floorDb_ = db < floorDb_ ? db : floorDb_ + 0.05;
    history_.push_back(chunk);
    if (history_.size() > kPreRollChunks) history_.pop_front();
    loudChunks_ = db >= start ? loudChunks_ + 1 : 0;
    if (loudChunks_ >= kStartChunks) {
      state_ = State::Recording;
      message_ = "Recording...";
      take_.clear();
      for (const auto& c : history_) take_.insert(take_.end(), c.begin(), c.end());
      history_.clear();
      firstLoud_ = take_.size() - kStartChunks * kChunk;
      lastLoudEnd_ = take_.size();
      takeChunks_ = 0;
      quietChunks_ = 0;
    }
    return {};
  }

  std::string finishTake() {
    const std::size_t begin = firstLoud_ > kLeadSamples ? firstLoud_ - kLeadSamples : 0;
    const std::size_t end = std::min(take_.size(), lastLoudEnd_ + kTailSamples);
    std::vector<std::int16_t> trimmed(take_.begin() + static_cast<std::ptrdiff_t>(begin),
                                      take_.begin() + static_cast<std::ptrdiff_t>(end));
    int peak = 0;
    for (const std::int16_t x : trimmed) peak = std::max(peak, std::abs(int{x}));
    const Syllable& s = list_[current_];
    if (std::string error = saveTake(dir_ / (s.syllable + ".wav"), trimmed); !error.empty()) return error;
    recorded_.insert(s.syllable);
    lastTake_ = trimmed;
    warning_ = peak >= kClipLevel  ? "Clipped: speak a little softer or further from the microphone, then r."
               : peak < kQuietPeak ? "Too quiet: speak up or come closer to the microphone, then r."
                                   : "";
    state_ = State::Review;
    message_ = "Take saved (" + std::to_string(trimmed.size() * 1000 / kRateHz) + " ms). Enter keeps it, r redoes it.";
    draw();
    play(trimmed);
    history_.clear();
    loudChunks_ = 0;
    return {};
  }

  // Plays a take; what the input hears meanwhile (the take itself, through
  // the speakers) is ignored.
  void play(const std::vector<std::int16_t>& take) {
    host::SoundServerStream out;
    if (out.open(kRateHz, "Sonvale recorder").empty()) {
      out.write(take.data(), take.size());
      out.drain();
    }
    ignoreUntil_ = Clock::now() + std::chrono::milliseconds(300);
  }

  void draw() const {
    std::string screen = "\x1b[H\x1b[2J";
    char line[256];
    const std::size_t done = recordedCount();
    double covered = 0;
    for (const Syllable& s : list_)
      if (recorded_.count(s.syllable)) covered += s.sharePercent;
    std::snprintf(line, sizeof line, " Sonvale voice recorder: %s\r\n\r\n", dir_.string().c_str());
    screen += line;
    if (current_ < list_.size()) {
      const Syllable& s = list_[current_];
      std::snprintf(line, sizeof line, " Syllable %zu of %zu (the most used first; %.3f%% of running text)\r\n\r\n",
                    current_ + 1, list_.size(), s.sharePercent);
      screen += line;
      std::snprintf(line, sizeof line, "      %-10s %s\r\n\r\n", s.syllable.c_str(), toneInWords(s.syllable.back()));
      screen += line;
      std::string examples = "      ";
      for (const std::string& e : s.examples) examples += e + "      ";
      screen += examples + "\r\n\r\n";
    }
    const int bars = std::clamp(static_cast<int>((level_ + 60) * 40 / 60), 0, 40);
    std::snprintf(line, sizeof line, " [%s%s] %4.0f dB\r\n", std::string(static_cast<std::size_t>(bars), '#').c_str(),
                  std::string(static_cast<std::size_t>(40 - bars), '.').c_str(), level_);
    screen += line;
    screen += " " + message_ + "\r\n";
    screen += warning_.empty() ? "\r\n" : " ! " + warning_ + "\r\n";
    screen += "\r\n Enter keep   r redo   p play again   s skip   b back   q quit\r\n";
    const double perSyllable = kept_ > 0 ? keptSeconds_ / static_cast<double>(kept_) : kDefaultSecondsPerSyllable;
    std::snprintf(line, sizeof line, " Recorded %zu of %zu, %.1f%% of running text; about %s left\r\n", done,
                  list_.size(), totalShare_ > 0 ? 100 * covered / totalShare_ : 0.0,
                  durationText(static_cast<double>(list_.size() - done) * perSyllable).c_str());
    screen += line;
    std::fputs(screen.c_str(), stdout);
    std::fflush(stdout);
  }

  fs::path dir_;
  std::vector<Syllable> list_;
  std::set<std::string> recorded_, skipped_;
  double totalShare_ = 0;
  std::size_t current_ = 0;
  State state_ = State::Listening;
  std::string message_ = "Listening: say the syllable on its own.", warning_;
  std::vector<std::int16_t> pending_, take_, lastTake_;
  std::deque<std::vector<std::int16_t>> history_;
  std::size_t loudChunks_ = 0, quietChunks_ = 0, takeChunks_ = 0, firstLoud_ = 0, lastLoudEnd_ = 0;
  double floorDb_ = -60, level_ = -120;
  Clock::time_point ignoreUntil_{}, shownAt_{};
  double keptSeconds_ = 0;
  std::size_t kept_ = 0;
};

}  // namespace

int voiceRecordCommand(int argc, char** argv) {
  constexpr int kSyllables = 256, kList = 257;
  const option options[] = {{"help", no_argument, nullptr, 'h'},
                            {"syllables", required_argument, nullptr, kSyllables},
                            {"list", no_argument, nullptr, kList},
                            {nullptr, 0, nullptr, 0}};
  std::string listPath;
  bool listOnly = false;
  std::vector<std::string> args;
  const int status = readCommandLine(
      argc, argv, "h", options,
      [&](int c, const char* arg) {
        if (c == 'h') {
          std::fputs(kUsage, stdout);
          return 0;
        }
        if (c == kSyllables) listPath = arg;
        if (c == kList) listOnly = true;
        return -1;
      },
      kUsage, args);
  if (status >= 0) return status;
  if (args.size() != 1) {
    std::fprintf(stderr, "sonvale: voice record takes 1 argument, found %zu\n%s", args.size(), kUsage);
    return kExitUsage;
  }
  const fs::path dir(args[0]);
  std::vector<Syllable> list;
  std::string error;
  if (listPath.empty()) error = defaultSyllableList(listPath);
  if (error.empty()) error = readSyllables(listPath, list);
  std::error_code ec;
  if (error.empty() && !fs::is_directory(dir, ec) && !fs::create_directories(dir, ec))
    error = "cannot create " + dir.string() + ": " + ec.message();
  if (!error.empty()) {
    std::fprintf(stderr, "sonvale: voice record: %s\n", error.c_str());
    return kExitFailure;
  }

  if (listOnly) {
    const std::set<std::string> recorded = recordedIn(dir), skipped = skippedIn(dir);
    std::size_t missing = 0;
    double share = 0;
    for (const Syllable& s : list) {
      if (recorded.count(s.syllable)) continue;
      ++missing;
      share += s.sharePercent;
      std::string examples;
      for (const std::string& e : s.examples) examples += '\t' + e;
      std::printf("%s\t%.4f%%%s%s\n", s.syllable.c_str(), s.sharePercent, skipped.count(s.syllable) ? "\tskipped" : "",
                  examples.c_str());
    }
    std::fprintf(stderr, "%zu of %zu syllables not recorded (%.2f%% of running text)\n", missing, list.size(), share);
    return 0;
  }

  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    std::fprintf(stderr, "sonvale: voice record: needs a terminal (or use --list)\n");
    return kExitUsage;
  }
  struct sigaction action {};
  action.sa_handler = [](int) { interrupted = true; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  Recorder recorder(dir, std::move(list));
  error = recorder.run();
  if (!error.empty()) {
    std::fprintf(stderr, "sonvale: voice record: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("%zu syllables recorded in %s\n", recorder.recordedCount(), dir.string().c_str());
  return 0;
}

}  // namespace sonvale::tools
