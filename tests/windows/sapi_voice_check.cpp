// Speaks one sentence through the system's speech API with an installed
// Sonvale voice and saves what the engine wrote as a WAV file:
//
//   sapi_voice_check.exe [-v] [--voice NAME] [--text TEXT] [--xml]
//                        [--marks FILE] OUT.wav
//
// --xml speaks TEXT as the speech API's markup (SPF_IS_XML); --marks writes
// every bookmark event SpVoice passed on, one line each: the bookmark's name
// and the byte offset of the audio it was reported at.
//
// The voice is looked up among the voice tokens by the last part of its
// token id, its display name or its Attributes\Name. SpVoice gets an audio
// object of our own (SetOutput): it records every byte written in the format
// SpVoice asks for, so no sound device is needed. With -v every call SpVoice
// makes on that object is printed to stderr.
//
// Exit status: 0 when Speak returned S_OK and audio arrived and was saved;
// 1 when speaking failed or produced nothing; 2 for a bad command line; 3
// when --xml was asked for and SpVoice does not read markup.
//
// Build: x86_64-w64-mingw32-g++-posix -std=c++20 -municode -static
//        sapi_voice_check.cpp -lsapi -lole32 -loleaut32 -luuid

#include <windows.h>
#include <objbase.h>
#include <sapi.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

