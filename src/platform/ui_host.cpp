#include <cstdio>
#include <mutex>

#include "platform/ui.h"

namespace sonvale::platform {

namespace {

std::mutex sinkMutex;
WarningSink currentSink = nullptr;
void* currentContext = nullptr;

const char* headline(UserWarning warning) {
  switch (warning) {
    case UserWarning::VoiceDamaged:
      return "the voice database is damaged; install the voice again";
    case UserWarning::NumberTooLarge:
      return "the number is too large to be read";
  }
  return "warning";
}

}  // namespace

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
  std::fprintf(stderr, "sonvale: %s%s%s\n", headline(warning), detail.empty() ? "" : ": ", detail.c_str());
}

}  // namespace sonvale::platform
