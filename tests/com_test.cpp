#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "platform/com.h"
#include "platform/sapi.h"

namespace {

TEST(Com, HresultFromWin32) {
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), 0x80070002u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), 0x80070005u);
  EXPECT_EQ(static_cast<std::uint32_t>(HRESULT_FROM_WIN32(0x12345)), 0x80072345u);  // low 16 bits only
  EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
  EXPECT_EQ(HRESULT_FROM_WIN32(-5), -5);  // not positive: unchanged
  EXPECT_TRUE(FAILED(E_INVALIDARG));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(Com, GuidTextRoundTrip) {
  struct Case {
    const char* text;
    bool valid;
  };
  const Case cases[] = {
      {"{C31ADBAE-527F-4FF5-A230-F62BB61FF70C}", true},
      {"{c31adbae-527f-4ff5-a230-f62bb61ff70c}", true},
      {"C31ADBAE-527F-4FF5-A230-F62BB61FF70C", true},
      {"{C31ADBAE-527F-4FF5-A230-F62BB61FF70}", false},
      {"{C31ADBAE-527F-4FF5-A230-F62BB61FF70CX}", false},
      {"{C31ADBAE_527F-4FF5-A230-F62BB61FF70C}", false},
      {"{G31ADBAE-527F-4FF5-A230-F62BB61FF70C}", false},
      {"", false},
  };
  for (const Case& c : cases) {
    GUID guid = GUID_NULL;
    EXPECT_EQ(sonvale::platform::parseGuid(c.text, guid), c.valid) << c.text;
    if (c.valid) {
      EXPECT_EQ(guid, SPDFID_WaveFormatEx) << c.text;
    }
  }
  char text[39];
  sonvale::platform::formatGuid(IID_ISpTTSEngine, text);
  EXPECT_STREQ(text, "{A74D7C8E-4CC5-4F2F-A6EB-804DEE18500E}");
}

TEST(Com, TaskAllocator) {
  void* block = CoTaskMemAlloc(18);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xAB, 18);
  CoTaskMemFree(block);
  CoTaskMemFree(nullptr);
}

TEST(Sapi, RecordLayouts) {
  EXPECT_EQ(sizeof(WAVEFORMATEX), 18u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, nSamplesPerSec), 4u);
  EXPECT_EQ(offsetof(WAVEFORMATEX, cbSize), 16u);
  EXPECT_EQ(offsetof(SPEVENT, ulStreamNum), 4u);
  EXPECT_EQ(offsetof(SPEVENT, ullAudioStreamOffset), 8u);
  EXPECT_EQ(offsetof(SPEVENT, wParam), 16u);
  EXPECT_EQ(offsetof(SPEVENT, lParam), 16u + sizeof(WPARAM));
  EXPECT_EQ(offsetof(SPVSTATE, LangID), 4u);
  EXPECT_EQ(offsetof(SPVSTATE, EmphAdj), 8u);
  EXPECT_EQ(offsetof(SPVSTATE, SilenceMSecs), 28u);
  EXPECT_EQ(offsetof(SPVTEXTFRAG, State), sizeof(void*));
}

// A site that answers each method with its own number, to check that each
// method sits in the vtable slot the published interface gives it.
struct SlotSite final : ISpTTSEngineSite {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return 100; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 101; }
  ULONG STDMETHODCALLTYPE Release() override { return 102; }
  HRESULT STDMETHODCALLTYPE AddEvents(const SPEVENT*, ULONG) override { return 103; }
  HRESULT STDMETHODCALLTYPE GetEventInterest(ULONGLONG*) override { return 104; }
  DWORD STDMETHODCALLTYPE GetActions() override { return 105; }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return 106; }
  HRESULT STDMETHODCALLTYPE GetRate(LONG*) override { return 107; }
  HRESULT STDMETHODCALLTYPE GetVolume(USHORT*) override { return 108; }
  HRESULT STDMETHODCALLTYPE GetSkipInfo(SPVSKIPTYPE*, LONG*) override { return 109; }
  HRESULT STDMETHODCALLTYPE CompleteSkip(LONG) override { return 110; }
};

TEST(Sapi, SiteMethodOrder) {
  SlotSite site;
  ISpTTSEngineSite* asInterface = &site;
  // The object's first word is its vtable; slot k answers 100 + k.
  void* const* vtable = *reinterpret_cast<void* const* const*>(asInterface);
  using Slot5 = DWORD (*)(ISpTTSEngineSite*);
  using Slot10 = HRESULT (*)(ISpTTSEngineSite*, LONG);
  EXPECT_EQ(reinterpret_cast<Slot5>(vtable[5])(asInterface), 105u);
  EXPECT_EQ(reinterpret_cast<Slot10>(vtable[10])(asInterface, 0), 110);
}

}  // namespace
