#pragma once

namespace sonvale::tools {

// `sonvale register [--unregister] [MODULE]`: loads the engine module and
// runs its DllRegisterServer (or DllUnregisterServer), which writes (or
// removes) the engine's classes and type library in the registry store.
// MODULE defaults to the libsonvale.so beside the command, else the one an
// install puts in the library folder, else the one this command was built
// with. argv[0] is the command's name.
int registerCommand(int argc, char** argv);

}  // namespace sonvale::tools
