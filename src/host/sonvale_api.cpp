// The C interface over the engine object and the host's output site. Text
// arrives as UTF-8 and reaches the engine as UTF-16 fragments; events come
// back with their positions in both characters and UTF-8 bytes. The engine
// object is made as SAPI makes it: from the CLSID in the voice's token,
// through the module registered for that CLSID.
#include "sonvale/sonvale.h"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_options.h"
#include "host/com_activation.h"
#include "host/output_site.h"
#include "host/sapi_xml.h"
#include "host/ssml.h"
#include "host/voice_tokens.h"
#include "platform/utf.h"

struct sonvale_voice {
  sonvale::host::InprocServer server;  // released after the engine, when the voice is deleted
  ISpTTSEngine* engine = nullptr;
  sonvale::host::SiteControls controls;
  std::atomic<bool> aborted{false};  // sonvale_abort was called during the current sonvale_speak
  int rateHz = 11025;
  std::string lastError;
};

namespace {

using sonvale::host::RecordedEvent;

struct ReleaseUnknown {
  void operator()(IUnknown* unknown) const { unknown->Release(); }
};

void copyError(const std::string& message, char* error, size_t size) {
  if (error == nullptr || size == 0) return;
  const size_t n = message.size() < size - 1 ? message.size() : size - 1;
  std::memcpy(error, message.data(), n);
  error[n] = '\0';
}

std::string hresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// Where each UTF-16 position of the text falls in characters and UTF-8
// bytes. Positions are kept only every kStride code units and the rest are
// counted from the nearest one before, so a long text costs a few bytes per
// thousand code units. The second half of a surrogate pair stands where its
// first half does.
class PositionMap {
 public:
  struct Position {
    std::uint32_t chars = 0, bytes = 0;
  };

  explicit PositionMap(std::u16string_view text) : text_(text) {
    marks_.reserve(text.size() / kStride + 1);
    Position at;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i % kStride == 0) marks_.push_back(at);
      step(i, at);
    }
    end_ = at;
  }

  // The position of code unit `at`; positions past the end are the end.
  Position operator[](std::uint64_t at) const {
    if (at >= text_.size()) return end_;
    const std::size_t target = static_cast<std::size_t>(at);
    std::size_t i = target - target % kStride;
    Position p = marks_[i / kStride];
    for (; i < target; ++i) step(i, p);
    return p;
  }

 private:
  static constexpr std::size_t kStride = 256;

  bool pairStart(std::size_t i) const {
    return text_[i] >= 0xD800 && text_[i] <= 0xDBFF && i + 1 < text_.size() && text_[i + 1] >= 0xDC00 &&
           text_[i + 1] <= 0xDFFF;
  }

  // Moves `p` from code unit i to i + 1. A pair counts as one character of
  // four bytes when its second half is passed.
  void step(std::size_t i, Position& p) const {
    if (pairStart(i)) return;
    const char16_t u = text_[i];
    ++p.chars;
    p.bytes += i > 0 && pairStart(i - 1) ? 4u : u < 0x80 ? 1u : u < 0x800 ? 2u : 3u;
  }

  std::u16string_view text_;
  std::vector<Position> marks_;
  Position end_;
};

// Characters before each byte of an SSML text, counted on from the last
// question, since events mostly come in text order.
class SsmlPositions {
 public:
  explicit SsmlPositions(std::string_view text) : text_(text) {}

  PositionMap::Position at(std::size_t byte) {
    if (byte > text_.size()) byte = text_.size();
    if (byte < at_.bytes) at_ = {};
    for (; at_.bytes < byte; ++at_.bytes)
      if ((static_cast<unsigned char>(text_[at_.bytes]) & 0xC0) != 0x80) ++at_.chars;
    return at_;
  }

 private:
  std::string_view text_;
  PositionMap::Position at_;
};

// Fragments spoken per engine call: a long text is parsed and spoken batch by
// batch, so its fragments are never all in memory.
constexpr std::size_t kFragmentsPerCall = 512;

}  // namespace

