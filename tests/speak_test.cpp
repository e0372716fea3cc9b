// The speaking call as SAPI makes it: flags, argument checks, skip, failing
// sites, the announced output format, the diagnostic dumps and the COM object.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "engine/kelvane_obj.h"
#include "host/output_site.h"
#include "platform/le_bytes.h"
#include "test_support.h"

namespace sonvale {
namespace {

using host::OutputSite;
using testing::FragmentList;
using testing::RecordingSynth;

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SpeakTest : public testing::EngineTest {};

TEST_F(SpeakTest, FlagsTwoDoesNothing) {
  setenv("SONVALE_DUMP_DIR", dir_.path().c_str(), 1);
  storeSettings({{u"WaveOutStyle", 1}, {u"RTFOutStyle", 1}});
  Engine engine;
  OutputSite site;
  const FragmentList list(u"abc");
  EXPECT_EQ(engine.speak(2, list.head(), &site), S_OK);
  EXPECT_TRUE(site.events().empty());
  EXPECT_EQ(site.bytesWritten(), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.file(kWaveDumpName)));
  EXPECT_FALSE(std::filesystem::exists(dir_.file(kTextDumpName)));
}

TEST_F(SpeakTest, WhiteSpaceOnlyGivesNothing) {
  Engine engine;
  OutputSite site;
  const FragmentList list(u"  \r\n\t ");
  EXPECT_EQ(engine.speak(0, list.head(), &site), S_OK);
  EXPECT_TRUE(site.events().empty());
  EXPECT_EQ(site.bytesWritten(), 0u);
}

TEST_F(SpeakTest, NullArgumentsStillFinaliseTheDumps) {
  setenv("SONVALE_DUMP_DIR", dir_.path().c_str(), 1);
  storeSettings({{u"WaveOutStyle", 1}, {u"RTFOutStyle", 1}});
  Engine engine;
  OutputSite site;
  const FragmentList list(u"abc");
  EXPECT_EQ(engine.speak(0, list.head(), nullptr), E_INVALIDARG);
  EXPECT_EQ(engine.speak(0, nullptr, &site), E_INVALIDARG);
  EXPECT_TRUE(site.events().empty());
  // A dump with no samples: the bare header with sizes 38 and 0.
  EXPECT_EQ(readFile(dir_.file(kWaveDumpName)), pcmWavHeader(11025, 0));
  EXPECT_TRUE(std::filesystem::exists(dir_.file(kTextDumpName)));
}

TEST_F(SpeakTest, WaveDumpHeaderIsPatchedWithWhatWasAppended) {
  setenv("SONVALE_DUMP_DIR", dir_.path().c_str(), 1);
  storeSettings({{u"WaveOutStyle", 1}, {u"RTFOutStyle", 0}});
  // A synthesiser that dumps what it writes, as syllable synthesis does.
  struct DumpingSynth : RecordingSynth {
    explicit DumpingSynth(Engine& e) : RecordingSynth(64), engine(e) {}
    std::uint32_t speakSyllable(ISpTTSEngineSite* site, std::int32_t rate, std::uint32_t volume,
                                std::uint32_t unit, const SyllableParams& params) override {
      const std::uint8_t samples[64] = {1, 2, 3};
      engine.dumps().appendWave(samples, 64);
      return RecordingSynth::speakSyllable(site, rate, volume, unit, params);
    }
    Engine& engine;
  };
  Engine engine;
  DumpingSynth synth(engine);
  engine.setSynth(&synth);
  OutputSite site;
  const FragmentList list(u"ab");
  ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
  const auto file = readFile(dir_.file(kWaveDumpName));
  ASSERT_EQ(file.size(), 46u + 128u);
  ByteReader reader(file);
  std::uint32_t riff = 0, data = 0, rate = 0;
  ASSERT_TRUE(reader.u32le(4, riff) && reader.u32le(42, data) && reader.u32le(24, rate));
  EXPECT_EQ(riff, 38u + 128u);
  EXPECT_EQ(data, 128u);
  EXPECT_EQ(rate, 11025u);
  EXPECT_FALSE(std::filesystem::exists(dir_.file(kTextDumpName)));
}

TEST_F(SpeakTest, NoDumpsWithoutDumpDirectory) {
  storeSettings({{u"WaveOutStyle", 1}, {u"RTFOutStyle", 1}});
  setenv("SONVALE_DUMP_DIR", dir_.file("missing").c_str(), 1);
  Engine engine;
  OutputSite site;
  const FragmentList list(u"ab");
  EXPECT_EQ(engine.speak(0, list.head(), &site), S_OK);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("missing")));
}

