#include <cstdio>
#include <cstdlib>

#include "ui/ui.h"
#include "ui/ui_text.h"

namespace sonvale::ui {

void showDefaultWarning(UserWarning warning, const std::string& detail) {
  const char* headline = warningHeadline(warning);
  if (detail.empty()) {
    std::fprintf(stderr, "sonvale: %s\n", headline);
  } else {
    std::fprintf(stderr, "sonvale: %s (%s)\n", headline, detail.c_str());
  }
}

std::uint32_t userDefaultLcid() {
  return lcidFromLocaleVariables(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
}

}  // namespace sonvale::ui
