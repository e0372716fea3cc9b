// The module's lock count: while it is above zero the module must stay
// loaded. It counts every live object of either class, every
// LockServer(TRUE) not yet undone, and every class object that a client
// holds a reference to besides the module's own.
#pragma once

#include "platform/com.h"

namespace sonvale::server {

// Raise and lower the count; both are atomic and may be called on any thread.
void lockModule();
void unlockModule();

// The count as it is now.
LONG moduleLockCount();

// Raises (+1) or lowers (-1) the count for an object made or destroyed; the
// classes' creation functions hand it to their objects.
void countObject(int delta);

}  // namespace sonvale::server