TEST_F(SpeakTest, SkipIsAcknowledgedAndTextSpokenToTheEnd) {
  Engine engine;
  RecordingSynth synth;
  engine.setSynth(&synth);
  OutputSite site;
  site.requestSkip(2);
  const FragmentList list(u"a. b. c.");
  EXPECT_EQ(engine.speak(0, list.head(), &site), S_OK);
  EXPECT_EQ(site.completedSkips(), (std::vector<LONG>{0}));
  EXPECT_EQ(synth.calls.size(), 6u);
}

TEST_F(SpeakTest, FailedSkipCallsEndTheCall) {
  for (const auto call : {OutputSite::Call::GetSkipInfo, OutputSite::Call::CompleteSkip}) {
    Engine engine;
    OutputSite site;
    site.requestSkip(1);
    site.failCallAt(call, 1, E_FAIL);
    const FragmentList list(u"a");
    EXPECT_EQ(engine.speak(0, list.head(), &site), E_FAIL);
    EXPECT_TRUE(site.events().empty());
  }
}

TEST_F(SpeakTest, FailedSentenceEventEndsTheCallBeforeAudio) {
  Engine engine;
  RecordingSynth synth;
  engine.setSynth(&synth);
  OutputSite site;
  site.failCallAt(OutputSite::Call::AddEvents, 1, static_cast<HRESULT>(0x80070070u));
  const FragmentList list(u"abc. def");
  EXPECT_EQ(engine.speak(0, list.head(), &site), static_cast<HRESULT>(0x80070070u));
  EXPECT_EQ(site.bytesWritten(), 0u);
  EXPECT_TRUE(synth.calls.empty());
}

TEST_F(SpeakTest, AbortBeforeSpeakingGivesNothing) {
  Engine engine;
  OutputSite site;
  site.requestAbort();
  const FragmentList list(u"abc");
  EXPECT_EQ(engine.speak(0, list.head(), &site), S_OK);
  EXPECT_TRUE(site.events().empty());
}

TEST_F(SpeakTest, OffsetsRestartWithEveryCall) {
  Engine engine;
  RecordingSynth synth;
  engine.setSynth(&synth);
  const FragmentList list(u"a");
  for (int i = 0; i < 2; ++i) {
    OutputSite site;
    ASSERT_EQ(engine.speak(0, list.head(), &site), S_OK);
    ASSERT_EQ(site.events().size(), 2u);
    EXPECT_EQ(site.events()[1].audioOffset, 0u);
    EXPECT_EQ(engine.audioOffset(), 10100u);
  }
}

