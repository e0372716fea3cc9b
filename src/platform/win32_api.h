// The Windows API calls of the Windows platform layer, declared with standard
// C++ types only. com.h declares the COM types with the system's layouts but
// under the same names as <windows.h>, so the two cannot meet in one file:
// win32_api_win32.cpp includes <windows.h> and implements these functions,
// and the files that implement the portable headers over com.h (the
// registry, file mapping, the module entry, the type library) call the
// system through them.
//
// Results are what the system returns: a Win32 error code (registry, files)
// or an HRESULT (OLE Automation), as a 32-bit integer. Text is UTF-16, as
// the system's wide-character functions take it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sonvale::platform::win32 {

using Handle = void*;

// ---- the module ------------------------------------------------------------

// Keeps the module's instance handle (DllMain's HINSTANCE) for modulePath and
// typeLibraryResource; switches off thread attach and detach notifications.
void attachModule(Handle instance);

// The module's full path from GetModuleFileNameW, up to MAX_PATH code units;
// empty when it cannot be found or does not fit. In a program that is no
// module (attachModule never called) it is the program's path.
std::u16string modulePath();

// Loads the module at `path`, calls its exported `HRESULT __stdcall entry()`
// (DllRegisterServer, DllUnregisterServer) and unloads it. Returns the entry's
// HRESULT, or HRESULT_FROM_WIN32 of why the module or the entry was not found.
std::int32_t callModuleEntry(const char16_t* path, const char* entry);

// The bytes of the module's resource of type "TYPELIB", number 1; empty when
// the module has none. The bytes live as long as the module is loaded.
const std::uint8_t* typeLibraryResource(std::size_t& size);

// ---- the registry (advapi32) -----------------------------------------------

// 0 HKEY_CLASSES_ROOT, 1 HKEY_CURRENT_USER, 2 HKEY_LOCAL_MACHINE.
Handle registryRoot(int root);

// RegCreateKeyExW / RegOpenKeyExW below `parent` with read and write access
// (RegOpenKeyExW: read only when `write` is false).
std::int32_t regCreateKey(Handle parent, const char16_t* subKey, Handle& key);
std::int32_t regOpenKey(Handle parent, const char16_t* subKey, bool write, Handle& key);
void regCloseKey(Handle key);

// RegQueryValueExW, RegSetValueExW, RegDeleteValueW, RegDeleteTreeW.
std::int32_t regQueryValue(Handle key, const char16_t* name, std::uint32_t* type, std::uint8_t* data,
                           std::uint32_t* cbData);
std::int32_t regSetValue(Handle key, const char16_t* name, std::uint32_t type, const std::uint8_t* data,
                         std::uint32_t cbData);
std::int32_t regDeleteValue(Handle key, const char16_t* name);
std::int32_t regDeleteTree(Handle parent, const char16_t* subKey);

// RegEnumKeyExW / RegEnumValueW of entry `index`; ERROR_NO_MORE_ITEMS (259)
// past the last one.
std::int32_t regEnumKey(Handle key, std::uint32_t index, std::u16string& name);
std::int32_t regEnumValue(Handle key, std::uint32_t index, std::u16string& name);

// ---- files -------------------------------------------------------------------

// Maps the whole file at `path` read-only: CreateFileW (GENERIC_READ,
// FILE_SHARE_READ, OPEN_EXISTING), CreateFileMappingW (PAGE_READONLY, size 0)
// and MapViewOfFile (FILE_MAP_READ, offset 0, size 0); the file handle is
// closed again. Returns 0 with the view, its size and the mapping handle, or
// GetLastError of the step that failed (ERROR_FILE_INVALID for an empty
// file, which cannot be mapped), with nothing left open.
std::int32_t mapFileReadOnly(const char16_t* path, const std::uint8_t*& view, std::size_t& size, Handle& mapping);

// UnmapViewOfFile and CloseHandle of what mapFileReadOnly gave.
void unmapFile(const std::uint8_t* view, Handle mapping);

// ---- OLE Automation (oleaut32) ---------------------------------------------

// LoadTypeLib of the library at `path` (a module with a TYPELIB resource or a
// .tlb file). Returns an HRESULT; `library` is released with
// releaseTypeLibrary.
std::int32_t loadTypeLibrary(const char16_t* path, Handle& library);
void releaseTypeLibrary(Handle library);

// RegisterTypeLib(library, path, helpDir).
std::int32_t registerTypeLibrary(Handle library, const char16_t* path, const char16_t* helpDir);

// UnRegisterTypeLib, looked up by name in "oleaut32.dll" at the time of the
// call, with the library's LIBID, version, locale and system kind. S_OK
// without doing anything when oleaut32 or the function is missing, or when
// that version and locale of the library is not registered.
std::int32_t unregisterTypeLibrary(Handle library);

}  // namespace sonvale::platform::win32