extern "C" int sonvale_open(const char* name, sonvale_voice** voice, char* error, size_t error_size) {
  if (voice == nullptr) return SONVALE_ERROR_ARGUMENT;
  *voice = nullptr;
  try {
    std::string message;
    ISpObjectToken* rawToken = nullptr;
    HRESULT hr = sonvale::host::openVoiceToken(name != nullptr ? name : "", &rawToken, message);
    if (FAILED(hr)) {
      copyError(message, error, error_size);
      return hr == SPERR_NOT_FOUND ? SONVALE_ERROR_NO_VOICE : SONVALE_ERROR_ENGINE;
    }
    const std::unique_ptr<ISpObjectToken, ReleaseUnknown> token(rawToken);
    const std::string voiceName = name != nullptr && *name ? name : sonvale::host::kDefaultVoiceName;

    // The engine class the token names, as SAPI reads it.
    GUID clsid{};
    LPWSTR clsidText = nullptr;
    const bool named = SUCCEEDED(token->GetStringValue(u"CLSID", &clsidText)) && clsidText != nullptr &&
                       sonvale::platform::parseGuid(sonvale::platform::utf16ToUtf8(clsidText).c_str(), clsid);
    CoTaskMemFree(clsidText);
    if (!named) {
      copyError("voice '" + voiceName + "': its token names no engine class (CLSID)", error, error_size);
      return SONVALE_ERROR_VOICE;
    }
    std::unique_ptr<sonvale_voice, void (*)(sonvale_voice*)> v(new sonvale_voice(), sonvale_close);
    hr = v->server.loadFor(clsid, message);
    if (hr == sonvale::host::REGDB_E_CLASSNOTREG) message = "the engine is not registered: run sonvale register";
    if (SUCCEEDED(hr)) {
      hr = v->server.createInstance(clsid, nullptr, IID_ISpTTSEngine, reinterpret_cast<void**>(&v->engine));
      if (FAILED(hr))
        message = "the engine module " + v->server.path() + " cannot make the engine (HRESULT " + hresultText(hr) + ")";
    }
    if (FAILED(hr)) {
      copyError(message, error, error_size);
      return SONVALE_ERROR_ENGINE;
    }
    ISpObjectWithToken* withToken = nullptr;
    hr = v->engine->QueryInterface(IID_ISpObjectWithToken, reinterpret_cast<void**>(&withToken));
    if (SUCCEEDED(hr)) {
      hr = withToken->SetObjectToken(token.get());
      withToken->Release();
    }
    if (FAILED(hr)) {
      // The engine object reports only an HRESULT; the host's own voice
      // loader, without warning the user a second time, says which file is
      // at fault and what is wrong with it.
      std::string detail;
      sonvale::Engine probe;
      if (FAILED(probe.loadVoice(*token, false))) detail = probe.voiceError();
      if (detail.empty()) detail = "the engine refused the voice (HRESULT " + hresultText(hr) + ")";
      copyError("voice '" + voiceName + "': " + detail, error, error_size);
      return SONVALE_ERROR_VOICE;
    }
    GUID format{};
    WAVEFORMATEX* wfx = nullptr;
    if (SUCCEEDED(v->engine->GetOutputFormat(nullptr, nullptr, &format, &wfx)) && wfx != nullptr) {
      v->rateHz = static_cast<int>(wfx->nSamplesPerSec);
      CoTaskMemFree(wfx);
    }
    *voice = v.release();
    copyError("", error, error_size);
    return SONVALE_OK;
  } catch (const std::bad_alloc&) {
    copyError("out of memory", error, error_size);
    return SONVALE_ERROR_ENGINE;
  }
}

