#pragma once

namespace sonvale::tools {

// `sonvale config --list | --get NAME | --set NAME=VALUE`: the engine
// settings in the registry store. argv[0] is the command's name.
int configCommand(int argc, char** argv);

}  // namespace sonvale::tools
