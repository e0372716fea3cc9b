// The `sonvale voice build` and `sonvale voice check` commands.
#pragma once

namespace sonvale::tools {

// `sonvale voice build UNITS_DIR WORDS_FILE OUT_DIR`; argv[0] is "build"
// and the arguments follow it. Returns the exit status: 0 built, 1 failed (one
// line on stderr), 2 usage error.
int voiceBuildCommand(int argc, char** argv);

// `sonvale voice check DIR`; argv[0] is "check".
// Prints each problem and a summary; returns 0 when there is no problem,
// 1 when there is one, 2 for a usage error.
int voiceCheckCommand(int argc, char** argv);

}  // namespace sonvale::tools
