// sd_sonvale: speech-dispatcher's output module for Sonvale. The server starts
// it as `sd_sonvale CONFIG_FILE` and talks to it on standard input and output;
// standard error is the module's log.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "module_server.h"
#include "protocol_text.h"

int main(int argc, char** argv) {
  // A server that goes away shows up as a failed write, not a signal.
  signal(SIGPIPE, SIG_IGN);
  sonvale::speechd::ModuleConfig config;
  std::string configError;
  if (argc > 1 && argv[1][0] != '\0') {
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
      configError = std::string("cannot read ") + argv[1] + ": " + std::strerror(errno);
    } else {
      const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
      configError = sonvale::speechd::parseModuleConfig(text, config);
      if (!configError.empty()) configError = std::string(argv[1]) + ": " + configError;
    }
  }
  if (configError.empty() && !config.registry.empty()) setenv("SONVALE_REGISTRY", config.registry.c_str(), 1);
  try {
    sonvale::speechd::ModuleServer server(STDIN_FILENO, STDOUT_FILENO, std::move(config), std::move(configError));
    return server.run();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "sd_sonvale: %s\n", e.what());
    return 1;
  }
}
