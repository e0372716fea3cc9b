#include "host/registry_token.h"

#include <cstring>
#include <new>
#include <vector>

namespace sonvale::host {

namespace {

using platform::RegKey;

HRESULT fromRegistry(LONG error) {
  if (error == ERROR_FILE_NOT_FOUND) return SPERR_NOT_FOUND;
  return HRESULT_FROM_WIN32(error);
}

std::u16string_view nameOf(LPCWSTR name) { return name != nullptr ? std::u16string_view(name) : std::u16string_view(); }

const char16_t* rootName(platform::RegRoot root) {
  switch (root) {
    case platform::RegRoot::ClassesRoot:
      return u"HKEY_CLASSES_ROOT";
    case platform::RegRoot::CurrentUser:
      return u"HKEY_CURRENT_USER";
    case platform::RegRoot::LocalMachine:
      break;
  }
  return u"HKEY_LOCAL_MACHINE";
}

}  // namespace

LPWSTR coTaskString(std::u16string_view text) {
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
  if (out == nullptr) return nullptr;
  std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
  out[text.size()] = 0;
  return out;
}

HRESULT RegistryToken::open(platform::RegRoot root, std::u16string_view path, bool create, ISpObjectToken** token) {
  if (token == nullptr) return E_POINTER;
  *token = nullptr;
  RegKey key;
  const LONG error = create ? platform::regCreateKey(root, path, key) : platform::regOpenKey(root, path, key);
  if (error != ERROR_SUCCESS) return fromRegistry(error);
  auto* object = new (std::nothrow) RegistryToken(std::move(key));
  if (object == nullptr) return E_OUTOFMEMORY;
  *token = object;
  return S_OK;
}

HRESULT RegistryToken::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_ISpDataKey || riid == IID_ISpObjectToken) {
    *ppv = static_cast<ISpObjectToken*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG RegistryToken::Release() {
  const ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

std::u16string RegistryToken::childPath(LPCWSTR name) const {
  std::u16string path = key_.path;
  if (!path.empty()) path += u'\\';
  return path + std::u16string(nameOf(name));
}

HRESULT RegistryToken::SetData(LPCWSTR pszValueName, ULONG cbData, const BYTE* pData) {
  if (pData == nullptr && cbData > 0) return E_POINTER;
  return fromRegistry(platform::regSetValue(key_, nameOf(pszValueName), platform::kRegBinary, pData, cbData));
}

HRESULT RegistryToken::GetData(LPCWSTR pszValueName, ULONG* pcbData, BYTE* pData) {
  if (pcbData == nullptr) return E_POINTER;
  return fromRegistry(platform::regQueryValue(key_, nameOf(pszValueName), nullptr, pData, pcbData));
}

HRESULT RegistryToken::SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) {
  if (pszValue == nullptr) return E_POINTER;
  return fromRegistry(platform::regSetString(key_, nameOf(pszValueName), pszValue));
}

HRESULT RegistryToken::GetStringValue(LPCWSTR pszValueName, LPWSTR* ppszValue) {
  if (ppszValue == nullptr) return E_POINTER;
  *ppszValue = nullptr;
  std::u16string value;
  const LONG error = platform::regQueryString(key_, nameOf(pszValueName), value);
  if (error != ERROR_SUCCESS) return fromRegistry(error);
  *ppszValue = coTaskString(value);
  return *ppszValue != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT RegistryToken::SetDWORD(LPCWSTR pszValueName, DWORD dwValue) {
  return fromRegistry(platform::regSetDword(key_, nameOf(pszValueName), dwValue));
}

HRESULT RegistryToken::GetDWORD(LPCWSTR pszValueName, DWORD* pdwValue) {
  if (pdwValue == nullptr) return E_POINTER;
  return fromRegistry(platform::regQueryDword(key_, nameOf(pszValueName), *pdwValue));
}

HRESULT RegistryToken::OpenKey(LPCWSTR pszSubKeyName, ISpDataKey** ppSubKey) {
  if (ppSubKey == nullptr) return E_POINTER;
  ISpObjectToken* sub = nullptr;
  const HRESULT hr = open(key_.root, childPath(pszSubKeyName), false, &sub);
  *ppSubKey = sub;
  return hr;
}

HRESULT RegistryToken::CreateKey(LPCWSTR pszSubKey, ISpDataKey** ppSubKey) {
  if (ppSubKey == nullptr) return E_POINTER;
  ISpObjectToken* sub = nullptr;
  const HRESULT hr = open(key_.root, childPath(pszSubKey), true, &sub);
  *ppSubKey = sub;
  return hr;
}

HRESULT RegistryToken::DeleteKey(LPCWSTR pszSubKey) {
  if (pszSubKey == nullptr || *pszSubKey == 0) return E_INVALIDARG;
  return fromRegistry(platform::regDeleteTree(key_.root, childPath(pszSubKey)));
}

HRESULT RegistryToken::DeleteValue(LPCWSTR pszValueName) {
  return fromRegistry(platform::regDeleteValue(key_, nameOf(pszValueName)));
}

HRESULT RegistryToken::EnumKeys(ULONG Index, LPWSTR* ppszSubKeyName) {
  if (ppszSubKeyName == nullptr) return E_POINTER;
  *ppszSubKeyName = nullptr;
  std::vector<std::u16string> names;
  const LONG error = platform::regEnumKeys(key_, names);
  if (error != ERROR_SUCCESS) return fromRegistry(error);
  if (Index >= names.size()) return SPERR_NO_MORE_ITEMS;
  *ppszSubKeyName = coTaskString(names[Index]);
  return *ppszSubKeyName != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT RegistryToken::EnumValues(ULONG Index, LPWSTR* ppszValueName) {
  if (ppszValueName == nullptr) return E_POINTER;
  *ppszValueName = nullptr;
  std::vector<std::u16string> names;
  const LONG error = platform::regEnumValues(key_, names);
  if (error != ERROR_SUCCESS) return fromRegistry(error);
  if (Index >= names.size()) return SPERR_NO_MORE_ITEMS;
  *ppszValueName = coTaskString(names[Index]);
  return *ppszValueName != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT RegistryToken::SetId(LPCWSTR, LPCWSTR, BOOL) { return SPERR_ALREADY_INITIALIZED; }

HRESULT RegistryToken::GetId(LPWSTR* ppszCoMemTokenId) {
  if (ppszCoMemTokenId == nullptr) return E_POINTER;
  std::u16string id = rootName(key_.root);
  if (!key_.path.empty()) id += u'\\' + key_.path;
  *ppszCoMemTokenId = coTaskString(id);
  return *ppszCoMemTokenId != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT RegistryToken::GetCategory(ISpObjectTokenCategory**) { return E_NOTIMPL; }
HRESULT RegistryToken::CreateInstance(IUnknown*, DWORD, REFIID, void**) { return E_NOTIMPL; }
HRESULT RegistryToken::GetStorageFileName(REFCLSID, LPCWSTR, LPCWSTR, ULONG, LPWSTR*) { return E_NOTIMPL; }
HRESULT RegistryToken::RemoveStorageFileName(REFCLSID, LPCWSTR, BOOL) { return E_NOTIMPL; }
HRESULT RegistryToken::Remove(const CLSID*) { return E_NOTIMPL; }
HRESULT RegistryToken::IsUISupported(LPCWSTR, void*, ULONG, IUnknown*, BOOL*) { return E_NOTIMPL; }
HRESULT RegistryToken::DisplayUI(HWND, LPCWSTR, LPCWSTR, void*, ULONG, IUnknown*) { return E_NOTIMPL; }
HRESULT RegistryToken::MatchesAttributes(LPCWSTR, BOOL*) { return E_NOTIMPL; }

}  // namespace sonvale::host
