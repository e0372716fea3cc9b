#include "register_command.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "host/com_activation.h"
#include "platform/registry.h"

namespace sonvale::tools {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kModuleName[] = "libsonvale.so";
constexpr LONG kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE

const char kRegisterUsage[] =
    "usage: sonvale register [--unregister] [--system] [MODULE]\n"
    "\n"
    "Registers the engine module MODULE (its classes and type library) in the\n"
    "registry store, so that speaking can find the engine by its class id.\n"
    "  --unregister   remove the registration instead\n"
    "  --system       in the machine-wide store, for every user (as root)\n"
    "MODULE defaults to the libsonvale.so beside this command, else the installed\n"
    "one, else the one it was built with.\n";

// The directory of the running command, from the kernel's view of it.
std::filesystem::path commandDirectory() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path();
}

std::string defaultModule() {
  std::error_code ec;
  const std::filesystem::path dir = commandDirectory();
  if (!dir.empty() && std::filesystem::is_regular_file(dir / kModuleName, ec)) return (dir / kModuleName).string();
#ifdef SONVALE_INSTALLED_MODULE
  // Where an install puts the module, relative to the installed command.
  const std::filesystem::path installed = (dir / SONVALE_INSTALLED_MODULE).lexically_normal();
  if (!dir.empty() && std::filesystem::is_regular_file(installed, ec)) return installed.string();
#endif
#ifdef SONVALE_MODULE_PATH
  return SONVALE_MODULE_PATH;
#else
  return {};
#endif
}

std::string hresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// What a failed (un)registration most likely means, for the one-line message.
std::string explain(HRESULT hr) {
  if (hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) ||
      hr == HRESULT_FROM_WIN32(ERROR_CANTWRITE))
    return ": the registry store " + platform::registryStorePath() + " cannot be written";
  if (hr == HRESULT_FROM_WIN32(ERROR_BADDB))
    return ": the registry store " + platform::registryStorePath() + " is damaged";
  if (hr == HRESULT_FROM_WIN32(kErrorFilenameTooLong))
    return ": the module's path is too long (260 characters or more)";
  return "";
}

}  // namespace

int registerCommand(int argc, char** argv) {
  const option options[] = {{"unregister", no_argument, nullptr, 'u'},
                            {"system", no_argument, nullptr, 's'},
                            {"help", no_argument, nullptr, 'h'},
                            {nullptr, 0, nullptr, 0}};
  bool unregister = false;
  bool system = false;
  std::vector<std::string> modules;
  const int status = readCommandLine(
      argc, argv, "h", options,
      [&](int c, const char*) {
        if (c == 'u' || c == 's') {
          (c == 'u' ? unregister : system) = true;
          return -1;
        }
        std::fputs(kRegisterUsage, stdout);
        return kExitOk;
      },
      kRegisterUsage, modules);
  if (status >= 0) return status;
  if (modules.size() > 1) {
    std::fprintf(stderr, "sonvale: register takes one MODULE\n%s", kRegisterUsage);
    return kExitUsage;
  }
  if (system) useMachineRegistry();
  std::string module = modules.empty() ? std::string() : modules[0];
  if (module.empty()) module = defaultModule();
  if (module.empty()) {
    std::fprintf(stderr, "sonvale: no %s beside this command; name the module to register\n", kModuleName);
    return kExitFailure;
  }
  // Loaded by its absolute path, so that the module registers the file named
  // here and not one the dynamic linker would find by name.
  std::error_code ec;
  const std::filesystem::path absolute = std::filesystem::absolute(module, ec);
  if (!ec) module = absolute.lexically_normal().string();

  host::InprocServer server;
  std::string error;
  HRESULT hr = server.loadFile(module, error);
  if (FAILED(hr)) {
    std::fprintf(stderr, "sonvale: %s\n", error.c_str());
    return kExitFailure;
  }
  hr = unregister ? server.unregisterServer() : server.registerServer();
  if (FAILED(hr)) {
    std::fprintf(stderr, "sonvale: %s %s failed (HRESULT %s)%s\n", unregister ? "unregistering" : "registering",
                 module.c_str(), hresultText(hr).c_str(), explain(hr).c_str());
    return kExitFailure;
  }
  std::fprintf(stderr, "%s %s\n", unregister ? "unregistered" : "registered", module.c_str());
  return kExitOk;
}

}  // namespace sonvale::tools
