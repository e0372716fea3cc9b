// The speech API declarations the engine uses: fragment lists, events,
// wave formats, the engine and site interfaces, object tokens and token UI.
// Identifiers, member order and method order are the published ones, so an
// object built against these declarations has the same layout and vtables
// as one built against the system's headers.
#pragma once

#include "platform/com.h"

enum SPVACTIONS : std::int32_t {
  SPVA_Speak = 0,
  SPVA_Silence = 1,
  SPVA_Pronounce = 2,
  SPVA_Bookmark = 3,
  SPVA_SpellOut = 4,
  SPVA_Section = 5,
  SPVA_ParseUnknownTag = 6,
};

enum SPPARTOFSPEECH : std::int32_t {
  SPPS_NotOverriden = -1,
  SPPS_Unknown = 0,
};

enum SPVESACTIONS : std::int32_t {
  SPVES_CONTINUE = 0,
  SPVES_ABORT = 1 << 0,
  SPVES_SKIP = 1 << 1,
  SPVES_RATE = 1 << 2,
  SPVES_VOLUME = 1 << 3,
};

enum SPVSKIPTYPE : std::int32_t {
  SPVST_SENTENCE = 1 << 0,
};

enum SPEVENTENUM : std::int32_t {
  SPEI_UNDEFINED = 0,
  SPEI_START_INPUT_STREAM = 1,
  SPEI_END_INPUT_STREAM = 2,
  SPEI_VOICE_CHANGE = 3,
  SPEI_TTS_BOOKMARK = 4,
  SPEI_WORD_BOUNDARY = 5,
  SPEI_PHONEME = 6,
  SPEI_SENTENCE_BOUNDARY = 7,
  SPEI_VISEME = 8,
  SPEI_TTS_AUDIO_LEVEL = 9,
};

enum SPEVENTLPARAMTYPE : std::int32_t {
  SPET_LPARAM_IS_UNDEFINED = 0,
  SPET_LPARAM_IS_TOKEN = 1,
  SPET_LPARAM_IS_OBJECT = 2,
  SPET_LPARAM_IS_POINTER = 3,
  SPET_LPARAM_IS_STRING = 4,
};

enum SPSTREAMFORMAT : std::int32_t {
  SPSF_Default = -1,
  SPSF_NoAssignedFormat = 0,
  SPSF_Text = 1,
  SPSF_NonStandardFormat = 2,
  SPSF_ExtendedAudioFormat = 3,
  SPSF_8kHz8BitMono = 4,
  SPSF_8kHz8BitStereo = 5,
  SPSF_8kHz16BitMono = 6,
  SPSF_8kHz16BitStereo = 7,
  SPSF_11kHz8BitMono = 8,
  SPSF_11kHz8BitStereo = 9,
  SPSF_11kHz16BitMono = 10,
  SPSF_11kHz16BitStereo = 11,
  SPSF_12kHz8BitMono = 12,
  SPSF_12kHz8BitStereo = 13,
  SPSF_12kHz16BitMono = 14,
  SPSF_12kHz16BitStereo = 15,
  SPSF_16kHz8BitMono = 16,
  SPSF_16kHz8BitStereo = 17,
  SPSF_16kHz16BitMono = 18,
  SPSF_16kHz16BitStereo = 19,
};

using SPPHONEID = WCHAR;

struct SPVPITCH {
  LONG MiddleAdj;
  LONG RangeAdj;
};

struct SPVCONTEXT {
  LPCWSTR pCategory;
  LPCWSTR pBefore;
  LPCWSTR pAfter;
};

struct SPVSTATE {
  SPVACTIONS eAction;
  LANGID LangID;
  WORD wReserved;
  LONG EmphAdj;
  LONG RateAdj;
  ULONG Volume;
  SPVPITCH PitchAdj;
  ULONG SilenceMSecs;
  SPPHONEID* pPhoneIds;
  SPPARTOFSPEECH ePartOfSpeech;
  SPVCONTEXT Context;
};

struct SPVTEXTFRAG {
  SPVTEXTFRAG* pNext;
  SPVSTATE State;
  LPCWSTR pTextStart;
  ULONG ulTextLen;
  ULONG ulTextSrcOffset;
};

// eEventId and elParamType are 16-bit fields packed into one 32-bit word.
struct SPEVENT {
  WORD eEventId;
  WORD elParamType;
  ULONG ulStreamNum;
  ULONGLONG ullAudioStreamOffset;
  WPARAM wParam;
  LPARAM lParam;
};

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);

constexpr WORD WAVE_FORMAT_PCM = 1;

inline constexpr GUID SPDFID_WaveFormatEx = {0xC31ADBAE, 0x527F, 0x4FF5, {0xA2, 0x30, 0xF6, 0x2B, 0xB6, 0x1F, 0xF7, 0x0C}};
inline constexpr GUID SPDFID_Text = {0x7CEEF9F9, 0x3D13, 0x11D2, {0x9E, 0xE7, 0x00, 0xC0, 0x4F, 0x79, 0x73, 0x96}};

