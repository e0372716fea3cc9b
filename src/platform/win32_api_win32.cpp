// The Windows API behind win32_api.h: turns the standard types of
// win32_api.h into the system's (char16_t text is wchar_t text on Windows,
// both UTF-16) and back, and does nothing else.
#include <windows.h>

#include <oleauto.h>

#include "platform/win32_api.h"

namespace sonvale::platform::win32 {

namespace {

HINSTANCE moduleInstance = nullptr;

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

// The longest key name is 255 code units and the longest value name 16383.
constexpr DWORD kMaxKeyName = 256;
constexpr DWORD kMaxValueName = 16384;

}  // namespace

void attachModule(Handle instance) {
  moduleInstance = static_cast<HINSTANCE>(instance);
  DisableThreadLibraryCalls(moduleInstance);
}

std::u16string modulePath() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(moduleInstance, path, MAX_PATH);
  // A path that fills the buffer was cut short.
  if (length == 0 || length >= MAX_PATH) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(path), length);
}

std::int32_t callModuleEntry(const char16_t* path, const char* entry) {
  HMODULE module = LoadLibraryW(reinterpret_cast<const wchar_t*>(path));
  if (module == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  using Entry = HRESULT(__stdcall*)();
  // GetProcAddress returns a generic function pointer; the entry's real type
  // is the one above.
  const auto function = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(module, entry)));
  const HRESULT result = function != nullptr ? function() : HRESULT_FROM_WIN32(GetLastError());
  FreeLibrary(module);
  return result;
}

const std::uint8_t* typeLibraryResource(std::size_t& size) {
  size = 0;
  HRSRC resource = FindResourceW(moduleInstance, MAKEINTRESOURCEW(1), L"TYPELIB");
  if (resource == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(moduleInstance, resource);
  if (loaded == nullptr) return nullptr;
  const void* bytes = LockResource(loaded);
  if (bytes == nullptr) return nullptr;
  size = SizeofResource(moduleInstance, resource);
  return static_cast<const std::uint8_t*>(bytes);
}

Handle registryRoot(int root) {
  switch (root) {
    case 0:
      return HKEY_CLASSES_ROOT;
    case 1:
      return HKEY_CURRENT_USER;
    default:
      return HKEY_LOCAL_MACHINE;
  }
}

std::int32_t regCreateKey(Handle parent, const char16_t* subKey, Handle& key) {
  HKEY created = nullptr;
  const LONG result = RegCreateKeyExW(static_cast<HKEY>(parent), wide(subKey), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      KEY_READ | KEY_WRITE, nullptr, &created, nullptr);
  key = created;
  return result;
}

std::int32_t regOpenKey(Handle parent, const char16_t* subKey, bool write, Handle& key) {
  HKEY opened = nullptr;
  const LONG result =
      RegOpenKeyExW(static_cast<HKEY>(parent), wide(subKey), 0, write ? KEY_READ | KEY_WRITE : KEY_READ, &opened);
  key = opened;
  return result;
}

void regCloseKey(Handle key) {
  if (key != nullptr) RegCloseKey(static_cast<HKEY>(key));
}

std::int32_t regQueryValue(Handle key, const char16_t* name, std::uint32_t* type, std::uint8_t* data,
                           std::uint32_t* cbData) {
  DWORD typeFound = 0;
  DWORD size = cbData != nullptr ? *cbData : 0;
  const LONG result =
      RegQueryValueExW(static_cast<HKEY>(key), wide(name), nullptr, &typeFound, data, cbData != nullptr ? &size : nullptr);
  if (type != nullptr) *type = typeFound;
  if (cbData != nullptr) *cbData = size;
  return result;
}

std::int32_t regSetValue(Handle key, const char16_t* name, std::uint32_t type, const std::uint8_t* data,
                         std::uint32_t cbData) {
  return RegSetValueExW(static_cast<HKEY>(key), wide(name), 0, type, data, cbData);
}

std::int32_t regDeleteValue(Handle key, const char16_t* name) {
  return RegDeleteValueW(static_cast<HKEY>(key), wide(name));
}

std::int32_t regDeleteTree(Handle parent, const char16_t* subKey) {
  return RegDeleteTreeW(static_cast<HKEY>(parent), wide(subKey));
}

std::int32_t regEnumKey(Handle key, std::uint32_t index, std::u16string& name) {
  wchar_t buffer[kMaxKeyName];
  DWORD length = kMaxKeyName;
  const LONG result =
      RegEnumKeyExW(static_cast<HKEY>(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) name.assign(reinterpret_cast<const char16_t*>(buffer), length);
  return result;
}

std::int32_t regEnumValue(Handle key, std::uint32_t index, std::u16string& name) {
  std::u16string buffer(kMaxValueName, u'\0');
  DWORD length = kMaxValueName;
  const LONG result = RegEnumValueW(static_cast<HKEY>(key), index, reinterpret_cast<wchar_t*>(buffer.data()),
                                    &length, nullptr, nullptr, nullptr, nullptr);
  if (result == ERROR_SUCCESS) name.assign(buffer.data(), length);
  return result;
}

std::int32_t mapFileReadOnly(const char16_t* path, const std::uint8_t*& view, std::size_t& size, Handle& mapping) {
  view = nullptr;
  size = 0;
  mapping = nullptr;
  HANDLE file = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return static_cast<std::int32_t>(GetLastError());
  LARGE_INTEGER fileSize{};
  if (!GetFileSizeEx(file, &fileSize)) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return static_cast<std::int32_t>(error);
  }
  // CreateFileMapping refuses an empty file with ERROR_FILE_INVALID; say so
  // without asking it.
  if (fileSize.QuadPart == 0) {
    CloseHandle(file);
    return ERROR_FILE_INVALID;
  }
  HANDLE map = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (map == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(file);
    return static_cast<std::int32_t>(error);
  }
  const void* bytes = MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0);
  if (bytes == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(map);
    CloseHandle(file);
    return static_cast<std::int32_t>(error);
  }
  // The mapping keeps the file open; its own handle is no longer needed.
  CloseHandle(file);
  view = static_cast<const std::uint8_t*>(bytes);
  size = static_cast<std::size_t>(fileSize.QuadPart);
  mapping = map;
  return ERROR_SUCCESS;
}

