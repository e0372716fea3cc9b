#pragma once

namespace sonvale::tools {

// `sonvale analyze [TEXT...] [-f FILE] [--voice NAME] [--read-numbers] [--read-punctuation]`:
// shows, per word, its place in the text, its written form, the characters
// whose units are spoken and each syllable's cutBefore,cutAfter,volumeIndex,
// durationIndex. argv[0] is the command's name.
int analyzeCommand(int argc, char** argv);

}  // namespace sonvale::tools