extern "C" int sonvale_speak(sonvale_voice* voice, const char* text, ptrdiff_t length, int text_kind,
                             sonvale_audio_fn on_audio, sonvale_event_fn on_event, void* user) {
  if (voice == nullptr || text == nullptr || text_kind < SONVALE_TEXT_PLAIN || text_kind > SONVALE_TEXT_SSML)
    return SONVALE_ERROR_ARGUMENT;
  // An abort asked for while the text is still being read must stand.
  voice->controls.clearAbort();
  voice->aborted = false;
  try {
    voice->lastError.clear();
    const std::size_t bytes = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    // SSML is turned into the engine's markup first; events found in the
    // markup are placed back in the SSML.
    const std::string_view given(text, bytes);
    const bool ssml =
        text_kind == SONVALE_TEXT_SSML || (text_kind == SONVALE_TEXT_AUTO && sonvale::host::looksLikeSsml(given));
    sonvale::host::SapiText sapi;
    if (ssml) {
      if (const std::string error = sonvale::host::ssmlToSapi(given, false, sapi); !error.empty()) {
        if (error == "out of memory") throw std::bad_alloc();
        voice->lastError = "SSML: " + error;
        return SONVALE_ERROR_ARGUMENT;
      }
    }
    const std::u16string utf16 = sonvale::platform::utf8ToUtf16(ssml ? std::string_view(sapi.markup) : given);
    const bool xml =
        ssml || text_kind == SONVALE_TEXT_XML || (text_kind == SONVALE_TEXT_AUTO && sonvale::host::looksLikeXml(utf16));
    SsmlPositions ssmlPositions(given);
    const PositionMap positions(utf16);

    // Bookmark events carry no position; the n-th one of a call belongs to
    // the n-th bookmark fragment of its batch.
    std::vector<std::uint32_t> bookmarkOffsets;
    std::size_t bookmarks = 0;
    // Each engine call counts its audio from 0; events are placed in the
    // audio of the whole text.
    std::uint64_t audioBytes = 0, batchStart = 0;

    bool refused = false;
    std::uint8_t carry = 0;  // the first byte of a sample split across two writes
    bool carrying = false;
    std::vector<std::int16_t> samples;
    auto audio = [&](const std::uint8_t* data, std::uint32_t count) -> HRESULT {
      audioBytes += count;
      if (on_audio == nullptr) return S_OK;
      samples.resize((count + (carrying ? 1 : 0)) / 2);
      std::size_t k = 0;
      std::uint32_t i = 0;
      if (carrying && count > 0) {
        samples[k++] = static_cast<std::int16_t>(carry | data[0] << 8);
        carrying = false;
        i = 1;
      }
      const std::size_t pairs = (count - i) / 2;
      if constexpr (std::endian::native == std::endian::little) {
        if (pairs > 0) std::memcpy(samples.data() + k, data + i, 2 * pairs);
      } else {
        for (std::size_t p = 0; p < pairs; ++p)
          samples[k + p] = static_cast<std::int16_t>(data[i + 2 * p] | data[i + 2 * p + 1] << 8);
      }
      i += static_cast<std::uint32_t>(2 * pairs);
      if (i < count) {
        carry = data[i];
        carrying = true;
      }
      if (!samples.empty() && on_audio(user, samples.data(), samples.size()) != 0) {
        // Stop the engine as well: a failed Write of a syllable alone does not.
        refused = true;
        voice->controls.requestAbort();
        return E_ABORT;
      }
      return S_OK;
    };
    auto event = [&](const RecordedEvent& e) {
      if (on_event == nullptr) return;
      sonvale_event out{};
      out.audio_offset = batchStart + e.audioOffset;
      std::string name;
      std::uint64_t from = 0, to = 0;
      if (e.id == SPEI_TTS_BOOKMARK) {
        out.kind = SONVALE_EVENT_BOOKMARK;
        name = sonvale::platform::utf16ToUtf8(e.bookmark);
        out.value = static_cast<std::int32_t>(e.wParam);
        if (ssml && e.wParam < sapi.marks.size()) {
          // The markup's bookmarks are the marks' numbers.
          name = sapi.marks[e.wParam];
          out.value = static_cast<std::int32_t>(std::strtol(name.c_str(), nullptr, 10));
        }
        out.name = name.c_str();
        from = to = bookmarks < bookmarkOffsets.size() ? bookmarkOffsets[bookmarks] : 0;
        ++bookmarks;
      } else {
        out.kind = e.id == SPEI_SENTENCE_BOUNDARY ? SONVALE_EVENT_SENTENCE : SONVALE_EVENT_WORD;
        from = static_cast<std::uint64_t>(e.lParam);
        to = from + e.wParam;
      }
      PositionMap::Position a = positions[from], b = positions[to];
      if (ssml) {
        a = ssmlPositions.at(sapi.ssmlByteOf(a.bytes));
        b = ssmlPositions.at(sapi.ssmlByteOf(b.bytes));
        if (b.bytes < a.bytes) b = a;
      }
      out.text_pos = a.chars;
      out.text_len = b.chars - a.chars;
      out.utf8_pos = a.bytes;
      out.utf8_len = b.bytes - a.bytes;
      on_event(user, &out);
    };
    sonvale::host::OutputSite site(audio, event, &voice->controls);
    HRESULT hr = S_OK;
    const auto speakBatch = [&](const sonvale::host::FragmentList& batch) {
      // The engine takes an abort up when it sees it; the voice keeps it
      // until the call ends, so no later batch is spoken.
      if (voice->aborted) return false;
      bookmarkOffsets.clear();
      bookmarks = 0;
      for (const SPVTEXTFRAG* f = batch.head(); f != nullptr; f = f->pNext)
        if (f->State.eAction == SPVA_Bookmark) bookmarkOffsets.push_back(f->ulTextSrcOffset);
      batchStart = audioBytes;
      hr = voice->engine->Speak(0, SPDFID_WaveFormatEx, nullptr, batch.head(), &site);
      return SUCCEEDED(hr) && !refused && !voice->aborted;
    };
    const sonvale::host::ParseStatus parsed =
        sonvale::host::parseSpeakTextInBatches(utf16, xml, kFragmentsPerCall, speakBatch);
    if (parsed == sonvale::host::ParseStatus::OutOfMemory) throw std::bad_alloc();
    if (parsed == sonvale::host::ParseStatus::TooLong) {
      voice->lastError = "the text is too long";
      return SONVALE_ERROR_ARGUMENT;
    }
    if (refused) {
      voice->lastError = "the audio callback refused the audio";
      return SONVALE_ERROR_OUTPUT;
    }
    if (FAILED(hr)) {
      voice->lastError = "speaking failed (HRESULT " + hresultText(hr) + ")";
      return SONVALE_ERROR_ENGINE;
    }
    return SONVALE_OK;
  } catch (const std::bad_alloc&) {
    voice->lastError = "out of memory";
    return SONVALE_ERROR_ENGINE;
  } catch (...) {
    voice->lastError = "unexpected failure";
    return SONVALE_ERROR_ENGINE;
  }
}

