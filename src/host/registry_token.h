// An object token over a registry key, as SAPI keeps voice tokens: the key's
// string values name the voice's files, its subkeys hold attributes and
// settings. Only what the engine and the host use is implemented; the rest
// answers E_NOTIMPL.
#pragma once

#include <atomic>
#include <string>

#include "platform/registry.h"
#include "platform/sapi.h"

namespace sonvale::host {

// Where voice tokens live, below HKEY_LOCAL_MACHINE.
inline constexpr char16_t kVoiceTokensKey[] = u"SOFTWARE\\Microsoft\\Speech\\Voices\\Tokens";

class RegistryToken final : public ISpObjectToken {
 public:
  // Opens the token at `path` below `root`; with `create` the key is made if
  // missing. The new token has one reference, handed to `*token`.
  static HRESULT open(platform::RegRoot root, std::u16string_view path, bool create, ISpObjectToken** token);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override;

  // ISpDataKey
  HRESULT STDMETHODCALLTYPE SetData(LPCWSTR pszValueName, ULONG cbData, const BYTE* pData) override;
  HRESULT STDMETHODCALLTYPE GetData(LPCWSTR pszValueName, ULONG* pcbData, BYTE* pData) override;
  HRESULT STDMETHODCALLTYPE SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) override;
  HRESULT STDMETHODCALLTYPE GetStringValue(LPCWSTR pszValueName, LPWSTR* ppszValue) override;
  HRESULT STDMETHODCALLTYPE SetDWORD(LPCWSTR pszValueName, DWORD dwValue) override;
  HRESULT STDMETHODCALLTYPE GetDWORD(LPCWSTR pszValueName, DWORD* pdwValue) override;
  HRESULT STDMETHODCALLTYPE OpenKey(LPCWSTR pszSubKeyName, ISpDataKey** ppSubKey) override;
  HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR pszSubKey, ISpDataKey** ppSubKey) override;
  HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR pszSubKey) override;
  HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR pszValueName) override;
  HRESULT STDMETHODCALLTYPE EnumKeys(ULONG Index, LPWSTR* ppszSubKeyName) override;
  HRESULT STDMETHODCALLTYPE EnumValues(ULONG Index, LPWSTR* ppszValueName) override;

  // ISpObjectToken
  HRESULT STDMETHODCALLTYPE SetId(LPCWSTR pszCategoryId, LPCWSTR pszTokenId, BOOL fCreateIfNotExist) override;
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* ppszCoMemTokenId) override;
  HRESULT STDMETHODCALLTYPE GetCategory(ISpObjectTokenCategory** ppTokenCategory) override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                           void** ppvObject) override;
  HRESULT STDMETHODCALLTYPE GetStorageFileName(REFCLSID clsidCaller, LPCWSTR pszValueName,
                                               LPCWSTR pszFileNameSpecifier, ULONG nFolder,
                                               LPWSTR* ppszFilePath) override;
  HRESULT STDMETHODCALLTYPE RemoveStorageFileName(REFCLSID clsidCaller, LPCWSTR pszKeyName, BOOL fDeleteFile) override;
  HRESULT STDMETHODCALLTYPE Remove(const CLSID* pclsidCaller) override;
  HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR pszTypeOfUI, void* pvExtraData, ULONG cbExtraData,
                                          IUnknown* punkObject, BOOL* pfSupported) override;
  HRESULT STDMETHODCALLTYPE DisplayUI(HWND hwndParent, LPCWSTR pszTitle, LPCWSTR pszTypeOfUI, void* pvExtraData,
                                      ULONG cbExtraData, IUnknown* punkObject) override;
  HRESULT STDMETHODCALLTYPE MatchesAttributes(LPCWSTR pszAttributes, BOOL* pfMatches) override;

 private:
  explicit RegistryToken(platform::RegKey key) : key_(std::move(key)) {}
  ~RegistryToken() = default;
  std::u16string childPath(LPCWSTR name) const;

  std::atomic<ULONG> refs_{1};
  platform::RegKey key_;
};

// A string handed out with CoTaskMemAlloc, as SAPI hands strings to callers;
// null when the allocation fails.
LPWSTR coTaskString(std::u16string_view text);

}  // namespace sonvale::host
