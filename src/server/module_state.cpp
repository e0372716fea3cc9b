#include "server/module_state.h"

#include <atomic>

namespace sonvale::server {

namespace {

std::atomic<LONG> lockCount{0};

}  // namespace

void lockModule() { lockCount.fetch_add(1); }

void unlockModule() { lockCount.fetch_sub(1); }

LONG moduleLockCount() { return lockCount.load(); }

void countObject(int delta) {
  if (delta > 0) {
    lockModule();
  } else if (delta < 0) {
    unlockModule();
  }
}

}  // namespace sonvale::server
