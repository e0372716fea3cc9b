#include "voice_commands.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "command_line.h"
#include "host/voice_tokens.h"
#include "platform/utf.h"
#include "synth/syllable_voice.h"
#include "synth/voice_builder.h"

namespace sonvale::tools {

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kBuildUsage[] =
    "usage: sonvale voice build UNITS_DIR WORDS_FILE OUT_DIR\n"
    "       sonvale voice build --syllables DIR [--units FILE] [--fill-from VOICE] WORDS_FILE OUT_DIR\n"
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
    "separated (-10..10; durationIndex -9..10). NOTE is up to 49 characters.\n"
    "\n"
    "--syllables DIR builds from one recording per syllable instead, named by its\n"
    "jyutping (gaa1.wav, ngo5.flac; any format, rate and channel count libsndfile\n"
    "reads). Each recording has its DC offset removed, its silence cut, 5 ms fades\n"
    "and one loudness (EBU R128). Every unit of the unit list says its syllables:\n"
    "  --units FILE       the unit list (default: units.txt beside WORDS_FILE),\n"
    "                     UNIT<TAB>JYUTPING[<TAB>SHARE OF TEXT IN %] a line\n"
    "  --fill-from VOICE  take missing syllables from VOICE (an installed voice's\n"
    "                     name or a voice folder with its units.txt); without it\n"
    "                     units that need a missing syllable say nothing\n"
    "Missing syllables are listed, the most used first. The default voice's folder\n"
    "holds both words.txt and units.txt:\n"
    "  sonvale voice build --syllables my_clips DEFAULT_VOICE/words.txt my_voice\n";

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

// The folder of VOICE: a folder, or an installed voice's name or display name.
std::string voiceFolder(const std::string& voice, std::string& folder) {
  std::error_code ec;
  if (std::filesystem::is_directory(voice, ec)) {
    folder = voice;
    return {};
  }
  std::vector<host::VoiceInfo> voices;
  if (std::string error = host::listVoices(voices); !error.empty()) return error;
  const std::u16string wanted = platform::utf8ToUtf16(voice);
  for (const host::VoiceInfo& v : voices)
    if (platform::equalsIgnoreAsciiCase(platform::utf8ToUtf16(v.name), wanted) ||
        platform::equalsIgnoreAsciiCase(platform::utf8ToUtf16(v.displayName), wanted)) {
      folder = std::filesystem::path(v.voiceDef).parent_path().string();
      return {};
    }
  return "--fill-from " + voice + ": no such folder or installed voice (see 'sonvale voices')";
}

// Prints what a build from syllables found missing: the count, the share of
// running text, and the most used missing syllables.
void reportMissing(const voice::SyllableBuildReport& report, bool filling) {
  for (const std::string& name : report.ignored)
    std::fprintf(stderr, "sonvale: voice build: ignored %s: no unit says that syllable\n", name.c_str());
  if (report.missing.empty()) return;
  std::size_t filled = 0;
  double share = 0;
  for (const voice::MissingSyllable& m : report.missing) {
    filled += m.filled ? 1 : 0;
    share += m.use.sharePercent;
  }
  std::printf("%zu of %zu syllables have no recording (%.2f%% of running text), the most used first:\n",
              report.missing.size(), report.syllablesNeeded, share);
  constexpr std::size_t kShown = 40;
  for (std::size_t i = 0; i < report.missing.size() && i < kShown; ++i) {
    const voice::MissingSyllable& m = report.missing[i];
    std::printf("  %-8s %7.3f%%  %zu units%s\n", m.use.syllable.c_str(), m.use.sharePercent, m.use.units,
                m.filled  ? "  (filled)"
                : filling ? "  (not in the fill voice: silent)"
                          : "");
  }
  if (report.missing.size() > kShown) std::printf("  ... and %zu more\n", report.missing.size() - kShown);
  if (filled > 0) std::printf("%zu filled from the other voice\n", filled);
  if (report.unitsFilledWhole > 0) std::printf("%zu units taken whole from the other voice\n", report.unitsFilledWhole);
  if (report.silentUnits > 0)
    std::printf("%zu units say nothing (%.2f%% of running text), %zu words left out that need them\n",
                report.silentUnits, report.missingSharePercent, report.droppedWords);
}

}  // namespace

