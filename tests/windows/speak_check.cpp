// Speaks a text with the registered Sonvale.dll, as SAPI would drive it: the
// engine object comes from CoCreateInstance, its voice token is a registry
// token over the system registry naming the voice files in VOICE_DIR, and
// Speak writes to an output site of our own. The audio goes to OUT.wav and
// the events, one line each, to OUT.events.txt, so that both can be compared
// with what the Linux build makes of the same text.
//
//   speak_check VOICE_DIR TEXT_FILE OUT
//
// TEXT_FILE is UTF-8; as in the Linux command, it is read as speech markup
// when it begins with '<'. Exits 0 when the voice loaded, the
// text was spoken and both files were written; prints why not otherwise.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/kelvane_obj.h"
#include "host/output_site.h"
#include "host/sapi_xml.h"
#include "host/voice_tokens.h"
#include "platform/com.h"
#include "platform/le_bytes.h"
#include "platform/sapi.h"
#include "platform/utf.h"

// ole32's activation calls, declared with this program's COM types (which
// have the system's layouts) because <objbase.h> cannot meet com.h.
extern "C" {
__declspec(dllimport) HRESULT __stdcall CoInitializeEx(void* reserved, DWORD coInit);
__declspec(dllimport) void __stdcall CoUninitialize();
__declspec(dllimport) HRESULT __stdcall CoCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context,
                                                         REFIID riid, void** ppv);
}

namespace {

constexpr DWORD kCoInitApartmentThreaded = 0x2;
constexpr DWORD kClsCtxInprocServer = 0x1;
constexpr char kTestVoiceName[] = "SonvaleWineCheck";

const char* eventName(SPEVENTENUM id) {
  switch (id) {
    case SPEI_TTS_BOOKMARK:
      return "bookmark";
    case SPEI_WORD_BOUNDARY:
      return "word";
    case SPEI_SENTENCE_BOUNDARY:
      return "sentence";
    default:
      return "other";
  }
}

// A RIFF/WAVE file of 16-bit mono PCM at `rateHz`.
bool writeWav(const std::string& path, const std::vector<std::uint8_t>& pcm, std::uint32_t rateHz) {
  std::vector<std::uint8_t> file;
  const auto tag = [&file](const char* four) { file.insert(file.end(), four, four + 4); };
  tag("RIFF");
  sonvale::appendU32le(file, static_cast<std::uint32_t>(36 + pcm.size()));
  tag("WAVE");
  tag("fmt ");
  sonvale::appendU32le(file, 16);
  sonvale::appendU16le(file, WAVE_FORMAT_PCM);
  sonvale::appendU16le(file, 1);
  sonvale::appendU32le(file, rateHz);
  sonvale::appendU32le(file, rateHz * 2);
  sonvale::appendU16le(file, 2);
  sonvale::appendU16le(file, 16);
  tag("data");
  sonvale::appendU32le(file, static_cast<std::uint32_t>(pcm.size()));
  file.insert(file.end(), pcm.begin(), pcm.end());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  return static_cast<bool>(out.flush());
}

int fail(const char* what, HRESULT hr) {
  std::printf("FAIL %s: 0x%08X\n", what, static_cast<unsigned>(hr));
  return 1;
}

int speak(const std::string& voiceDir, const std::string& textFile, const std::string& outBase) {
  std::ifstream in(textFile, std::ios::binary);
  if (!in) {
    std::printf("FAIL cannot read %s\n", textFile.c_str());
    return 1;
  }
  const std::string utf8((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::u16string text = sonvale::platform::utf8ToUtf16(utf8);

  const std::string installed = sonvale::host::installVoice(kTestVoiceName, "", voiceDir);
  if (!installed.empty()) {
    std::printf("FAIL installing the voice token: %s\n", installed.c_str());
    return 1;
  }
  ISpObjectToken* token = nullptr;
  std::string error;
  HRESULT hr = sonvale::host::openVoiceToken(kTestVoiceName, &token, error);
  if (FAILED(hr)) {
    std::printf("FAIL opening the voice token: %s\n", error.c_str());
    return 1;
  }

  ISpTTSEngine* engine = nullptr;
  hr = CoCreateInstance(sonvale::CLSID_KelvaneObj, nullptr, kClsCtxInprocServer, IID_ISpTTSEngine,
                        reinterpret_cast<void**>(&engine));
  if (FAILED(hr) || engine == nullptr) {
    token->Release();
    return fail("CoCreateInstance(KelvaneObj)", hr);
  }
  ISpObjectWithToken* withToken = nullptr;
  hr = engine->QueryInterface(IID_ISpObjectWithToken, reinterpret_cast<void**>(&withToken));
  if (SUCCEEDED(hr)) hr = withToken->SetObjectToken(token);
  if (withToken != nullptr) withToken->Release();
  token->Release();
  if (FAILED(hr)) {
    engine->Release();
    return fail("SetObjectToken", hr);
  }

  GUID format = GUID_NULL;
  WAVEFORMATEX* wave = nullptr;
  std::uint32_t rateHz = 11025;
  hr = engine->GetOutputFormat(&SPDFID_WaveFormatEx, nullptr, &format, &wave);
  if (SUCCEEDED(hr) && wave != nullptr) rateHz = wave->nSamplesPerSec;
  CoTaskMemFree(wave);
  if (FAILED(hr)) {
    engine->Release();
    return fail("GetOutputFormat", hr);
  }

  sonvale::host::OutputSite site;
  const sonvale::host::FragmentList fragments = sonvale::host::parseSpeakText(text, !text.empty() && text[0] == u'<');
  hr = fragments.empty() ? S_OK : engine->Speak(0, SPDFID_WaveFormatEx, nullptr, fragments.head(), &site);
  engine->Release();
  if (FAILED(hr)) return fail("Speak", hr);

  if (!writeWav(outBase + ".wav", site.audio(), rateHz)) {
    std::printf("FAIL cannot write %s.wav\n", outBase.c_str());
    return 1;
  }
  std::ofstream events(outBase + ".events.txt", std::ios::trunc);
  for (const sonvale::host::RecordedEvent& event : site.events()) {
    events << eventName(event.id) << ' ' << event.audioOffset << ' ' << event.wParam << ' ';
    // A bookmark's lParam points at its name, which is written instead.
    if (event.id == SPEI_TTS_BOOKMARK)
      events << sonvale::platform::utf16ToUtf8(event.bookmark);
    else
      events << event.lParam;
    events << '\n';
  }
  if (!events.flush()) {
    std::printf("FAIL cannot write %s.events.txt\n", outBase.c_str());
    return 1;
  }
  std::printf("ok   spoke %zu fragments: %zu audio bytes at %u Hz, %zu events\n", fragments.size(),
              site.audio().size(), static_cast<unsigned>(rateHz), site.events().size());
  return site.audio().empty() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: speak_check VOICE_DIR TEXT_FILE OUT\n", stderr);
    return 2;
  }
  if (FAILED(CoInitializeEx(nullptr, kCoInitApartmentThreaded))) {
    std::puts("FAIL CoInitializeEx");
    return 1;
  }
  int result = 1;
  try {
    result = speak(argv[1], argv[2], argv[3]);
  } catch (const std::exception& e) {
    std::printf("FAIL %s\n", e.what());
  }
  sonvale::host::removeVoice(kTestVoiceName);
  CoUninitialize();
  return result;
}
