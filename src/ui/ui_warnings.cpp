// Routing of the user's warnings: to the receiver a host has set, else to
// the platform's own default (showDefaultWarning, in ui_host.cpp on Linux and
// ui_win32.cpp on Windows).
#include <mutex>

#include "ui/ui.h"
#include "ui/ui_text.h"

namespace sonvale::ui {

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
  try {
    showDefaultWarning(warning, detail);
  } catch (...) {
    // Out of memory for the texts: the warning is not shown.
  }
}

}  // namespace sonvale::ui