extern "C" void sonvale_abort(sonvale_voice* voice) {
  if (voice == nullptr) return;
  voice->aborted = true;
  voice->controls.requestAbort();
}

extern "C" int sonvale_set_rate(sonvale_voice* voice, int rate) {
  if (voice == nullptr || rate < -10 || rate > 10) return SONVALE_ERROR_ARGUMENT;
  voice->controls.setRate(rate);
  return SONVALE_OK;
}

extern "C" int sonvale_set_volume(sonvale_voice* voice, int volume) {
  if (voice == nullptr || volume < 0 || volume > 100) return SONVALE_ERROR_ARGUMENT;
  voice->controls.setVolume(static_cast<USHORT>(volume));
  return SONVALE_OK;
}

extern "C" int sonvale_set_setting(sonvale_voice* voice, const char* name, int32_t value) {
  if (voice == nullptr || name == nullptr || voice->engine == nullptr) return SONVALE_ERROR_ARGUMENT;
  ISonvaleEngineOptions* options = nullptr;
  if (FAILED(voice->engine->QueryInterface(IID_ISonvaleEngineOptions, reinterpret_cast<void**>(&options))))
    return SONVALE_ERROR_ENGINE;
  const HRESULT hr = options->SetProcessSetting(sonvale::platform::utf8ToUtf16(name).c_str(), value);
  options->Release();
  return SUCCEEDED(hr) ? SONVALE_OK : SONVALE_ERROR_ARGUMENT;
}

extern "C" int sonvale_sample_rate(const sonvale_voice* voice) { return voice != nullptr ? voice->rateHz : 0; }

extern "C" const char* sonvale_last_error(const sonvale_voice* voice) {
  return voice != nullptr ? voice->lastError.c_str() : "";
}

extern "C" void sonvale_close(sonvale_voice* voice) {
  if (voice == nullptr) return;
  if (voice->engine != nullptr) voice->engine->Release();
  delete voice;
}
