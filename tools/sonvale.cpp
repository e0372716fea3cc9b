// The sonvale command: speaks Chinese text in Cantonese.
//
//   sonvale speak [TEXT...]      text from the arguments, else standard input
//
// Until the voice units can be synthesised, speaking prints the events the
// engine sends (one JSON object per line) and the number of audio bytes.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "engine/kelvane_obj.h"
#include "host/output_site.h"
#include "platform/utf.h"
#include "voice_commands.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: sonvale speak [TEXT...]\n"
    "       sonvale voice build UNITS_DIR WORDS_FILE OUT_DIR\n"
    "       sonvale voice check DIR\n"
    "\n"
    "speak: speaks TEXT (UTF-8; standard input when no TEXT is given) and prints\n"
    "each event the engine sends as one JSON object per line.\n";

const char* eventName(SPEVENTENUM id) {
  switch (id) {
    case SPEI_SENTENCE_BOUNDARY:
      return "sentence";
    case SPEI_WORD_BOUNDARY:
      return "word";
    case SPEI_TTS_BOOKMARK:
      return "bookmark";
    default:
      return "other";
  }
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

void printEvent(const std::u16string& text, const sonvale::host::RecordedEvent& e) {
  std::string line = std::string("{\"event\":\"") + eventName(e.id) + "\",\"offset\":" + std::to_string(e.audioOffset);
  if (e.id == SPEI_TTS_BOOKMARK) {
    line += ",\"name\":" + jsonString(sonvale::platform::utf16ToUtf8(e.bookmark)) +
            ",\"value\":" + std::to_string(static_cast<std::int32_t>(e.wParam));
  } else {
    const auto pos = static_cast<std::size_t>(e.lParam);
    const auto len = static_cast<std::size_t>(e.wParam);
    line += ",\"pos\":" + std::to_string(pos) + ",\"len\":" + std::to_string(len);
    if (pos <= text.size()) line += ",\"text\":" + jsonString(sonvale::platform::utf16ToUtf8(text.substr(pos, len)));
  }
  std::puts((line + "}").c_str());
}

int speak(int argc, char** argv) {
  std::string utf8;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i > 0) utf8 += ' ';
    utf8 += argv[i];
  }
  if (argc == 0) utf8.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());

  const std::u16string text = sonvale::platform::utf8ToUtf16(utf8);
  SPVTEXTFRAG fragment{};
  fragment.State.eAction = SPVA_Speak;
  fragment.State.Volume = 100;
  fragment.pTextStart = text.c_str();
  fragment.ulTextLen = static_cast<ULONG>(text.size());

  ISpTTSEngine* engine = nullptr;
  HRESULT hr = sonvale::KelvaneObj::create(IID_ISpTTSEngine, reinterpret_cast<void**>(&engine));
  if (FAILED(hr)) {
    std::fprintf(stderr, "sonvale: cannot create the engine (HRESULT 0x%08X)\n", static_cast<unsigned>(hr));
    return kExitFailure;
  }
  sonvale::host::OutputSite site(
      [](const std::uint8_t*, std::uint32_t) { return S_OK; },
      [&text](const sonvale::host::RecordedEvent& e) { printEvent(text, e); });
  hr = engine->Speak(0, SPDFID_WaveFormatEx, nullptr, &fragment, &site);
  engine->Release();
  if (FAILED(hr)) {
    std::fprintf(stderr, "sonvale: speaking failed (HRESULT 0x%08X)\n", static_cast<unsigned>(hr));
    return kExitFailure;
  }
  std::fprintf(stderr, "sonvale: %llu bytes of audio\n", static_cast<unsigned long long>(site.bytesWritten()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : 0;
  }
  if (std::strcmp(argv[1], "speak") == 0) return speak(argc - 2, argv + 2);
  if (std::strcmp(argv[1], "voice") == 0 && argc >= 3) {
    if (std::strcmp(argv[2], "build") == 0) return sonvale::tools::voiceBuildCommand(argc - 3, argv + 3);
    if (std::strcmp(argv[2], "check") == 0) return sonvale::tools::voiceCheckCommand(argc - 3, argv + 3);
  }
  std::fprintf(stderr, "sonvale: unknown command '%s'\n%s", argv[1], kUsage);
  return kExitUsage;
}
