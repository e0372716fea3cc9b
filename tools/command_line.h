// The one way the sonvale commands read their arguments: GNU-style options
// anywhere among the operands, "--" ending the options.
#pragma once

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

namespace sonvale::tools {

// Handles option `c` (its short letter, or the value its long form names)
// with its argument `arg` (null when it takes none). Returns -1 to go on, or
// the exit status the command ends with.
using OptionHandler = std::function<int(int c, const char* arg)>;

// Reads argv[1..argc) (argv[0] is the command's name): options may stand
// before, between or after the operands, and everything after "--" is an
// operand, so a text such as "-5%" is given as `-- -5%`. Operands are
// appended to `operands` in order. Returns -1 when every argument was read,
// the handler's status when it stopped, or 2 after printing an unknown option
// or a missing value, and `usage`, to standard error.
int readCommandLine(int argc, char** argv, const char* shortOptions, const option* longOptions,
                    const OptionHandler& onOption, const char* usage, std::vector<std::string>& operands);

// Makes the machine-wide registry store the only one this process reads and
// writes, the engine module it loads included (they share the environment):
// what `--system` asks for. Only root can write that store.
void useMachineRegistry();

// The operands joined by single spaces: a text given as several words.
std::string joinOperands(const std::vector<std::string>& operands);

}  // namespace sonvale::tools
