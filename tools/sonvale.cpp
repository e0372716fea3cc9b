// The sonvale command: reads Chinese text aloud in Cantonese.
//
//   sonvale speak [TEXT...] [-f FILE] [-o OUT.wav | -o -] [--raw] [--rate N]
//                 [--volume N] [--voice NAME] [--events FILE|-] [--ssml|--xml|--plain]
//   sonvale analyze [TEXT...] [-f FILE] [--read-numbers] [--read-punctuation] [--json]
//   sonvale voices
//   sonvale voice install NAME DIR [--display TEXT] [--system] | remove NAME [--system]
//                 | build ... | check DIR | record DIR
//   sonvale config --list | --get NAME | --set NAME=VALUE
//
// Exit status: 0 success, 1 failure (one line on standard error), 2 usage error.
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "analyze_command.h"
#include "command_line.h"
#include "config_command.h"
#include "host/sound_server.h"
#include "host/voice_tokens.h"
#include "platform/le_bytes.h"
#include "platform/utf.h"
#include "record_command.h"
#include "register_command.h"
#include "sonvale/sonvale.h"
#include "synth/voice_builder.h"
#include "voice_commands.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

const char kUsage[] =
    "usage: sonvale COMMAND [ARGS...]\n"
    "\n"
    "Reads Chinese text aloud in Cantonese.\n"
    "\n"
    "commands:\n"
    "  speak     speak text aloud, or into a WAV file, raw PCM or events\n"
    "  analyze   show how text is cut into words, readings and numbers\n"
    "  voices    list the installed voices\n"
    "  voice     install, remove, build, check or record a voice\n"
    "  config    show or change the engine settings\n"
    "  register  register (or --unregister) the engine's COM module\n"
    "\n"
    "'sonvale COMMAND --help' tells more.\n";

const char kSpeakUsage[] =
    "usage: sonvale speak [TEXT...] [-f FILE] [-o OUT.wav | -o -] [--raw] [--rate N]\n"
    "                     [--volume N] [--voice NAME] [--events FILE|-] [--ssml | --xml | --plain]\n"
    "\n"
    "Speaks TEXT (UTF-8), or the text of FILE, or standard input, through the sound\n"
    "server (PulseAudio or PipeWire; ALSA's default device where no server runs)\n"
    "unless -o says where the audio goes instead.\n"
    "  -o OUT.wav       write a WAV file (at the rate the voice announces)\n"
    "  -o -             write raw 16-bit little-endian mono PCM to standard output,\n"
    "                   e.g. | aplay -f S16_LE -r 11025 -c 1\n"
    "  --raw            write raw PCM to OUT instead of a WAV file\n"
    "  --rate N         speaking rate, -10 (slow) to 10 (fast); 0 is normal\n"
    "  --volume N       volume, 0 to 100 (the default)\n"
    "  --voice NAME     an installed voice by name or display name, any case, or the\n"
    "                   start of one (see 'sonvale voices'); default voice otherwise\n"
    "  --events FILE|-  write every event as one JSON object per line\n"
    "  --ssml           read SSML (<speak>, <mark name=\"x\"/>, <break time=\"500ms\"/>,\n"
    "                   <prosody rate=\"fast\">, <say-as interpret-as=\"digits\">, ...)\n"
    "  --xml, --plain   read the speech API's markup (<bookmark mark=\"x\"/>,\n"
    "                   <silence msec=\"500\"/>, <spell>, <pron>) or none; by default SSML\n"
    "                   is read when the text begins with <speak>, markup when it\n"
    "                   begins with '<'\n"
    "Options may also follow the text; '--' ends them (sonvale speak -- -5%).\n"
    "Ctrl-C stops speaking: the sound at once, and a WAV file is left valid with\n"
    "what was spoken.\n";

const char kVoicesUsage[] =
    "usage: sonvale voices\n"
    "\n"
    "Lists the installed voices: name, display name, language, gender, folder.\n";

