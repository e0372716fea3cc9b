// The `sonvale voice record` command: a guided recorder of syllables.
#pragma once

namespace sonvale::tools {

// `sonvale voice record DIR [--syllables FILE] [--list]`; argv[0] is "record".
// Returns 0, 1 after a failure (one line on stderr) or 2 for a usage error.
int voiceRecordCommand(int argc, char** argv);

}  // namespace sonvale::tools
