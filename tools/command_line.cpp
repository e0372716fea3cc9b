#include "command_line.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/registry.h"

namespace sonvale::tools {

int readCommandLine(int argc, char** argv, const char* shortOptions, const option* longOptions,
                    const OptionHandler& onOption, const char* usage, std::vector<std::string>& operands) {
  // A leading '-' hands operands back in place (as option 1) whatever
  // POSIXLY_CORRECT says; ':' reports a missing value apart from an unknown
  // option. optind 0 starts glibc's scanner afresh.
  const std::string optionString = std::string("-:") + shortOptions;
  optind = 0;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, optionString.c_str(), longOptions, nullptr)) != -1;) {
    if (c == 1) {
      operands.emplace_back(optarg);
      continue;
    }
    if (c == '?' || c == ':') {
      // For a long option optopt is 0 and the argument just read names it.
      const std::string name = optopt != 0 ? std::string("-") + static_cast<char>(optopt) : argv[optind - 1];
      std::fprintf(stderr, "sonvale: %s '%s'\n%s", c == '?' ? "unknown option" : "a value is needed after",
                   name.c_str(), usage);
      return 2;
    }
    if (const int status = onOption(c, optarg); status >= 0) return status;
  }
  for (int i = optind; i < argc; ++i) operands.emplace_back(argv[i]);
  return -1;
}

void useMachineRegistry() { ::setenv("SONVALE_REGISTRY", platform::machineRegistryStorePath().c_str(), 1); }

std::string joinOperands(const std::vector<std::string>& operands) {
  std::string text;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    if (i > 0) text += ' ';
    text += operands[i];
  }
  return text;
}

}  // namespace sonvale::tools