const char kVoiceUsage[] =
    "usage: sonvale voice install NAME DIR [--display TEXT] [--system]\n"
    "       sonvale voice remove NAME [--system]\n"
    "       sonvale voice build UNITS_DIR WORDS_FILE OUT_DIR\n"
    "       sonvale voice build --syllables DIR [--units FILE] [--fill-from VOICE] WORDS_FILE OUT_DIR\n"
    "       sonvale voice check DIR\n"
    "       sonvale voice record DIR [--syllables FILE] [--list]\n"
    "\n"
    "install: checks the voice in DIR (voice.def, voice.dat, voice.wrd) and makes it\n"
    "         an installed voice called NAME.\n"
    "remove:  forgets the installed voice NAME (its files stay).\n"
    "  --system   install or remove the voice for every user of the machine, in\n"
    "             the machine-wide store (as root); otherwise for you alone\n";

void fail(const std::string& message) { std::fprintf(stderr, "sonvale: %s\n", message.c_str()); }

int usageError(const std::string& message, const char* usage) {
  fail(message);
  std::fputs(usage, stderr);
  return kExitUsage;
}

bool parseInt(const char* text, long low, long high, int& out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool readWholeFile(const std::string& path, std::string& out) {
  if (path == "-") {
    out.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return true;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// Audio out: a WAV file whose sizes are patched when it is finished, or raw
// PCM to a file or standard output. The file is made when the first audio
// comes (or when speaking succeeded without any), so that a text refused
// before speaking, such as malformed SSML, leaves no file behind and an
// existing one as it was.
class AudioOut {
 public:
  void open(const std::string& path, bool raw, int rateHz) {
    path_ = path;
    raw_ = raw || path == "-";
    rateHz_ = static_cast<std::uint32_t>(rateHz);
  }

  bool created() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }

  bool write(const std::int16_t* samples, std::size_t count) {
    if (!create()) return false;
    std::uint8_t bytes[4096];
    while (count > 0) {
      const std::size_t n = count < sizeof bytes / 2 ? count : sizeof bytes / 2;
      for (std::size_t i = 0; i < n; ++i) sonvale::putU16le(bytes + 2 * i, static_cast<std::uint16_t>(samples[i]));
      if (std::fwrite(bytes, 2, n, file_) != n) {
        error_ = (path_ == "-" ? std::string("standard output") : path_) + ": " + std::strerror(errno);
        return false;
      }
      dataBytes_ += 2 * n;
      samples += n;
      count -= n;
    }
    return true;
  }

  // Patches the WAV sizes and closes; false when anything failed to reach the file.
  bool finish() {
    if (!create()) return false;
    bool ok = std::fflush(file_) == 0;
    if (owned_ && !raw_) {
      const auto data = static_cast<std::uint32_t>(dataBytes_ > 0xFFFFFFD0u ? 0xFFFFFFD0u : dataBytes_);
      std::uint8_t field[4];
      sonvale::putU32le(field, 38 + data);
      ok = ok && std::fseek(file_, static_cast<long>(sonvale::kWavRiffSizeOffset), SEEK_SET) == 0 &&
           std::fwrite(field, 1, 4, file_) == 4;
      sonvale::putU32le(field, data);
      ok = ok && std::fseek(file_, static_cast<long>(sonvale::kWavDataSizeOffset), SEEK_SET) == 0 &&
           std::fwrite(field, 1, 4, file_) == 4;
    }
    if (owned_) ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) error_ = path_ + ": " + std::strerror(errno);
    return ok;
  }

  std::uint64_t dataBytes() const { return dataBytes_; }

 private:
  bool create() {
    if (file_ != nullptr) return true;
    if (path_ == "-") {
      file_ = stdout;
      return true;
    }
    file_ = std::fopen(path_.c_str(), "wb");
    if (file_ == nullptr) {
      error_ = path_ + ": " + std::strerror(errno);
      return false;
    }
    owned_ = true;
    if (!raw_) {
      const auto header = sonvale::pcmWavHeader(rateHz_, 0);
      if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
        error_ = path_ + ": " + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  std::string path_;
  std::string error_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
  bool raw_ = false;
  std::uint32_t rateHz_ = 11025;
  std::uint64_t dataBytes_ = 0;
};

std::atomic<sonvale_voice*> speakingVoice{nullptr};
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
  interrupted = 1;
  sonvale_abort(speakingVoice.load());
}

struct SpeakContext {
  AudioOut* audio = nullptr;
  sonvale::host::SoundServerStream* player = nullptr;
  int rateHz = 11025;
  std::string playError;
  std::FILE* events = nullptr;
  bool audioFailed = false;
  bool progress = false;
  std::uint32_t textBytes = 0;
  int shownPercent = -1;
};

// Plays in pieces of 20 ms, so that Ctrl-C waits for no more than one piece
// to be taken by the server before what is queued is dropped.
int play(SpeakContext& context, const std::int16_t* samples, std::size_t count) {
  const std::size_t piece = static_cast<std::size_t>(context.rateHz / 50);
  while (count > 0 && interrupted == 0) {
    const std::size_t n = count < piece ? count : piece;
    context.playError = context.player->write(samples, n);
    if (!context.playError.empty()) {
      context.audioFailed = true;
      return 1;
    }
    samples += n;
    count -= n;
  }
  return 0;
}

int onAudio(void* user, const std::int16_t* samples, std::size_t count) {
  auto* context = static_cast<SpeakContext*>(user);
  if (context->player != nullptr) return play(*context, samples, count);
  if (context->audio == nullptr) return 0;
  if (!context->audio->write(samples, count)) {
    context->audioFailed = true;
    return 1;
  }
  return 0;
}

void onEvent(void* user, const sonvale_event* e) {
  auto* context = static_cast<SpeakContext*>(user);
  if (context->events != nullptr) {
    static const char* const kNames[] = {"", "sentence", "word", "bookmark"};
    std::string line = std::string("{\"event\":\"") + kNames[e->kind] +
                       "\",\"offset\":" + std::to_string(e->audio_offset) + ",\"pos\":" + std::to_string(e->text_pos) +
                       ",\"len\":" + std::to_string(e->text_len);
    if (e->kind == SONVALE_EVENT_BOOKMARK)
      line += ",\"name\":" + jsonString(e->name) + ",\"value\":" + std::to_string(e->value);
    line += "}\n";
    std::fputs(line.c_str(), context->events);
  }
  if (context->progress && context->textBytes > 0) {
    const int percent = static_cast<int>(100.0 * e->utf8_pos / context->textBytes);
    if (percent != context->shownPercent) {
      context->shownPercent = percent;
      const int filled = percent * 30 / 100;
      std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "##############################", 30 - filled, "", percent);
    }
  }
}

int speakCommand(int argc, char** argv) {
  enum { kRaw = 256, kRate, kVolume, kVoice, kEvents, kXml, kSsml, kPlain };
  const option options[] = {{"file", required_argument, nullptr, 'f'},
                            {"output", required_argument, nullptr, 'o'},
                            {"raw", no_argument, nullptr, kRaw},
                            {"rate", required_argument, nullptr, kRate},
                            {"volume", required_argument, nullptr, kVolume},
                            {"voice", required_argument, nullptr, kVoice},
                            {"events", required_argument, nullptr, kEvents},
                            {"xml", no_argument, nullptr, kXml},
                            {"ssml", no_argument, nullptr, kSsml},
                            {"plain", no_argument, nullptr, kPlain},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  std::string file, output, voiceName, eventsPath;
  bool raw = false;
  int rate = 0, volume = 100, textKind = SONVALE_TEXT_AUTO;
  std::vector<std::string> words;
  const int status = sonvale::tools::readCommandLine(
      argc, argv, "f:o:h", options,
      [&](int c, const char* arg) {
        switch (c) {
          case 'f':
            file = arg;
            break;
          case 'o':
            output = arg;
            break;
          case kRaw:
            raw = true;
            break;
          case kRate:
            if (!parseInt(arg, -10, 10, rate)) return usageError("--rate takes a number from -10 to 10", kSpeakUsage);
            break;
          case kVolume:
            if (!parseInt(arg, 0, 100, volume)) return usageError("--volume takes a number from 0 to 100", kSpeakUsage);
            break;
          case kVoice:
            voiceName = arg;
            break;
          case kEvents:
            eventsPath = arg;
            break;
          case kXml:
            textKind = SONVALE_TEXT_XML;
            break;
          case kPlain:
            textKind = SONVALE_TEXT_PLAIN;
            break;
          case 'h':
            std::fputs(kSpeakUsage, stdout);
            return kExitOk;
        }
        return -1;
      },
      kSpeakUsage, words);
  if (status >= 0) return status;
  std::string text;
  if (!words.empty()) {
    if (!file.empty()) return usageError("give the text or -f FILE, not both", kSpeakUsage);
    text = sonvale::tools::joinOperands(words);
  } else if (!file.empty()) {
    if (!readWholeFile(file, text)) {
      fail(file + ": " + std::strerror(errno));
      return kExitFailure;
    }
  } else {
    readWholeFile("-", text);
  }
  if (output == "-" && eventsPath == "-")
    return usageError("audio and events cannot both go to standard output", kSpeakUsage);

  // Ctrl-C from here on ends speaking through the engine's abort, and a
  // WAV file begun is always finished.
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  struct sigaction previous {};
  sigaction(SIGINT, &action, &previous);
  struct RestoreHandler {
    struct sigaction* previous;
    ~RestoreHandler() { sigaction(SIGINT, previous, nullptr); }
  } restore{&previous};

  char error[512];
  sonvale_voice* voice = nullptr;
  if (sonvale_open(voiceName.c_str(), &voice, error, sizeof error) != SONVALE_OK) {
    fail(error);
    return kExitFailure;
  }
  std::unique_ptr<sonvale_voice, void (*)(sonvale_voice*)> closer(voice, sonvale_close);
  sonvale_set_rate(voice, rate);
  sonvale_set_volume(voice, volume);

  SpeakContext context;
  context.rateHz = sonvale_sample_rate(voice);
  AudioOut audio;
  sonvale::host::SoundServerStream player;
  std::string openError;
  if (output.empty()) {
    openError = player.open(context.rateHz, "Speech");
    if (!openError.empty()) {
      fail("no sound server to play through (" + openError + "); write the audio with -o OUT.wav or -o - instead");
      return kExitFailure;
    }
    context.player = &player;
  } else {
    audio.open(output, raw, sonvale_sample_rate(voice));
    context.audio = &audio;
  }
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> eventsFile(nullptr, std::fclose);
  if (eventsPath == "-") {
    context.events = stdout;
  } else if (!eventsPath.empty()) {
    eventsFile.reset(std::fopen(eventsPath.c_str(), "w"));
    if (!eventsFile) {
      fail(eventsPath + ": " + std::strerror(errno));
      return kExitFailure;
    }
    context.events = eventsFile.get();
  }
  // A few seconds of speech or more: show how far it has come, on a terminal.
  context.textBytes = static_cast<std::uint32_t>(text.size());
  context.progress = isatty(fileno(stderr)) != 0 && text.size() > 120;

  // An interrupt that came before speaking began leaves an empty file.
  speakingVoice = voice;
  const int result = interrupted != 0 ? SONVALE_OK
                                      : sonvale_speak(voice, text.data(), static_cast<ptrdiff_t>(text.size()), textKind,
                                                      onAudio, onEvent, &context);
  speakingVoice = nullptr;
  if (context.progress) std::fputs("\r\033[K", stderr);

  if (context.player != nullptr) {
    // Ctrl-C silences at once: what the server holds is dropped, not played out.
    if (interrupted != 0) {
      player.flush();
    } else if (!context.audioFailed) {
      context.playError = player.drain();
      context.audioFailed = !context.playError.empty();
    }
    if (context.audioFailed) {
      fail("the sound server stopped playing: " + context.playError);
      return kExitFailure;
    }
  }
  // A call that failed before any audio came leaves no file.
  const bool finished =
      context.audio == nullptr || (result != SONVALE_OK && !audio.created() && !context.audioFailed) || audio.finish();
  if (context.audioFailed || !finished) {
    fail(audio.error());
    return kExitFailure;
  }
  if (result != SONVALE_OK) {
    fail(sonvale_last_error(voice));
    return kExitFailure;
  }
  if (interrupted != 0) {
    fail(context.player != nullptr ? "interrupted" : "interrupted; the audio spoken so far was kept");
    return kExitInterrupted;
  }
  return kExitOk;
}

int voicesCommand(int argc, char** argv) {
  const option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  std::vector<std::string> operands;
  const int status = sonvale::tools::readCommandLine(
      argc, argv, "h", options,
      [](int, const char*) {
        std::fputs(kVoicesUsage, stdout);
        return kExitOk;
      },
      kVoicesUsage, operands);
  if (status >= 0) return status;
  if (!operands.empty()) return usageError("voices takes no arguments", kVoicesUsage);
  std::vector<sonvale::host::VoiceInfo> voices;
  const std::string error = sonvale::host::listVoices(voices);
  if (!error.empty()) {
    fail(error);
    return kExitFailure;
  }
  if (voices.empty()) std::fputs("no voice is installed\n", stderr);
  for (const auto& v : voices) {
    const std::string dir = v.voiceDef.substr(0, v.voiceDef.find_last_of('/'));
    std::printf("%s\t%s\t%s\t%s\t%s%s\n", v.name.c_str(), v.displayName.c_str(),
                sonvale::host::languageTag(v.language).c_str(), v.gender.c_str(), dir.c_str(),
                v.name == sonvale::host::kDefaultVoiceName ? "\t(default)" : "");
  }
  return kExitOk;
}

int voiceInstall(int argc, char** argv) {
  enum { kDisplay = 256, kSystem };
  const option options[] = {{"display", required_argument, nullptr, kDisplay},
                            {"system", no_argument, nullptr, kSystem},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  std::string display;
  std::vector<std::string> positional;
  const int status = sonvale::tools::readCommandLine(
      argc, argv, "h", options,
      [&](int c, const char* arg) {
        if (c == kDisplay) {
          display = arg;
          return -1;
        }
        if (c == kSystem) {
          sonvale::tools::useMachineRegistry();
          return -1;
        }
        std::fputs(kVoiceUsage, stdout);
        return kExitOk;
      },
      kVoiceUsage, positional);
  if (status >= 0) return status;
  if (positional.size() != 2) return usageError("voice install takes NAME and DIR", kVoiceUsage);
  const sonvale::voice::VoiceCheck check = sonvale::voice::checkVoice(positional[1]);
  if (!check.problems.empty()) {
    fail(positional[1] + ": " + check.problems.front() +
         (check.problems.size() > 1 ? " (and " + std::to_string(check.problems.size() - 1) + " more problems)" : ""));
    return kExitFailure;
  }
  if (display.empty() && positional[0] == sonvale::host::kDefaultVoiceName)
    display = sonvale::host::kDefaultVoiceDisplayName;
  const std::string error = sonvale::host::installVoice(positional[0], display, positional[1]);
  if (!error.empty()) {
    fail(error);
    return kExitFailure;
  }
  std::fprintf(stderr, "installed voice %s from %s (%u units, %u words)\n", positional[0].c_str(),
               positional[1].c_str(), check.unitsPresent, check.words);
  return kExitOk;
}

int voiceRemove(int argc, char** argv) {
  const option options[] = {
      {"system", no_argument, nullptr, 's'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  std::vector<std::string> positional;
  const int status = sonvale::tools::readCommandLine(
      argc, argv, "h", options,
      [&](int c, const char*) {
        if (c == 's') {
          sonvale::tools::useMachineRegistry();
          return -1;
        }
        std::fputs(kVoiceUsage, stdout);
        return kExitOk;
      },
      kVoiceUsage, positional);
  if (status >= 0) return status;
  if (positional.size() != 1) return usageError("voice remove takes NAME", kVoiceUsage);
  const std::string error = sonvale::host::removeVoice(positional[0]);
  if (!error.empty()) {
    fail(error);
    return kExitFailure;
  }
  return kExitOk;
}

int voiceCommand(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kVoiceUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : kExitOk;
  }
  const std::string sub = argv[1];
  if (sub == "build") return sonvale::tools::voiceBuildCommand(argc - 1, argv + 1);
  if (sub == "check") return sonvale::tools::voiceCheckCommand(argc - 1, argv + 1);
  if (sub == "record") return sonvale::tools::voiceRecordCommand(argc - 1, argv + 1);
  if (sub == "install") return voiceInstall(argc - 1, argv + 1);
  if (sub == "remove") return voiceRemove(argc - 1, argv + 1);
  return usageError("unknown voice command '" + sub + "'", kVoiceUsage);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  // Each command sees its own name as argv[0].
  if (command == "speak") return speakCommand(argc - 1, argv + 1);
  if (command == "analyze") return sonvale::tools::analyzeCommand(argc - 1, argv + 1);
  if (command == "voices") return voicesCommand(argc - 1, argv + 1);
  if (command == "voice") return voiceCommand(argc - 1, argv + 1);
  if (command == "config") return sonvale::tools::configCommand(argc - 1, argv + 1);
  if (command == "register") return sonvale::tools::registerCommand(argc - 1, argv + 1);
  return usageError("unknown command '" + command + "'", kUsage);
}