void unmapFile(const std::uint8_t* view, Handle mapping) {
  if (view != nullptr) UnmapViewOfFile(view);
  if (mapping != nullptr) CloseHandle(static_cast<HANDLE>(mapping));
}

std::int32_t loadTypeLibrary(const char16_t* path, Handle& library) {
  ITypeLib* loaded = nullptr;
  const HRESULT hr = LoadTypeLib(wide(path), &loaded);
  library = SUCCEEDED(hr) ? loaded : nullptr;
  return hr;
}

void releaseTypeLibrary(Handle library) {
  if (library != nullptr) static_cast<ITypeLib*>(library)->Release();
}

std::int32_t registerTypeLibrary(Handle library, const char16_t* path, const char16_t* helpDir) {
  // RegisterTypeLib takes non-const strings but does not change them.
  return RegisterTypeLib(static_cast<ITypeLib*>(library), const_cast<wchar_t*>(wide(path)),
                         const_cast<wchar_t*>(wide(helpDir)));
}

std::int32_t unregisterTypeLibrary(Handle library) {
  using UnRegisterTypeLibFn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
  HMODULE oleaut = LoadLibraryW(L"oleaut32.dll");
  if (oleaut == nullptr) return S_OK;
  // Through void(*)() so that the cast from FARPROC names the real type once.
  const auto function = reinterpret_cast<UnRegisterTypeLibFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
  HRESULT hr = S_OK;
  if (function != nullptr) {
    ITypeLib* typeLib = static_cast<ITypeLib*>(library);
    TLIBATTR* attributes = nullptr;
    hr = typeLib->GetLibAttr(&attributes);
    if (SUCCEEDED(hr)) {
      // A library that is not registered leaves nothing to undo; the system
      // would call that a failure, and a second uninstall would fail.
      BSTR registeredPath = nullptr;
      if (SUCCEEDED(QueryPathOfRegTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                          attributes->lcid, &registeredPath))) {
        SysFreeString(registeredPath);
        hr = function(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                      attributes->syskind);
      }
      typeLib->ReleaseTLibAttr(attributes);
    }
  }
  FreeLibrary(oleaut);
  return hr;
}

}  // namespace sonvale::platform::win32
