#include "voice_commands.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "synth/voice_builder.h"

namespace sonvale::tools {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kBuildUsage[] =
    "usage: sonvale voice build UNITS_DIR WORDS_FILE OUT_DIR\n"
    "\n"
    "Builds a voice from recordings and a word list and writes voice.def (unit\n"
    "index), voice.dat (unit audio) and voice.wrd (word dictionary) into OUT_DIR,\n"
    "replacing any voice there only once every unit and word has been built.\n"
    "\n"
    "UNITS_DIR holds one recording per voice unit, named <unitcode>.wav (any\n"
    "format, rate and channel count libsndfile reads; at most 2.72 s once mixed to\n"
    "mono at 11025 Hz). Unit codes: 1000 + (c - U+4E00) for an ideograph c up to\n"
    "U+9FA5, 501..563 for U+3001..U+303F, the Latin-1 code for letters (upper\n"
    "case), digits and symbols; the other codes below 1000 are free for extra\n"
    "syllables. Files whose names do not begin with a digit are ignored.\n"
    "\n"
    "WORDS_FILE is UTF-8, one word a line, '#' comments and blank lines skipped:\n"
    "  TEXT<TAB>READING<TAB>ROMANIZATION<TAB>PARAMS<TAB>NOTE\n"
    "Only TEXT is required (2..8 characters, the first an ideograph). READING is\n"
    "the characters whose units are spoken, one a syllable (default: TEXT): unit\n"
    "c - 0x4A18 for c in U+4A18..U+9FA5, so U+4B18 is unit 256.\n"
    "ROMANIZATION is one item per character of TEXT, space-separated. PARAMS is\n"
    "one cutBefore,cutAfter,volumeIndex,durationIndex per syllable, space-\n"
    "separated (-10..10; durationIndex -9..10). NOTE is up to 49 characters.\n";

const char kCheckUsage[] =
    "usage: sonvale voice check DIR\n"
    "\n"
    "Loads voice.def, voice.dat and voice.wrd from DIR as the engine does, decodes\n"
    "every unit and checks every dictionary record. Prints each problem and a\n"
    "summary; exits 1 when there is a problem.\n";

// Gathers the operands; returns -1 to go on, else the exit status (0 after
// --help, 2 after an unknown option).
int positionals(int argc, char** argv, const char* usage, std::vector<std::string>& out) {
  const option options[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
  return readCommandLine(
      argc, argv, "h", options,
      [usage](int, const char*) {
        std::fputs(usage, stdout);
        return 0;
      },
      usage, out);
}

}  // namespace

int voiceBuildCommand(int argc, char** argv) {
  std::vector<std::string> args;
  if (const int status = positionals(argc, argv, kBuildUsage, args); status >= 0) return status;
  if (args.size() != 3) {
    std::fprintf(stderr, "sonvale: voice build takes 3 arguments, found %zu\n%s", args.size(), kBuildUsage);
    return kExitUsage;
  }

  const bool showProgress = isatty(fileno(stderr)) != 0;
  bool progressShown = false;
  std::uint64_t lastPercent = 101;
  const voice::BuildProgress progress = [&](std::uint32_t done, std::uint32_t total) {
    if (!showProgress) return;
    // One update per percent is plenty for a terminal.
    const std::uint64_t percent = total == 0 ? 100 : std::uint64_t{done} * 100 / total;
    if (percent == lastPercent && done != total) return;
    lastPercent = percent;
    std::fprintf(stderr, "\rsonvale: voice build: %u/%u units", done, total);
    std::fflush(stderr);
    progressShown = true;
  };
  voice::BuildSummary summary;
  const std::string error = voice::buildVoice(args[0], args[1], args[2], progress, summary);
  if (progressShown) std::fputc('\n', stderr);
  if (!error.empty()) {
    std::fprintf(stderr, "sonvale: voice build: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("built %s: %u units (%.1f s of audio), %u words; %s %llu bytes, %s %llu bytes\n", args[2].c_str(),
              summary.units, static_cast<double>(summary.decodedBytes) / 2.0 / 11025.0, summary.words,
              voice::kVoiceDataFileName, static_cast<unsigned long long>(summary.voiceDataBytes),
              voice::kVoiceWordFileName, static_cast<unsigned long long>(summary.voiceWordBytes));
  return 0;
}

int voiceCheckCommand(int argc, char** argv) {
  std::vector<std::string> args;
  if (const int status = positionals(argc, argv, kCheckUsage, args); status >= 0) return status;
  if (args.size() != 1) {
    std::fprintf(stderr, "sonvale: voice check takes 1 argument, found %zu\n%s", args.size(), kCheckUsage);
    return kExitUsage;
  }
  const voice::VoiceCheck check = voice::checkVoice(args[0]);
  for (const std::string& problem : check.problems) std::printf("%s\n", problem.c_str());
  std::printf("%s: %u units (%.1f s of audio), %u words, %zu problems\n", args[0].c_str(), check.unitsPresent,
              check.decodedSeconds(), check.words, check.problems.size());
  return check.problems.empty() ? 0 : kExitFailure;
}

}  // namespace sonvale::tools
