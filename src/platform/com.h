// COM basics as the engine needs them: Windows' fixed-size integer types,
// HRESULT and its codes, GUID, IUnknown and the task allocator.
// These declarations have the sizes, values and layouts of the system's, so
// on 64-bit Windows they are used as they are: a GUID has the same 16 bytes,
// an interface built from them has the same vtable and calling convention,
// and a WCHAR string is the same UTF-16 code units. Only the task allocator
// is taken from the system there (ole32), because SAPI frees what the engine
// allocates. Code that implements the portable headers over this one calls
// the Windows API through platform/win32_api.h: <windows.h> declares the
// same names and never meets this header in one file.
#pragma once

#include <cstddef>
#include <cstdint>

// Windows' integer types keep their Windows widths: LONG and ULONG are 32 bits
// even where the C++ long is 64.
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using ULONGLONG = std::uint64_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using HRESULT = std::int32_t;
using WCHAR = char16_t;  // UTF-16 code unit, as wchar_t is on Windows
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using HWND = void*;
using LANGID = std::uint16_t;

#ifdef _WIN32
// The system's WCHAR is wchar_t and its LONG is long: both have these sizes
// on Windows, which is what lets the two sets of declarations meet at a COM
// call.
static_assert(sizeof(wchar_t) == sizeof(WCHAR) && sizeof(long) == sizeof(LONG));
#define STDMETHODCALLTYPE __stdcall
#else
#define STDMETHODCALLTYPE
#endif

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);
constexpr HRESULT SPERR_ALREADY_INITIALIZED = static_cast<HRESULT>(0x80045002u);
constexpr HRESULT SPERR_NO_MORE_ITEMS = static_cast<HRESULT>(0x80045039u);
constexpr HRESULT SPERR_NOT_FOUND = static_cast<HRESULT>(0x8004503Au);

// Win32 error codes the platform layer reports.
constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_READ_FAULT = 30;
constexpr LONG ERROR_SHARING_VIOLATION = 32;
constexpr LONG ERROR_FILE_EXISTS = 80;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_BADDB = 1009;
constexpr LONG ERROR_BADKEY = 1010;
constexpr LONG ERROR_CANTOPEN = 1011;
constexpr LONG ERROR_CANTREAD = 1012;
constexpr LONG ERROR_CANTWRITE = 1013;
constexpr LONG ERROR_FILE_INVALID = 1006;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// A Win32 error code as an HRESULT: the code in the low 16 bits under
// facility 7, or the value unchanged when it is not positive.
constexpr HRESULT HRESULT_FROM_WIN32(LONG code) {
  return code <= 0 ? static_cast<HRESULT>(code)
                   : static_cast<HRESULT>((static_cast<std::uint32_t>(code) & 0xFFFFu) | 0x80070000u);
}

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFGUID = const GUID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;

 protected:
  ~IClassFactory() = default;
};

// The COM task allocator: memory handed across a COM boundary is allocated
// and freed here. CoTaskMemAlloc returns NULL when it cannot allocate;
// CoTaskMemFree accepts NULL. On Windows these are ole32's own (SIZE_T is
// std::size_t there).
#ifdef _WIN32
extern "C" __declspec(dllimport) void* __stdcall CoTaskMemAlloc(std::size_t cb);
extern "C" __declspec(dllimport) void __stdcall CoTaskMemFree(void* pv);
#else
void* CoTaskMemAlloc(std::size_t cb);
void CoTaskMemFree(void* pv);
#endif

namespace sonvale::platform {

// Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional, any letter
// case). Returns false and leaves `out` alone when the text is not a GUID.
bool parseGuid(const char* text, GUID& out);

// Formats as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
void formatGuid(const GUID& guid, char (&out)[39]);

}  // namespace sonvale::platform