namespace {

// The format id for WAVEFORMATEX streams; mingw-w64 declares it without
// defining it.
constexpr GUID kWaveFormatExId = {0xC31ADBAE, 0x527F, 0x4FF5,
                                  {0xA2, 0x30, 0xF6, 0x2B, 0xB6, 0x1F, 0xF7, 0x0C}};

// SAPI error codes that mingw-w64's headers leave out.
constexpr HRESULT kSpErrUnsupportedFormat = static_cast<HRESULT>(0x80045003);
constexpr HRESULT kSpErrNotFound = static_cast<HRESULT>(0x8004503A);

constexpr const wchar_t* kDefaultVoice = L"Sonvale-test";
constexpr const wchar_t* kDefaultText = L"今日天氣好好，我哋去飲茶。";
constexpr const wchar_t* kVoicesCategory =
    L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Speech\\Voices";

bool gVerbose = false;

std::string toUtf8(const wchar_t* text) {
  if (text == nullptr) return "(null)";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return "?";
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
  out.resize(static_cast<size_t>(bytes - 1));
  return out;
}

std::string guidText(const GUID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return toUtf8(text);
}

void trace(const char* format, ...) {
  if (!gVerbose) return;
  va_list args;
  va_start(args, format);
  std::fputs("audio: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  va_end(args);
}

WAVEFORMATEX pcmFormat(DWORD rateHz, WORD channels, WORD bitsPerSample) {
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = channels;
  format.nSamplesPerSec = rateHz;
  format.wBitsPerSample = bitsPerSample;
  format.nBlockAlign = static_cast<WORD>(channels * bitsPerSample / 8);
  format.nAvgBytesPerSec = rateHz * format.nBlockAlign;
  format.cbSize = 0;
  return format;
}

// An ISpAudio that keeps everything written to it. It starts in the engine's
// native format (11025 Hz, mono, 16 bit) and takes whatever PCM format
// SpVoice sets. Writes come from SpVoice's speaking thread while the caller
// waits in Speak, hence the lock.
class CollectingAudio final : public ISpAudio {
 public:
  CollectingAudio() : format_(pcmFormat(11025, 1, 16)) {
    // Manual-reset and set: SpVoice waits on it after the engine is done,
    // and our audio never has anything left to play.
    doneEvent_ = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  }
  CollectingAudio(const CollectingAudio&) = delete;
  CollectingAudio& operator=(const CollectingAudio&) = delete;

  bool valid() const { return doneEvent_ != nullptr; }

  std::vector<unsigned char> bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  WAVEFORMATEX format() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return format_;
  }
  unsigned writeCalls() const { return writeCalls_.load(); }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream ||
        iid == IID_ISpStreamFormat || iid == IID_ISpAudio) {
      *object = static_cast<ISpAudio*>(this);
      AddRef();
      trace("QueryInterface(%s) = S_OK", guidText(iid).c_str());
      return S_OK;
    }
    *object = nullptr;
    trace("QueryInterface(%s) = E_NOINTERFACE", guidText(iid).c_str());
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // ISequentialStream
  HRESULT STDMETHODCALLTYPE Read(void*, ULONG byteCount, ULONG* bytesRead) override {
    trace("Read(%lu) = E_NOTIMPL", static_cast<unsigned long>(byteCount));
    if (bytesRead != nullptr) *bytesRead = 0;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG byteCount, ULONG* bytesWritten) override {
    ++writeCalls_;
    trace("Write(%lu bytes)", static_cast<unsigned long>(byteCount));
    if (data == nullptr && byteCount != 0) return STG_E_INVALIDPOINTER;
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto* first = static_cast<const unsigned char*>(data);
      bytes_.insert(bytes_.end(), first, first + byteCount);
    } catch (...) {
      if (bytesWritten != nullptr) *bytesWritten = 0;
      return E_OUTOFMEMORY;
    }
    if (bytesWritten != nullptr) *bytesWritten = byteCount;
    return S_OK;
  }

  // IStream: a write-only stream whose position is its length.
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                 ULARGE_INTEGER* newPosition) override {
    trace("Seek(%lld, %lu)", static_cast<long long>(move.QuadPart),
          static_cast<unsigned long>(origin));
    // Like a sound device, the stream cannot go back: only a seek that ends
    // where the written audio ends ("where am I?") is answered.
    const auto length = static_cast<LONGLONG>(currentLength());
    LONGLONG target = move.QuadPart;
    if (origin == STREAM_SEEK_CUR || origin == STREAM_SEEK_END) target += length;
    else if (origin != STREAM_SEEK_SET) return STG_E_INVALIDFUNCTION;
    if (target != length) return STG_E_INVALIDFUNCTION;
    if (newPosition != nullptr) newPosition->QuadPart = static_cast<ULONGLONG>(length);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override {
    trace("SetSize = E_NOTIMPL");
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                   ULARGE_INTEGER*) override {
    trace("CopyTo = E_NOTIMPL");
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override {
    trace("Commit(%lu)", static_cast<unsigned long>(flags));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Revert() override {
    trace("Revert = E_NOTIMPL");
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    trace("LockRegion = STG_E_INVALIDFUNCTION");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    trace("UnlockRegion = STG_E_INVALIDFUNCTION");
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override {
    trace("Stat(%lu)", static_cast<unsigned long>(flags));
    if (stat == nullptr) return STG_E_INVALIDPOINTER;
    std::memset(stat, 0, sizeof *stat);
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = currentLength();
    stat->grfMode = STGM_WRITE;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** stream) override {
    trace("Clone = E_NOTIMPL");
    if (stream != nullptr) *stream = nullptr;
    return E_NOTIMPL;
  }

  // ISpStreamFormat
  HRESULT STDMETHODCALLTYPE GetFormat(GUID* formatId, WAVEFORMATEX** format) override {
    trace("GetFormat");
    if (formatId == nullptr || format == nullptr) return E_POINTER;
    return copyFormat(formatId, format);
  }

  // ISpAudio
  HRESULT STDMETHODCALLTYPE SetState(SPAUDIOSTATE state, ULONGLONG) override {
    trace("SetState(%s)", stateName(state));
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = state;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetFormat(REFGUID formatId, const WAVEFORMATEX* format) override {
    if (format == nullptr) return E_POINTER;
    trace("SetFormat(%s, tag %u, %lu Hz, %u channels, %u bits)", guidText(formatId).c_str(),
          format->wFormatTag, static_cast<unsigned long>(format->nSamplesPerSec),
          format->nChannels, format->wBitsPerSample);
    // Plain PCM only: it is what the WAV file we write can describe.
    if (formatId != kWaveFormatExId || format->wFormatTag != WAVE_FORMAT_PCM ||
        format->nChannels == 0 || format->nSamplesPerSec == 0 ||
        (format->wBitsPerSample != 8 && format->wBitsPerSample != 16))
      return kSpErrUnsupportedFormat;
    std::lock_guard<std::mutex> lock(mutex_);
    format_ = pcmFormat(format->nSamplesPerSec, format->nChannels, format->wBitsPerSample);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetStatus(SPAUDIOSTATUS* status) override {
    trace("GetStatus");
    if (status == nullptr) return E_POINTER;
    std::memset(status, 0, sizeof *status);
    std::lock_guard<std::mutex> lock(mutex_);
    status->cbFreeBuffSpace = 0x100000;
    status->State = state_;
    status->CurSeekPos = bytes_.size();
    status->CurDevicePos = bytes_.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBufferInfo(const SPAUDIOBUFFERINFO* info) override {
    trace("SetBufferInfo");
    return info == nullptr ? E_POINTER : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferInfo(SPAUDIOBUFFERINFO* info) override {
    trace("GetBufferInfo");
    if (info == nullptr) return E_POINTER;
    info->ulMsMinNotification = 50;
    info->ulMsBufferSize = 500;
    info->ulMsEventBias = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDefaultFormat(GUID* formatId, WAVEFORMATEX** format) override {
    trace("GetDefaultFormat");
    if (formatId == nullptr || format == nullptr) return E_POINTER;
    return copyFormat(formatId, format);
  }
  HANDLE STDMETHODCALLTYPE EventHandle() override {
    trace("EventHandle");
    return doneEvent_;
  }
  HRESULT STDMETHODCALLTYPE GetVolumeLevel(ULONG* level) override {
    trace("GetVolumeLevel");
    if (level == nullptr) return E_POINTER;
    *level = volumeLevel_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetVolumeLevel(ULONG level) override {
    trace("SetVolumeLevel(%lu)", static_cast<unsigned long>(level));
    if (level > 10000) return E_INVALIDARG;
    volumeLevel_ = level;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBufferNotifySize(ULONG* byteCount) override {
    trace("GetBufferNotifySize");
    if (byteCount == nullptr) return E_POINTER;
    *byteCount = notifyBytes_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetBufferNotifySize(ULONG byteCount) override {
    trace("SetBufferNotifySize(%lu)", static_cast<unsigned long>(byteCount));
    notifyBytes_ = byteCount;
    return S_OK;
  }

 private:
  ~CollectingAudio() {
    if (doneEvent_ != nullptr) CloseHandle(doneEvent_);
  }

  ULONGLONG currentLength() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_.size();
  }

  // The caller frees the format with CoTaskMemFree, as the interface says.
  HRESULT copyFormat(GUID* formatId, WAVEFORMATEX** format) const {
    auto* copy = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
    if (copy == nullptr) return E_OUTOFMEMORY;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      *copy = format_;
    }
    *formatId = kWaveFormatExId;
    *format = copy;
    return S_OK;
  }

  static const char* stateName(SPAUDIOSTATE state) {
    switch (state) {
      case SPAS_CLOSED: return "SPAS_CLOSED";
      case SPAS_STOP: return "SPAS_STOP";
      case SPAS_PAUSE: return "SPAS_PAUSE";
      case SPAS_RUN: return "SPAS_RUN";
    }
    return "unknown";
  }

  std::atomic<ULONG> references_{1};
  std::atomic<unsigned> writeCalls_{0};
  std::atomic<ULONG> volumeLevel_{10000};
  std::atomic<ULONG> notifyBytes_{0};
  mutable std::mutex mutex_;
  std::vector<unsigned char> bytes_;
  WAVEFORMATEX format_;
  SPAUDIOSTATE state_ = SPAS_CLOSED;
  HANDLE doneEvent_ = nullptr;
};

// Owns one COM reference.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ~ComRef() { reset(); }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T** put() {
    reset();
    return &object_;
  }
  void reset() {
    if (object_ != nullptr) object_->Release();
    object_ = nullptr;
  }

 private:
  T* object_ = nullptr;
};

// A CoTaskMemAlloc'd string, freed on scope exit.
class CoString {
 public:
  CoString() = default;
  CoString(const CoString&) = delete;
  CoString& operator=(const CoString&) = delete;
  ~CoString() { CoTaskMemFree(text_); }
  wchar_t** put() {
    CoTaskMemFree(text_);
    text_ = nullptr;
    return &text_;
  }
  const wchar_t* get() const { return text_; }

 private:
  wchar_t* text_ = nullptr;
};

bool sameText(const wchar_t* a, const wchar_t* b) {
  return a != nullptr && b != nullptr && _wcsicmp(a, b) == 0;
}

// True when the token is the voice called `name`: the last part of its id,
// its default value or its Attributes\Name.
bool tokenMatches(ISpObjectToken* token, const wchar_t* name, std::string& idText) {
  CoString id;
  if (FAILED(token->GetId(id.put())) || id.get() == nullptr) return false;
  idText = toUtf8(id.get());
  const wchar_t* lastPart = std::wcsrchr(id.get(), L'\\');
  if (sameText(lastPart != nullptr ? lastPart + 1 : id.get(), name)) return true;
  CoString display;
  if (SUCCEEDED(token->GetStringValue(nullptr, display.put())) && sameText(display.get(), name))
    return true;
  ComRef<ISpDataKey> attributes;
  CoString attributeName;
  return SUCCEEDED(token->OpenKey(L"Attributes", attributes.put())) &&
         SUCCEEDED(attributes->GetStringValue(L"Name", attributeName.put())) &&
         sameText(attributeName.get(), name);
}

// Finds the voice token called `name` among the voice tokens. Falls back to
// opening HKLM\...\Voices\Tokens\<name> by id if the category cannot be
// enumerated. Prints why when there is no such voice.
HRESULT findVoice(const wchar_t* name, ISpObjectToken** voice) {
  *voice = nullptr;
  ComRef<ISpObjectTokenCategory> category;
  HRESULT hr = CoCreateInstance(CLSID_SpObjectTokenCategory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_ISpObjectTokenCategory,
                                reinterpret_cast<void**>(category.put()));
  ComRef<IEnumSpObjectTokens> tokens;
  if (SUCCEEDED(hr)) hr = category->SetId(kVoicesCategory, FALSE);
  if (SUCCEEDED(hr)) hr = category->EnumTokens(nullptr, nullptr, tokens.put());
  if (SUCCEEDED(hr)) {
    ULONG count = 0;
    tokens->GetCount(&count);
    if (gVerbose) std::fprintf(stderr, "voice tokens: %lu\n", static_cast<unsigned long>(count));
    for (;;) {
      ComRef<ISpObjectToken> token;
      ULONG fetched = 0;
      if (tokens->Next(1, token.put(), &fetched) != S_OK || fetched != 1) break;
      std::string idText;
      const bool match = tokenMatches(token.get(), name, idText);
      if (gVerbose) std::fprintf(stderr, "  %s%s\n", idText.c_str(), match ? "  <- this one" : "");
      if (match) {
        *voice = token.get();
        (*voice)->AddRef();
        return S_OK;
      }
    }
    std::fprintf(stderr,
                 "sapi_voice_check: no voice token called '%s' under %s\\Tokens "
                 "(register the DLL and write the token first)\n",
                 toUtf8(name).c_str(), toUtf8(kVoicesCategory).c_str());
    return kSpErrNotFound;
  }

  std::fprintf(stderr, "sapi_voice_check: cannot enumerate the voice tokens (0x%08lX); "
               "opening the token by its id\n", static_cast<unsigned long>(hr));
  ComRef<ISpObjectToken> token;
  hr = CoCreateInstance(CLSID_SpObjectToken, nullptr, CLSCTX_INPROC_SERVER, IID_ISpObjectToken,
                        reinterpret_cast<void**>(token.put()));
  if (FAILED(hr)) {
    std::fprintf(stderr, "sapi_voice_check: cannot create SpObjectToken (0x%08lX)\n",
                 static_cast<unsigned long>(hr));
    return hr;
  }
  const std::wstring id = std::wstring(kVoicesCategory) + L"\\Tokens\\" + name;
  hr = token->SetId(nullptr, id.c_str(), FALSE);
  if (FAILED(hr)) {
    std::fprintf(stderr, "sapi_voice_check: no voice token %s (0x%08lX)\n",
                 toUtf8(id.c_str()).c_str(), static_cast<unsigned long>(hr));
    return hr;
  }
  *voice = token.get();
  (*voice)->AddRef();
  return S_OK;
}

void putU16(std::vector<unsigned char>& out, unsigned value) {
  out.push_back(static_cast<unsigned char>(value & 0xFF));
  out.push_back(static_cast<unsigned char>((value >> 8) & 0xFF));
}

void putU32(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
}

// Writes a canonical 44-byte-header PCM WAV file. False (with a message) on
// failure or when the data does not fit a WAV file's 32-bit sizes.
bool writeWav(const wchar_t* path, const WAVEFORMATEX& format,
              const std::vector<unsigned char>& data) {
  if (data.size() > 0xFFFFFFFFu - 36) {
    std::fprintf(stderr, "sapi_voice_check: %zu bytes of audio do not fit a WAV file\n",
                 data.size());
    return false;
  }
  const auto dataBytes = static_cast<std::uint32_t>(data.size());
  std::vector<unsigned char> header;
  header.insert(header.end(), {'R', 'I', 'F', 'F'});
  putU32(header, 36 + dataBytes);
  header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  putU32(header, 16);
  putU16(header, WAVE_FORMAT_PCM);
  putU16(header, format.nChannels);
  putU32(header, format.nSamplesPerSec);
  putU32(header, format.nAvgBytesPerSec);
  putU16(header, format.nBlockAlign);
  putU16(header, format.wBitsPerSample);
  header.insert(header.end(), {'d', 'a', 't', 'a'});
  putU32(header, dataBytes);

  FILE* file = _wfopen(path, L"wb");
  if (file == nullptr) {
    std::fprintf(stderr, "sapi_voice_check: cannot create %s\n", toUtf8(path).c_str());
    return false;
  }
  bool ok = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
            (data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size());
  ok = std::fclose(file) == 0 && ok;
  if (!ok) std::fprintf(stderr, "sapi_voice_check: writing %s failed\n", toUtf8(path).c_str());
  return ok;
}

int usage() {
  std::fputs("usage: sapi_voice_check.exe [-v] [--voice NAME] [--text TEXT] [--xml] [--marks FILE] OUT.wav\n"
             "Speaks TEXT (a Cantonese sentence by default) with the voice token NAME\n"
             "(Sonvale-test by default) through SpVoice and saves the audio in OUT.wav.\n",
             stderr);
  return 2;
}

struct ComSession {
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ComSession() = default;
  ComSession(const ComSession&) = delete;
  ComSession& operator=(const ComSession&) = delete;
  ~ComSession() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
};

// Takes the bookmark events SpVoice queued and writes them to `path` as
// "NAME OFFSET" lines. SpVoice keeps the bookmark's name as a string it
// allocated, which the caller frees.
bool saveBookmarks(ISpVoice* voice, const wchar_t* path) {
  std::string lines;
  SPEVENT event = {};
  ULONG fetched = 0;
  while (voice->GetEvents(1, &event, &fetched) == S_OK && fetched == 1) {
    const auto id = static_cast<SPEVENTENUM>(event.eEventId);
    const auto kind = static_cast<SPEVENTLPARAMTYPE>(event.elParamType);
    if (id == SPEI_TTS_BOOKMARK && kind == SPET_LPARAM_IS_STRING)
      lines += toUtf8(reinterpret_cast<const wchar_t*>(event.lParam)) + ' ' +
               std::to_string(event.ullAudioStreamOffset) + '\n';
    if (kind == SPET_LPARAM_IS_STRING || kind == SPET_LPARAM_IS_POINTER)
      CoTaskMemFree(reinterpret_cast<void*>(event.lParam));
    else if (kind == SPET_LPARAM_IS_TOKEN || kind == SPET_LPARAM_IS_OBJECT)
      reinterpret_cast<IUnknown*>(event.lParam)->Release();
  }
  FILE* file = _wfopen(path, L"wb");
  if (file == nullptr) {
    std::fprintf(stderr, "sapi_voice_check: cannot create %s\n", toUtf8(path).c_str());
    return false;
  }
  const bool ok = std::fwrite(lines.data(), 1, lines.size(), file) == lines.size();
  return std::fclose(file) == 0 && ok;
}

int speakAndSave(const wchar_t* voiceName, const wchar_t* text, bool xml, const wchar_t* marksPath,
                 const wchar_t* outPath) {
  ComSession com;
  if (FAILED(com.hr)) {
    std::fprintf(stderr, "sapi_voice_check: CoInitializeEx failed (0x%08lX)\n",
                 static_cast<unsigned long>(com.hr));
    return 1;
  }

  ComRef<ISpObjectToken> voiceToken;
  if (FAILED(findVoice(voiceName, voiceToken.put()))) return 1;

  ComRef<ISpVoice> voice;
  HRESULT hr = CoCreateInstance(CLSID_SpVoice, nullptr, CLSCTX_ALL, IID_ISpVoice,
                                reinterpret_cast<void**>(voice.put()));
  if (FAILED(hr)) {
    std::fprintf(stderr, "sapi_voice_check: CoCreateInstance(SpVoice) failed (0x%08lX)\n",
                 static_cast<unsigned long>(hr));
    return 1;
  }
  hr = voice->SetVoice(voiceToken.get());
  if (FAILED(hr)) {
    std::fprintf(stderr, "sapi_voice_check: SetVoice failed (0x%08lX)\n",
                 static_cast<unsigned long>(hr));
    return 1;
  }

  ComRef<CollectingAudio> audio;
  *audio.put() = new (std::nothrow) CollectingAudio();
  if (audio.get() == nullptr || !audio->valid()) {
    std::fputs("sapi_voice_check: cannot make the audio object\n", stderr);
    return 1;
  }
  hr = voice->SetOutput(static_cast<ISpAudio*>(audio.get()), TRUE);
  if (FAILED(hr)) {
    std::fprintf(stderr, "sapi_voice_check: SetOutput failed (0x%08lX)\n",
                 static_cast<unsigned long>(hr));
    return 1;
  }

  if (marksPath != nullptr) {
    const ULONGLONG interest = SPFEI(SPEI_TTS_BOOKMARK);
    hr = voice->SetInterest(interest, interest);
    if (hr == E_NOTIMPL) {
      // Some speech systems pass no events to their clients: say so, write
      // no marks file, and let the caller decide what that means.
      std::fputs("sapi_voice_check: this SpVoice passes no events (SetInterest: E_NOTIMPL)\n", stderr);
      marksPath = nullptr;
    } else if (FAILED(hr)) {
      std::fprintf(stderr, "sapi_voice_check: SetInterest failed (0x%08lX)\n", static_cast<unsigned long>(hr));
      return 1;
    }
  }

  const DWORD started = GetTickCount();
  hr = voice->Speak(text, xml ? SPF_IS_XML : SPF_IS_NOT_XML, nullptr);
  const DWORD elapsedMs = GetTickCount() - started;
  const std::vector<unsigned char> bytes = audio->bytes();
  const WAVEFORMATEX format = audio->format();
  std::fprintf(stderr,
               "sapi_voice_check: Speak returned 0x%08lX after %lu ms; %zu bytes in %u writes, "
               "%lu Hz, %u channel(s), %u bits\n",
               static_cast<unsigned long>(hr), static_cast<unsigned long>(elapsedMs),
               bytes.size(), audio->writeCalls(), static_cast<unsigned long>(format.nSamplesPerSec),
               format.nChannels, format.wBitsPerSample);
  const bool marksSaved = marksPath == nullptr || saveBookmarks(voice.get(), marksPath);
  // SpVoice holds the output and the engine until it is released; let go of
  // them before COM is shut down.
  voice.reset();

  if (hr == E_NOTIMPL && xml) {
    std::fputs("sapi_voice_check: this SpVoice does not read markup (Speak with SPF_IS_XML: E_NOTIMPL)\n", stderr);
    return 3;
  }
  if (hr != S_OK) {
    std::fputs("sapi_voice_check: Speak did not succeed\n", stderr);
    return 1;
  }
  if (bytes.empty()) {
    std::fputs("sapi_voice_check: Speak succeeded but no audio arrived\n", stderr);
    return 1;
  }
  return writeWav(outPath, format, bytes) && marksSaved ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* voiceName = kDefaultVoice;
  const wchar_t* text = kDefaultText;
  const wchar_t* outPath = nullptr;
  const wchar_t* marksPath = nullptr;
  bool xml = false;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"-v") {
      gVerbose = true;
    } else if (arg == L"--voice" && i + 1 < argc) {
      voiceName = argv[++i];
    } else if (arg == L"--text" && i + 1 < argc) {
      text = argv[++i];
    } else if (arg == L"--xml") {
      xml = true;
    } else if (arg == L"--marks" && i + 1 < argc) {
      marksPath = argv[++i];
    } else if (arg == L"-h" || arg == L"--help") {
      usage();
      return 0;
    } else if (!arg.empty() && arg[0] != L'-' && outPath == nullptr) {
      outPath = argv[i];
    } else {
      return usage();
    }
  }
  if (outPath == nullptr || *text == L'\0') return usage();
  return speakAndSave(voiceName, text, xml, marksPath, outPath);
}