struct FormatCase {
  const char* name;
  DWORD voiceStyle;
  DWORD rateHz;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class OutputFormatTest : public testing::EngineTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(OutputFormatTest, AnnouncedRate) {
  storeSettings({{u"VoiceStyle", GetParam().voiceStyle}});
  Engine engine;
  GUID id = GUID_NULL;
  WAVEFORMATEX* format = nullptr;
  ASSERT_EQ(engine.getOutputFormat(&id, &format), S_OK);
  ASSERT_NE(format, nullptr);
  EXPECT_EQ(id, SPDFID_WaveFormatEx);
  EXPECT_EQ(format->wFormatTag, 1);
  EXPECT_EQ(format->nChannels, 1);
  EXPECT_EQ(format->nSamplesPerSec, GetParam().rateHz);
  EXPECT_EQ(format->nAvgBytesPerSec, 2 * GetParam().rateHz);
  EXPECT_EQ(format->nBlockAlign, 2);
  EXPECT_EQ(format->wBitsPerSample, 16);
  EXPECT_EQ(format->cbSize, 0);
  CoTaskMemFree(format);
}

const FormatCase kFormatCases[] = {
    {"MinusOneStoredAsAllOnes", 0xFFFFFFFFu, 8000}, {"Default", 0, 11025}, {"One", 1, 12000}, {"Two", 2, 12000},
    {"Three", 3, 16000}, {"Five", 5, 11025}, {"MinusTwo", 0xFFFFFFFEu, 11025},
};

INSTANTIATE_TEST_SUITE_P(Cases, OutputFormatTest, ::testing::ValuesIn(kFormatCases),
                         [](const ::testing::TestParamInfo<FormatCase>& param) { return param.param.name; });

TEST_F(SpeakTest, OutputFormatNullPointers) {
  Engine engine;
  GUID id;
  WAVEFORMATEX* format = nullptr;
  EXPECT_EQ(engine.getOutputFormat(nullptr, &format), E_INVALIDARG);
  EXPECT_EQ(engine.getOutputFormat(&id, nullptr), E_INVALIDARG);
}

// A token that only counts references; the engine needs nothing else of it here.
struct CountingToken final : ISpObjectToken {
  ULONG refs = 1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }
  HRESULT STDMETHODCALLTYPE SetData(LPCWSTR, ULONG, const BYTE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetData(LPCWSTR, ULONG*, BYTE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetStringValue(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStringValue(LPCWSTR, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDWORD(LPCWSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDWORD(LPCWSTR, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenKey(LPCWSTR, ISpDataKey**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR, ISpDataKey**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumKeys(ULONG, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumValues(ULONG, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetId(LPCWSTR, LPCWSTR, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCategory(ISpObjectTokenCategory**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, DWORD, REFIID, void**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStorageFileName(REFCLSID, LPCWSTR, LPCWSTR, ULONG, LPWSTR*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE RemoveStorageFileName(REFCLSID, LPCWSTR, BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Remove(const CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsUISupported(LPCWSTR, void*, ULONG, IUnknown*, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DisplayUI(HWND, LPCWSTR, LPCWSTR, void*, ULONG, IUnknown*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE MatchesAttributes(LPCWSTR, BOOL*) override { return E_NOTIMPL; }
};

TEST_F(SpeakTest, ComObjectInterfacesAndToken) {
  ISpTTSEngine* engine = nullptr;
  ASSERT_EQ(KelvaneObj::create(IID_ISpTTSEngine, reinterpret_cast<void**>(&engine)), S_OK);
  ISpObjectWithToken* withToken = nullptr;
  ASSERT_EQ(engine->QueryInterface(IID_ISpObjectWithToken, reinterpret_cast<void**>(&withToken)), S_OK);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(engine->QueryInterface(IID_ISpTokenUI, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  ISpObjectToken* got = reinterpret_cast<ISpObjectToken*>(1);
  EXPECT_EQ(withToken->GetObjectToken(&got), S_FALSE);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(withToken->GetObjectToken(nullptr), E_POINTER);
  EXPECT_EQ(withToken->SetObjectToken(nullptr), E_INVALIDARG);

  // The token names no voice files: loading fails with the token's error,
  // and the token stays stored.
  CountingToken token;
  EXPECT_EQ(withToken->SetObjectToken(&token), E_NOTIMPL);
  EXPECT_EQ(token.refs, 2u);
  EXPECT_EQ(withToken->SetObjectToken(&token), SPERR_ALREADY_INITIALIZED);
  EXPECT_EQ(withToken->GetObjectToken(&got), S_OK);
  EXPECT_EQ(got, &token);
  EXPECT_EQ(token.refs, 3u);
  got->Release();

  // Speaking through the interface, and the last release lets go of the token.
  OutputSite site;
  const FragmentList list(u"ab");
  EXPECT_EQ(engine->Speak(0, SPDFID_WaveFormatEx, nullptr, list.head(), &site), S_OK);
  EXPECT_EQ(site.events().size(), 3u);
  EXPECT_EQ(withToken->Release(), 1u);
  EXPECT_EQ(engine->Release(), 0u);
  EXPECT_EQ(token.refs, 1u);
}

}  // namespace
}  // namespace sonvale