int voiceBuildCommand(int argc, char** argv) {
  constexpr int kSyllables = 256, kUnits = 257, kFillFrom = 258;
  const option options[] = {{"help", no_argument, nullptr, 'h'},
                            {"syllables", required_argument, nullptr, kSyllables},
                            {"units", required_argument, nullptr, kUnits},
                            {"fill-from", required_argument, nullptr, kFillFrom},
                            {nullptr, 0, nullptr, 0}};
  std::string syllablesDir, unitList, fillFrom;
  std::vector<std::string> args;
  const int status = readCommandLine(
      argc, argv, "h", options,
      [&](int c, const char* arg) {
        if (c == 'h') {
          std::fputs(kBuildUsage, stdout);
          return 0;
        }
        (c == kSyllables ? syllablesDir : c == kUnits ? unitList : fillFrom) = arg;
        return -1;
      },
      kBuildUsage, args);
  if (status >= 0) return status;
  const bool fromSyllables = !syllablesDir.empty();
  const std::size_t wanted = fromSyllables ? 2 : 3;
  if (args.size() != wanted || (!fromSyllables && (!unitList.empty() || !fillFrom.empty()))) {
    if (args.size() != wanted)
      std::fprintf(stderr, "sonvale: voice build%s takes %zu arguments, found %zu\n%s",
                   fromSyllables ? " --syllables" : "", wanted, args.size(), kBuildUsage);
    else
      std::fprintf(stderr, "sonvale: voice build: --units and --fill-from go with --syllables\n%s", kBuildUsage);
    return kExitUsage;
  }

  const bool showProgress = isatty(fileno(stderr)) != 0;
  bool progressShown = false;
  std::uint64_t lastPercent = 101;
  const auto progressOf = [&](const char* what) {
    return [&, what](std::uint32_t done, std::uint32_t total) {
      if (!showProgress) return;
      // One update per percent is plenty for a terminal.
      const std::uint64_t percent = total == 0 ? 100 : std::uint64_t{done} * 100 / total;
      if (percent == lastPercent && done != total) return;
      lastPercent = percent;
      std::fprintf(stderr, "\rsonvale: voice build: %u/%u %s ", done, total, what);
      std::fflush(stderr);
      progressShown = true;
    };
  };
  std::string error;
  voice::BuildSummary summary;
  if (fromSyllables) {
    voice::SyllableBuildOptions o;
    o.syllablesDir = syllablesDir;
    o.wordsFile = args[0];
    o.outDir = args[1];
    o.unitList = !unitList.empty() ? unitList : (std::filesystem::path(args[0]).parent_path() / "units.txt").string();
    if (!fillFrom.empty()) error = voiceFolder(fillFrom, o.fillFrom);
    voice::SyllableBuildReport report;
    if (error.empty()) error = voice::buildVoiceFromSyllables(o, progressOf("syllables"), progressOf("units"), report);
    if (progressShown) std::fputc('\n', stderr);
    progressShown = false;
    if (error.empty()) {
      reportMissing(report, !fillFrom.empty());
      if (report.peakLimitedUnits > 0)
        std::printf("%zu units are quieter than the rest: their loudness would have clipped\n",
                    report.peakLimitedUnits);
    }
    summary = report.summary;
  } else {
    error = voice::buildVoice(args[0], args[1], args[2], progressOf("units"), summary);
  }
  if (progressShown) std::fputc('\n', stderr);
  if (!error.empty()) {
    std::fprintf(stderr, "sonvale: voice build: %s\n", error.c_str());
    return kExitFailure;
  }
  std::printf("built %s: %u units (%.1f s of audio), %u words; %s %llu bytes, %s %llu bytes\n", args.back().c_str(),
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
