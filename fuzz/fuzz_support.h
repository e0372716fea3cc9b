// Helpers shared by the fuzz targets and their seed generator: a reader over
// the fuzzer's bytes, the encodings the targets read their inputs in, a
// scratch directory on a memory file system, a voice token that names files
// without a registry, and a check that stops the run with a message.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "engine/word_record.h"
#include "platform/com.h"
#include "platform/le_bytes.h"
#include "platform/sapi.h"
#include "platform/utf.h"
#include "synth/voice_format.h"

namespace sonvale::fuzz {

// A property the target promises was broken: say which, then stop so that
// libFuzzer keeps the input.
#define SONVALE_FUZZ_CHECK(condition, ...)                                         \
  do {                                                                             \
    if (!(condition)) {                                                            \
      std::fprintf(stderr, "fuzz check failed at %s:%d: %s: ", __FILE__, __LINE__, \
                   #condition);                                                    \
      std::fprintf(stderr, __VA_ARGS__);                                           \
      std::fputc('\n', stderr);                                                    \
      __builtin_trap();                                                            \
    }                                                                              \
  } while (false)

// True when SONVALE_FUZZ_VERBOSE is set: the targets then say what each run did.
inline bool verbose() {
  static const bool on = std::getenv("SONVALE_FUZZ_VERBOSE") != nullptr;
  return on;
}

// Reads the fuzzer's bytes front to back; past the end every read gives 0 and
// every part is empty, so any input is a complete program.
class ByteStream {
 public:
  explicit ByteStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  bool empty() const { return at_ >= bytes_.size(); }
  std::size_t remaining() const { return empty() ? 0 : bytes_.size() - at_; }

  std::uint8_t u8() { return at_ < bytes_.size() ? bytes_[at_++] : 0; }
  std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | u8() << 8); }
  std::uint32_t u32() {
    const std::uint32_t low = u16();
    return low | static_cast<std::uint32_t>(u16()) << 16;
  }

  // The next `count` bytes, fewer when the input ends first.
  std::span<const std::uint8_t> take(std::size_t count) {
    const std::size_t n = count < remaining() ? count : remaining();
    const auto out = bytes_.subspan(at_ < bytes_.size() ? at_ : bytes_.size(), n);
    at_ += n;
    return out;
  }

  // A part written as a u32le length and its bytes.
  std::span<const std::uint8_t> part() { return take(u32()); }