inline constexpr IID IID_ISpEventSink = {0xBE7A9CC9, 0x5F9E, 0x11D2, {0x96, 0x0F, 0x00, 0xC0, 0x4F, 0x8E, 0xE6, 0x28}};
inline constexpr IID IID_ISpTTSEngineSite = {0x9880499B, 0xCCE9, 0x11D2, {0xB5, 0x03, 0x00, 0xC0, 0x4F, 0x79, 0x73, 0x96}};
inline constexpr IID IID_ISpTTSEngine = {0xA74D7C8E, 0x4CC5, 0x4F2F, {0xA6, 0xEB, 0x80, 0x4D, 0xEE, 0x18, 0x50, 0x0E}};
inline constexpr IID IID_ISpObjectWithToken = {0x5B559F40, 0xE952, 0x11D2, {0xBB, 0x91, 0x00, 0xC0, 0x4F, 0x8E, 0xE6, 0xC0}};
inline constexpr IID IID_ISpDataKey = {0x14056581, 0xE16C, 0x11D2, {0xBB, 0x90, 0x00, 0xC0, 0x4F, 0x8E, 0xE6, 0xC0}};
inline constexpr IID IID_ISpObjectToken = {0x14056589, 0xE16C, 0x11D2, {0xBB, 0x90, 0x00, 0xC0, 0x4F, 0x8E, 0xE6, 0xC0}};
inline constexpr IID IID_ISpTokenUI = {0xF8E690F0, 0x39CB, 0x4843, {0xB8, 0xD7, 0xC8, 0x46, 0x96, 0xE1, 0x11, 0x9D}};

struct ISpEventSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddEvents(const SPEVENT* pEventArray, ULONG ulCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEventInterest(ULONGLONG* pullEventInterest) = 0;

 protected:
  ~ISpEventSink() = default;
};

struct ISpTTSEngineSite : ISpEventSink {
  virtual DWORD STDMETHODCALLTYPE GetActions() = 0;
  virtual HRESULT STDMETHODCALLTYPE Write(const void* pBuff, ULONG cb, ULONG* pcbWritten) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRate(LONG* pRateAdjust) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVolume(USHORT* pusVolume) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetSkipInfo(SPVSKIPTYPE* peType, LONG* plNumItems) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompleteSkip(LONG ulNumSkipped) = 0;

 protected:
  ~ISpTTSEngineSite() = default;
};

struct ISpTTSEngine : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Speak(DWORD dwSpeakFlags, REFGUID rguidFormatId, const WAVEFORMATEX* pWaveFormatEx,
                                          const SPVTEXTFRAG* pTextFragList, ISpTTSEngineSite* pOutputSite) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOutputFormat(const GUID* pTargetFmtId, const WAVEFORMATEX* pTargetWaveFormatEx,
                                                    GUID* pOutputFormatId,
                                                    WAVEFORMATEX** ppCoMemOutputWaveFormatEx) = 0;

 protected:
  ~ISpTTSEngine() = default;
};

struct ISpObjectTokenCategory;

struct ISpDataKey : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetData(LPCWSTR pszValueName, ULONG cbData, const BYTE* pData) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetData(LPCWSTR pszValueName, ULONG* pcbData, BYTE* pData) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetStringValue(LPCWSTR pszValueName, LPCWSTR pszValue) = 0;
  // The string is allocated with CoTaskMemAlloc; the caller frees it.
  virtual HRESULT STDMETHODCALLTYPE GetStringValue(LPCWSTR pszValueName, LPWSTR* ppszValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetDWORD(LPCWSTR pszValueName, DWORD dwValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDWORD(LPCWSTR pszValueName, DWORD* pdwValue) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenKey(LPCWSTR pszSubKeyName, ISpDataKey** ppSubKey) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR pszSubKey, ISpDataKey** ppSubKey) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR pszSubKey) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR pszValueName) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumKeys(ULONG Index, LPWSTR* ppszSubKeyName) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumValues(ULONG Index, LPWSTR* ppszValueName) = 0;

 protected:
  ~ISpDataKey() = default;
};

struct ISpObjectToken : ISpDataKey {
  virtual HRESULT STDMETHODCALLTYPE SetId(LPCWSTR pszCategoryId, LPCWSTR pszTokenId, BOOL fCreateIfNotExist) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* ppszCoMemTokenId) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCategory(ISpObjectTokenCategory** ppTokenCategory) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStorageFileName(REFCLSID clsidCaller, LPCWSTR pszValueName,
                                                       LPCWSTR pszFileNameSpecifier, ULONG nFolder,
                                                       LPWSTR* ppszFilePath) = 0;
  virtual HRESULT STDMETHODCALLTYPE RemoveStorageFileName(REFCLSID clsidCaller, LPCWSTR pszKeyName,
                                                          BOOL fDeleteFile) = 0;
  virtual HRESULT STDMETHODCALLTYPE Remove(const CLSID* pclsidCaller) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR pszTypeOfUI, void* pvExtraData, ULONG cbExtraData,
                                                  IUnknown* punkObject, BOOL* pfSupported) = 0;
  virtual HRESULT STDMETHODCALLTYPE DisplayUI(HWND hwndParent, LPCWSTR pszTitle, LPCWSTR pszTypeOfUI,
                                              void* pvExtraData, ULONG cbExtraData, IUnknown* punkObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE MatchesAttributes(LPCWSTR pszAttributes, BOOL* pfMatches) = 0;

 protected:
  ~ISpObjectToken() = default;
};

struct ISpObjectWithToken : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetObjectToken(ISpObjectToken* pToken) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectToken(ISpObjectToken** ppToken) = 0;

 protected:
  ~ISpObjectWithToken() = default;
};

struct ISpTokenUI : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR pszTypeOfUI, void* pvExtraData, ULONG cbExtraData,
                                                  IUnknown* punkObject, BOOL* pfSupported) = 0;
  virtual HRESULT STDMETHODCALLTYPE DisplayUI(HWND hwndParent, LPCWSTR pszTitle, LPCWSTR pszTypeOfUI,
                                              void* pvExtraData, ULONG cbExtraData, ISpObjectToken* pToken,
                                              IUnknown* punkObject) = 0;

 protected:
  ~ISpTokenUI() = default;
};
