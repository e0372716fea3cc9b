// The module's classes, in the order of registration and of the search in
// DllGetClassObject: KelvaneObj, then KelvaneUI. Each row keeps its class
// object once a client has asked for it.
#pragma once

#include <string_view>

#include "platform/com.h"
#include "server/registration.h"

namespace sonvale::server {

// Module paths of this many UTF-16 code units or more do not fit the
// MAX_PATH buffer that Windows hands out module paths in.
inline constexpr std::size_t kMaxPath = 260;
inline constexpr LONG ERROR_FILENAME_EXCED_RANGE = 206;

// DllGetClassObject: E_POINTER for a null ppv; else *ppv is cleared, the
// class object of `rclsid` is made on the first request (once, under a
// lock) and kept, and its QueryInterface(riid) result is returned.
// CLASS_E_CLASSNOTAVAILABLE for an unknown CLSID, or when the query leaves
// *ppv null without an error; E_OUTOFMEMORY when the class object cannot be
// made.
HRESULT getClassObject(REFCLSID rclsid, REFIID riid, void** ppv);

// Releases the module's reference of every class object made; at unload.
void releaseClassObjects();

// DllRegisterServer for the module at `modulePath`: each class's
// registration, then the type library's. Returns the first failure (what
// was written before it stays), else S_OK. A path of kMaxPath code units or
// more is refused with HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE) before
// anything is written.
HRESULT registerServer(std::u16string_view modulePath, const StepRunner& run = runStepInRegistry);

// DllUnregisterServer: each class's removal, then the type library's.
// Returns the first failure, else S_OK.
HRESULT unregisterServer(std::u16string_view modulePath, const StepRunner& run = runStepInRegistry);

}  // namespace sonvale::server