  std::span<const std::uint8_t> rest() { return take(remaining()); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

inline void appendPart(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> part) {
  appendU32le(out, static_cast<std::uint32_t>(part.size()));
  out.insert(out.end(), part.begin(), part.end());
}

// ---- voice images -----------------------------------------------------------
//
// The voice-loading target reads four parts: VoiceDef, VoiceData, VoiceWord
// and a text (UTF-16LE) to speak with the voice. A flag byte in front says
// whether the VoiceDef and VoiceWord parts are the files themselves or patch
// lists over a blank unit index and an empty dictionary: a unit index is
// 700948 bytes, far more than a fuzzer mutates well, while a patch list
// reaches every entry in a few bytes.
inline constexpr std::uint8_t kDefPatched = 1;
inline constexpr std::uint8_t kWordPatched = 2;

// Patch records; the tag is taken modulo kPatchKinds.
enum PatchKind : std::uint8_t {
  kPatchUnitEntry = 0,   // u16 unit code (mod 21902), 32 entry bytes (VoiceDef)
  kPatchBytes = 1,       // u32 offset (mod size + 1), u8 count, bytes: overwrite, clipped at the end
  kPatchTruncate = 2,    // u32 size: cut the file to size mod (its size + 1)
  kPatchRecord = 3,      // 428 bytes: append a dictionary record (VoiceWord)
  kPatchIndexEntry = 4,  // u16 character (mod 20902), u32 first, u32 last record (VoiceWord)
  kPatchSharedList = 5,  // u32 first, u32 count (VoiceWord)
  kPatchKinds = 6,
};

inline void patchBytes(std::vector<std::uint8_t>& file, std::size_t at, std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size() && at + i < file.size(); ++i) file[at + i] = bytes[i];
}

// Applies a patch list to `file`. Records a file kind has no use for are read
// and dropped, so one list shape serves both files.
inline void applyPatches(std::vector<std::uint8_t>& file, ByteStream patches, bool dictionary) {
  std::uint8_t field[8];
  while (!patches.empty()) {
    switch (patches.u8() % kPatchKinds) {
      case kPatchUnitEntry: {
        const std::size_t unit = patches.u16() % voice::kUnitCount;
        const auto entry = patches.take(voice::kUnitEntryBytes);
        if (!dictionary) patchBytes(file, voice::kUnitTableOffset + unit * voice::kUnitEntryBytes, entry);
        break;
      }
      case kPatchBytes: {
        const std::size_t at = patches.u32() % (file.size() + 1);
        patchBytes(file, at, patches.take(patches.u8()));
        break;
      }
      case kPatchTruncate:
        file.resize(patches.u32() % (file.size() + 1));
        break;
      case kPatchRecord: {
        const auto record = patches.take(kWordRecordBytes);
        if (dictionary) file.insert(file.end(), record.begin(), record.end());
        break;
      }
      case kPatchIndexEntry: {
        const std::size_t c = patches.u16() % voice::kIndexedChars;
        putU32le(field, patches.u32());
        putU32le(field + 4, patches.u32());
        if (dictionary) patchBytes(file, voice::kCharIndexOffset + c * voice::kCharIndexEntryBytes + 4, {field, 8});
        break;
      }
      case kPatchSharedList: {
        putU32le(field, patches.u32());
        putU32le(field + 4, patches.u32());
        if (dictionary) patchBytes(file, voice::kSharedFirstOffset, {field, 8});
        break;
      }
      default:
        break;
    }
  }
}

// A unit index whose every entry is empty.
inline std::vector<std::uint8_t> blankVoiceDef() {
  std::vector<std::uint8_t> def = voice::voiceDefHeader();
  def.resize(voice::kVoiceDefBytes, 0);
  return def;
}

// Writers of the same records, for the seed generator.
inline void addUnitEntryPatch(std::vector<std::uint8_t>& patches, std::uint32_t unit, const voice::UnitEntry& entry) {
  patches.push_back(kPatchUnitEntry);
  appendU16le(patches, static_cast<std::uint16_t>(unit));
  voice::appendUnitEntry(patches, entry);
}

inline void addBytesPatch(std::vector<std::uint8_t>& patches, std::uint32_t at, std::span<const std::uint8_t> bytes) {
  patches.push_back(kPatchBytes);
  appendU32le(patches, at);
  patches.push_back(static_cast<std::uint8_t>(bytes.size()));
  patches.insert(patches.end(), bytes.begin(), bytes.end());
}

inline void addTruncatePatch(std::vector<std::uint8_t>& patches, std::uint32_t size) {
  patches.push_back(kPatchTruncate);
  appendU32le(patches, size);
}

inline void addRecordPatch(std::vector<std::uint8_t>& patches, const WordRecord& word) {
  patches.push_back(kPatchRecord);
  voice::appendWordRecord(patches, word);
}

inline void addIndexPatch(std::vector<std::uint8_t>& patches, char16_t c, std::uint32_t first, std::uint32_t last) {
  patches.push_back(kPatchIndexEntry);
  appendU16le(patches, static_cast<std::uint16_t>(c - voice::kFirstIndexedChar));
  appendU32le(patches, first);
  appendU32le(patches, last);
}

inline void addSharedListPatch(std::vector<std::uint8_t>& patches, std::uint32_t first, std::uint32_t count) {
  patches.push_back(kPatchSharedList);
  appendU32le(patches, first);
  appendU32le(patches, count);
}

// ---- speaking programs ------------------------------------------------------
//
// A code unit of a spoken text is drawn from a class, so that a mutation of
// one byte moves it between ideographs, digits, letters, marks and the rest.
enum UnitClass : std::uint8_t {
  kKnownIdeograph = 0,  // one of the voice's words, the phrase table's keys, the numerals
  kAnyIdeograph,        // U+4E00..U+9FA5
  kDigit,
  kLetter,
  kAsciiMark,
  kAsciiSpace,
  kCjkSymbol,           // U+3000..U+303F
  kFullwidth,           // U+FF00..U+FF5F
  kLatin1OrQuote,       // U+0080..U+00FF, U+201C, U+201D
  kPastVoice,           // U+9FA6..U+9FFF, U+3400..U+4DFF
  kSurrogateOrNul,
  kRawUnit,
  kUnitClasses,
};

// Ideographs worth meeting often: the fuzz voice's words, a few phrase-table
// keys and the numerals that number reading produces.
inline constexpr char16_t kKnownIdeographs[] = {
    u'你', u'好', u'香', u'港', u'人', u'大', u'学', u'生', u'中', u'国', u'一', u'二', u'三', u'十',
    u'百', u'千', u'万', u'亿', u'零', u'点', u'负', u'分', u'之', u'标', u'符', u'号', u'天', u'下',
    u'统', u'语', u'音', u'朗', u'读', u'差', u'不', u'多', u'英', u'文', u'当', u'众', u'倒', u'车',
    u'像', u'我', u'们', u'长', u'的', u'本', u'壹', u'贰', u'叁', u'肆', u'伍', u'陆', u'柒', u'捌',
    u'玖', u'拾', u'佰', u'仟'};
inline constexpr char kAsciiMarks[] = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";

inline char16_t drawUnit(ByteStream& in) {
  const std::uint8_t kind = in.u8() % kUnitClasses;
  const std::uint16_t v = in.u16();
  switch (kind) {
    case kKnownIdeograph:
      return kKnownIdeographs[v % std::size(kKnownIdeographs)];
    case kAnyIdeograph:
      return static_cast<char16_t>(0x4E00 + v % voice::kIndexedChars);
    case kDigit:
      return static_cast<char16_t>(u'0' + v % 10);
    case kLetter:
      return static_cast<char16_t>((v & 0x100 ? u'a' : u'A') + v % 26);
    case kAsciiMark:
      return static_cast<char16_t>(kAsciiMarks[v % (sizeof kAsciiMarks - 1)]);
    case kAsciiSpace:
      return u" \t\r\n"[v % 4];
    case kCjkSymbol:
      return static_cast<char16_t>(0x3000 + v % 0x40);
    case kFullwidth:
      return static_cast<char16_t>(0xFF00 + v % 0x60);
    case kLatin1OrQuote:
      return v % 9 == 0 ? char16_t{0x201C} : v % 9 == 1 ? char16_t{0x201D} : static_cast<char16_t>(0x80 + v % 0x80);
    case kPastVoice:
      return v & 1 ? static_cast<char16_t>(0x9FA6 + v % 0x5A) : static_cast<char16_t>(0x3400 + v % 0x1A00);
    case kSurrogateOrNul:
      return v % 5 == 0 ? char16_t{0} : static_cast<char16_t>(0xD800 + v % 0x800);
    default:
      return static_cast<char16_t>(v);
  }
}

// ---- files and tokens -------------------------------------------------------

// A directory for the run's files, on a memory file system when there is one;
// removed with everything in it when the object goes.
class ScratchDir {
 public:
  ScratchDir() {
    const std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path().string();
    std::string pattern = base + "/sonvale-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A voice token that only knows the three file names, so that loading a voice
// needs no registry.
class FileToken final : public ISpDataKey {
 public:
  FileToken(std::string def, std::string data, std::string word)
      : def_(platform::utf8ToUtf16(def)), data_(platform::utf8ToUtf16(data)), word_(platform::utf8ToUtf16(word)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    if (ppv != nullptr) *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE GetStringValue(LPCWSTR name, LPWSTR* value) override {
    if (value == nullptr) return E_POINTER;
    *value = nullptr;
    const std::u16string_view wanted(name);
    const std::u16string* path = wanted == u"VoiceDef" ? &def_ : wanted == u"VoiceData" ? &data_ : wanted == u"VoiceWord" ? &word_ : nullptr;
    if (path == nullptr) return SPERR_NOT_FOUND;
    auto* copy = static_cast<char16_t*>(CoTaskMemAlloc((path->size() + 1) * sizeof(char16_t)));
    if (copy == nullptr) return E_OUTOFMEMORY;
    std::memcpy(copy, path->c_str(), (path->size() + 1) * sizeof(char16_t));
    *value = copy;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE SetData(LPCWSTR, ULONG, const BYTE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetData(LPCWSTR, ULONG*, BYTE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetStringValue(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDWORD(LPCWSTR, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDWORD(LPCWSTR, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OpenKey(LPCWSTR, ISpDataKey**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateKey(LPCWSTR, ISpDataKey**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteKey(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE DeleteValue(LPCWSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumKeys(ULONG, LPWSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE EnumValues(ULONG, LPWSTR*) override { return E_NOTIMPL; }

 private:
  std::u16string def_, data_, word_;
};

}  // namespace sonvale::fuzz
