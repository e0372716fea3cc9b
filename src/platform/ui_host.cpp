#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/ui.h"
#include "platform/ui_text.h"

namespace sonvale::platform {

namespace {

std::mutex sinkMutex;
WarningSink currentSink = nullptr;
void* currentContext = nullptr;

}  // namespace

const char* warningHeadline(UserWarning warning) {
  const UiTexts& texts = uiTexts(currentUiLanguage());
  switch (warning) {
    case UserWarning::VoiceDamaged:
      return texts.reinstallMessage;
    case UserWarning::NumberTooLarge:
      return texts.numberTooLargeMessage;
  }
  return texts.numberTooLargeCaption;
}

void setWarningSink(WarningSink sink, void* context) {
  const std::lock_guard lock(sinkMutex);
  currentSink = sink;
  currentContext = context;
}

void showWarning(UserWarning warning, const std::string& detail) {
  const std::lock_guard lock(sinkMutex);
  if (currentSink != nullptr) {
    currentSink(warning, detail, currentContext);
    return;
  }
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

}  // namespace sonvale::platform
