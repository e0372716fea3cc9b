#include "espeak_recorder.h"

#include <espeak-ng/espeak_ng.h>
#include <espeak-ng/speak_lib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sonvale::recipe {

namespace {

// The phoneme string said, and thrown away, once after start-up.
constexpr char kThrowAway[] = "s'i1";
// The library's pitch range parameter: 100 spreads the tones over the whole
// range the voice definition gives (at the default of 50 the six tones span
// only about half of it).
constexpr int kPitchRange = 100;
constexpr int kChildFailed = 3;

// The synchronous callback has no context of its own; the recorder is one per
// process, as the library is.
std::vector<std::int16_t>* gTarget = nullptr;

int collect(short* wave, int count, espeak_EVENT*) {
  if (wave != nullptr && count > 0 && gTarget != nullptr) gTarget->insert(gTarget->end(), wave, wave + count);
  return 0;  // go on
}

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

EspeakRecorder::~EspeakRecorder() {
  if (started_) espeak_Terminate();
}

std::string EspeakRecorder::start(const std::string& voiceFile) {
  if (started_) return "the synthesizer is started already";
  const int rate = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
  if (rate <= 0) return "espeak-ng could not start (are its data files installed?)";
  started_ = true;
  rateHz_ = rate;
  espeak_SetSynthCallback(collect);
  if (espeak_ng_SetVoiceByFile(voiceFile.c_str()) != ENS_OK)
    return "espeak-ng could not load the voice definition " + voiceFile;
  if (espeak_SetParameter(espeakRANGE, kPitchRange, 0) != EE_OK) return "espeak-ng refused the pitch range";
  std::vector<std::int16_t> discarded;
  return synthesize(kThrowAway, discarded);
}

std::string EspeakRecorder::synthesize(const std::string& phonemes, std::vector<std::int16_t>& samples) {
  samples.clear();
  const std::string text = "[[" + phonemes + "]]";
  gTarget = &samples;
  const espeak_ERROR result = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                           espeakCHARS_UTF8 | espeakPHONEMES, nullptr, nullptr);
  const espeak_ERROR synced = espeak_Synchronize();
  gTarget = nullptr;
  if (result != EE_OK || synced != EE_OK) return "espeak-ng failed to say [[" + phonemes + "]]";
  return {};
}

std::string EspeakRecorder::say(const std::string& phonemes, std::vector<std::int16_t>& samples) {
  samples.clear();
  if (!started_) return "the synthesizer is not started";
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return std::string("cannot make a pipe: ") + std::strerror(errno);
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return std::string("cannot fork: ") + std::strerror(error);
  }
  if (child == 0) {
    // The child: say the unit, hand the samples over, and leave without
    // running the parent's exit handlers or flushing its buffers.
    close(pipeEnds[0]);
    std::vector<std::int16_t> own;
    const bool ok = synthesize(phonemes, own).empty() &&
                    writeAll(pipeEnds[1], reinterpret_cast<const std::uint8_t*>(own.data()), own.size() * 2);
    close(pipeEnds[1]);
    _exit(ok ? 0 : kChildFailed);
  }
  close(pipeEnds[1]);
  std::vector<std::uint8_t> bytes;
  std::uint8_t piece[16384];
  for (;;) {
    const ssize_t got = read(pipeEnds[0], piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes.insert(bytes.end(), piece, piece + got);
  }
  close(pipeEnds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || bytes.size() % 2 != 0)
    return "espeak-ng failed to say [[" + phonemes + "]] (in its child process)";
  samples.resize(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), bytes.size());
  return {};
}

}  // namespace sonvale::recipe
