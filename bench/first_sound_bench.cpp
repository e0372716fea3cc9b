// Time to first sound: from starting `sonvale speak 你好` to its first sound
// in the sound server, with the default voice, side by side in the same run
// with `paplay` playing the same audio from a WAV file (what any player
// costs: connecting to the server and its start-up buffering), and with the
// first byte of `sonvale speak -o -` on a pipe (the engine alone: loading the
// voice and making the first syllable).
//
// The server is a headless PulseAudio of the benchmark's own with a null sink
// whose monitor is recorded at 5 ms latency; a sound is its first sample of
// magnitude 500 or more. Both players play the same samples, so the point
// where they cross it is the same.
//
//   first_sound_bench [VOICE_DIR] [ROUNDS]
// VOICE_DIR holds the voice (default: the build's voices/default).
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "headless_pulse.h"

namespace {

using sonvale::testing::HeadlessPulse;
using Clock = HeadlessPulse::Clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int runToEnd(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = sonvale::testing::spawnProcess(args, {}, log);
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Milliseconds from starting `args` to the first sound the server plays, or
// a negative number when none came.
double firstSound(HeadlessPulse& pulse, const std::vector<std::string>& args, const std::string& log) {
  const Clock::time_point start = Clock::now();
  if (runToEnd(args, log) != 0) return -1;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const Clock::time_point heard = pulse.firstSoundAfter(start, 500);
  return heard == Clock::time_point{} ? -1 : ms(heard - start);
}

// Milliseconds from starting `args` to the first byte on its standard output.
double firstByte(const std::vector<std::string>& args, const std::string& log) {
  int fd = -1;
  const Clock::time_point start = Clock::now();
  const pid_t pid = sonvale::testing::spawnProcess(args, {}, log, &fd);
  if (pid <= 0) return -1;
  char byte = 0;
  const bool got = read(fd, &byte, 1) == 1;
  const Clock::time_point first = Clock::now();
  char rest[4096];
  while (read(fd, rest, sizeof rest) > 0) {
  }
  close(fd);
  waitpid(pid, nullptr, 0);
  return got ? ms(first - start) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string voiceDir = argc > 1 ? argv[1] : SONVALE_DEFAULT_VOICE_DIR;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::string work = std::filesystem::temp_directory_path() / ("sonvale-first-sound-" + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  const std::string log = work + "/log", wav = work + "/hello.wav", cli = SONVALE_CLI;
  setenv("SONVALE_REGISTRY", (work + "/registry.reg").c_str(), 1);
  if (runToEnd({cli, "register"}, log) != 0 ||
      runToEnd({cli, "voice", "install", "REZuroruRadarorud", voiceDir}, log)) {
    std::fprintf(stderr, "cannot install the voice in %s (see %s)\n", voiceDir.c_str(), log.c_str());
    return 1;
  }
  int status = 0;
  {
    HeadlessPulse pulse(work + "/pulse");
    if (!pulse.running() || !pulse.startRecording()) {
      std::fprintf(stderr, "no PulseAudio server could be started (see %s)\n", pulse.log().c_str());
      return 1;
    }
    setenv("PULSE_SERVER", pulse.address().c_str(), 1);
    const std::string text = "你好";
    runToEnd({cli, "speak", "-o", wav, text}, log);  // also warms the page cache
    std::vector<double> speak, paplay, pipe;
    for (int i = 0; i < rounds; ++i) {
      speak.push_back(firstSound(pulse, {cli, "speak", text}, log));
      paplay.push_back(firstSound(pulse, {"paplay", wav}, log));
      pipe.push_back(firstByte({cli, "speak", "-o", "-", text}, log));
    }
    const bool failed = std::any_of(speak.begin(), speak.end(), [](double v) { return v < 0; }) ||
                        std::any_of(paplay.begin(), paplay.end(), [](double v) { return v < 0; });
    std::printf("time to first sound, median of %d runs, from process start:\n", rounds);
    std::printf("  sonvale speak %s            %7.1f ms\n", text.c_str(), median(speak));
    std::printf("  paplay of the same WAV        %7.1f ms\n", median(paplay));
    std::printf("  sonvale speak -o - (1st byte) %7.1f ms\n", median(pipe));
    std::printf("  ratio sonvale / paplay        %7.2f\n", median(speak) / median(paplay));
    if (failed) {
      std::fprintf(stderr, "some runs made no sound (see %s)\n", log.c_str());
      status = 1;
    }
  }
  std::filesystem::remove_all(work);
  return status;
}
