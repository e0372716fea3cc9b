// Reading an "MSFT" type library: a fixed header, the offsets of the type
// descriptions, a directory of fifteen segments (type descriptions, imported
// types, imported files, implemented-type records, GUID hash and table, name
// hash and table, strings, ...), then the segments. Names, strings and GUIDs
// are referred to by their offset inside their segment; a type refers to
// another by its offset in the type description segment, or to an imported
// type by its offset in the imported-type segment with bit 0 set.
#include "server/type_library.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>

#include "platform/le_bytes.h"
#include "platform/registry.h"
#include "platform/utf.h"
#ifdef _WIN32
#include "platform/win32_api.h"
#endif

namespace sonvale::server {

namespace {

constexpr std::uint32_t kMagic = 0x5446534D;  // "MSFT"
constexpr std::size_t kHeaderBytes = 0x54;
constexpr std::uint32_t kHelpDllFlag = 0x100;  // the header is followed by the help DLL's string offset
constexpr std::size_t kSegmentCount = 15;
constexpr std::size_t kTypeInfoBytes = 0x64;
constexpr std::size_t kImpInfoBytes = 12;
constexpr std::size_t kRefRecordBytes = 16;
constexpr std::uint32_t kImplTypeDefault = 1;  // IMPLTYPEFLAG_FDEFAULT

// The segments, in directory order.
enum Segment : std::size_t {
  kTypeInfoTab = 0,
  kImpInfo = 1,
  kImpFiles = 2,
  kRefTab = 3,
  kGuidTab = 5,
  kNameTab = 7,
  kStringTab = 8,
};

struct Span {
  std::size_t offset = 0, length = 0;
  bool present = false;
};

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : r_(bytes) {}

  bool fail(std::string& error, const std::string& what, std::size_t at) const {
    error = what + " (at byte " + std::to_string(at) + " of " + std::to_string(r_.size()) + ")";
    return false;
  }

  bool u32(std::size_t at, std::uint32_t& out) const { return r_.u32le(at, out); }
  bool i32(std::size_t at, std::int32_t& out) const {
    std::uint32_t v = 0;
    if (!r_.u32le(at, v)) return false;
    out = static_cast<std::int32_t>(v);
    return true;
  }
  bool u16(std::size_t at, std::uint16_t& out) const { return r_.u16le(at, out); }
  std::span<const std::uint8_t> bytes(std::size_t at, std::size_t count) const { return r_.bytes(at, count); }

  bool readSegments(std::size_t at, std::string& error) {
    for (std::size_t s = 0; s < kSegmentCount; ++s) {
      std::int32_t offset = 0, length = 0;
      const std::size_t entry = at + 16 * s;
      if (!i32(entry, offset) || !i32(entry + 4, length)) return fail(error, "segment directory cut short", entry);
      if (offset == -1) continue;
      if (offset < 0 || length < 0 || !r_.has(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)))
        return fail(error, "segment " + std::to_string(s) + " lies outside the file", entry);
      segments_[s] = {static_cast<std::size_t>(offset), static_cast<std::size_t>(length), true};
    }
    return true;
  }

  // `count` bytes at `offset` inside segment `s`: their file offset.
  bool inSegment(Segment s, std::int64_t offset, std::size_t count, std::size_t& at) const {
    const Span& seg = segments_[s];
    if (!seg.present || offset < 0 || static_cast<std::uint64_t>(offset) > seg.length ||
        count > seg.length - static_cast<std::size_t>(offset))
      return false;
    at = seg.offset + static_cast<std::size_t>(offset);
    return true;
  }

  bool guid(std::int32_t offset, GUID& out) const {
    out = GUID_NULL;
    if (offset == -1) return true;
    std::size_t at = 0;
    if (!inSegment(kGuidTab, offset, 16, at)) return false;
    std::uint16_t d2 = 0, d3 = 0;
    u32(at, out.Data1);
    u16(at + 4, d2);
    u16(at + 6, d3);
    out.Data2 = d2;
    out.Data3 = d3;
    const auto tail = r_.bytes(at + 8, 8);
    for (std::size_t i = 0; i < 8; ++i) out.Data4[i] = tail[i];
    return true;
  }

  // A name: hreftype, hash link, length in the low byte, then the characters.
  bool name(std::int32_t offset, std::string& out) const {
    out.clear();
    std::size_t at = 0;
    std::uint32_t length = 0;
    if (!inSegment(kNameTab, offset, 12, at) || !u32(at + 8, length)) return false;
    length &= 0xFF;
    if (!inSegment(kNameTab, offset + 12, length, at)) return false;
    const auto chars = r_.bytes(at, length);
    out.assign(chars.begin(), chars.end());
    return true;
  }

  // A string: a 16-bit length, then the characters; -1 is no string.
  bool string(std::int32_t offset, std::string& out) const {
    out.clear();
    if (offset == -1) return true;
    std::size_t at = 0;
    std::uint16_t length = 0;
    if (!inSegment(kStringTab, offset, 2, at) || !u16(at, length)) return false;
    if (!inSegment(kStringTab, offset + 2, length, at)) return false;
    const auto chars = r_.bytes(at, length);
    out.assign(chars.begin(), chars.end());
    return true;
  }

  const Span& segment(Segment s) const { return segments_[s]; }

 private:
  ByteReader r_;
  Span segments_[kSegmentCount];
};

bool readImports(const Reader& r, TypeLibraryInfo& info, std::string& error) {
  const Span& files = r.segment(kImpFiles);
  if (!files.present) return true;
  std::size_t offset = 0;
  while (offset + 14 <= files.length) {
    const std::size_t at = files.offset + offset;
    std::int32_t guidOffset = 0;
    std::uint32_t version = 0;
    std::uint16_t lengthField = 0;
    r.i32(at, guidOffset);
    r.u32(at + 8, version);
    r.u16(at + 12, lengthField);
    const std::size_t length = lengthField >> 2;
    std::size_t chars = 0;
    if (!r.inSegment(kImpFiles, static_cast<std::int64_t>(offset + 14), length, chars))
      return r.fail(error, "imported file name runs past its segment", at);
    ImportedLibrary lib;
    lib.major = static_cast<std::uint16_t>(version);
    lib.minor = static_cast<std::uint16_t>(version >> 16);
    if (!r.guid(guidOffset, lib.libid)) return r.fail(error, "imported library's LIBID out of range", at);
    const auto name = r.bytes(chars, length);
    lib.fileName.assign(name.begin(), name.end());
    info.imports.push_back(std::move(lib));
    offset += (14 + length + 3) & ~std::size_t{3};
  }
  return true;
}

// A reference to another type: local ones by their offset in the type
// description segment, imported ones through the imported-type segment.
bool resolveRef(const Reader& r, std::int32_t hreftype, std::uint32_t typeCount, TypeRef& out,
                std::vector<std::int32_t>& localIndexes) {
  if (hreftype == -1) return false;
  if ((hreftype & 1) != 0) {
    std::size_t at = 0;
    out.imported = true;
    return r.inSegment(kImpInfo, hreftype & ~3, kImpInfoBytes, at);
  }
  if (hreftype < 0 || hreftype % static_cast<std::int32_t>(kTypeInfoBytes) != 0) return false;
  const std::int32_t index = hreftype / static_cast<std::int32_t>(kTypeInfoBytes);
  if (static_cast<std::uint32_t>(index) >= typeCount) return false;
  localIndexes.push_back(index);
  return true;
}

}  // namespace

bool readTypeLibrary(std::span<const std::uint8_t> bytes, TypeLibraryInfo& info, std::string& error) {
  try {
    info = TypeLibraryInfo{};
    error.clear();
    Reader r(bytes);
    std::uint32_t magic = 0, magic2 = 0, varFlags = 0, version = 0, flags = 0, lcid = 0, typeCount = 0;
    std::int32_t libGuid = 0, helpString = 0, nameOffset = 0;
    if (!r.u32(0, magic) || magic != kMagic) return r.fail(error, "not a type library: no MSFT signature", 0);
    if (bytes.size() < kHeaderBytes) return r.fail(error, "header cut short", 0);
    r.u32(0x04, magic2);
    r.i32(0x08, libGuid);
    r.u32(0x0C, lcid);
    r.u32(0x14, varFlags);
    r.u32(0x18, version);
    r.u32(0x1C, flags);
    r.u32(0x20, typeCount);
    r.i32(0x24, helpString);
    r.i32(0x38, nameOffset);
    if (magic2 != 0x00010002) return r.fail(error, "unknown format version " + std::to_string(magic2), 4);
    if (typeCount > bytes.size() / kTypeInfoBytes) return r.fail(error, "more type descriptions than fit", 0x20);

    std::size_t at = kHeaderBytes + ((varFlags & kHelpDllFlag) != 0 ? 4 : 0) + 4 * std::size_t{typeCount};
    if (!r.readSegments(at, error)) return false;
    const Span& typeTable = r.segment(kTypeInfoTab);
    if (typeCount > 0 && (!typeTable.present || typeTable.length / kTypeInfoBytes < typeCount))
      return r.fail(error, "type description segment holds fewer than " + std::to_string(typeCount) + " entries", at);

    if (!r.name(nameOffset, info.name)) return r.fail(error, "library name out of range", 0x38);
    if (!r.guid(libGuid, info.libid)) return r.fail(error, "LIBID out of range", 0x08);
    if (!r.string(helpString, info.helpString)) return r.fail(error, "library help string out of range", 0x24);
    info.major = static_cast<std::uint16_t>(version);
    info.minor = static_cast<std::uint16_t>(version >> 16);
    info.lcid = lcid;
    info.sysKind = static_cast<SysKind>(varFlags & 0x0F);
    if ((varFlags & 0x0F) > 3) return r.fail(error, "unknown system kind " + std::to_string(varFlags & 0x0F), 0x14);
    info.libFlags = static_cast<std::uint16_t>(flags);
    if (!readImports(r, info, error)) return false;

    std::vector<std::vector<std::int32_t>> localRefs(typeCount);
    for (std::uint32_t i = 0; i < typeCount; ++i) {
      const std::size_t base = typeTable.offset + i * kTypeInfoBytes;
      std::uint32_t kind = 0, typeFlags = 0;
      std::int32_t guidOffset = 0, typeName = 0, doc = 0, datatype1 = 0;
      std::uint16_t implCount = 0;
      r.u32(base, kind);
      r.i32(base + 0x2C, guidOffset);
      r.u32(base + 0x30, typeFlags);
      r.i32(base + 0x34, typeName);
      r.i32(base + 0x3C, doc);
      r.u16(base + 0x4C, implCount);
      r.i32(base + 0x54, datatype1);
      TypeDescription type;
      if ((kind & 0x0F) > static_cast<std::uint32_t>(TypeKind::Union))
        return r.fail(error, "type " + std::to_string(i) + ": unknown kind " + std::to_string(kind & 0x0F), base);
      type.kind = static_cast<TypeKind>(kind & 0x0F);
      type.typeFlags = static_cast<std::uint16_t>(typeFlags);
      if (!r.name(typeName, type.name)) return r.fail(error, "type " + std::to_string(i) + ": name out of range", base);
      if (!r.guid(guidOffset, type.guid))
        return r.fail(error, "type " + std::to_string(i) + ": GUID out of range", base);
      if (!r.string(doc, type.helpString))
        return r.fail(error, "type " + std::to_string(i) + ": help string out of range", base);

      if (type.kind == TypeKind::CoClass) {
        // A chain of implemented-type records, one per interface.
        std::int32_t record = datatype1;
        for (std::uint16_t k = 0; k < implCount; ++k) {
          std::size_t rec = 0;
          std::int32_t reftype = 0, next = 0;
          std::uint32_t implFlags = 0;
          if (!r.inSegment(kRefTab, record, kRefRecordBytes, rec))
            return r.fail(error, "type " + type.name + ": implemented-type record out of range", base);
          r.i32(rec, reftype);
          r.u32(rec + 4, implFlags);
          r.i32(rec + 12, next);
          TypeRef ref;
          ref.isDefault = (implFlags & kImplTypeDefault) != 0;
          if (!resolveRef(r, reftype, typeCount, ref, localRefs[i]))
            return r.fail(error, "type " + type.name + ": implemented type out of range", rec);
          type.implemented.push_back(ref);
          record = next;
        }
      } else if ((type.kind == TypeKind::Interface || type.kind == TypeKind::Dispatch) && implCount > 0) {
        TypeRef ref;
        if (!resolveRef(r, datatype1, typeCount, ref, localRefs[i]))
          return r.fail(error, "type " + type.name + ": base interface out of range", base + 0x54);
        type.implemented.push_back(ref);
      }
      info.types.push_back(std::move(type));
    }
    // Names of local references, now that every type is read.
    for (std::uint32_t i = 0; i < typeCount; ++i) {
      std::size_t next = 0;
      for (TypeRef& ref : info.types[i].implemented)
        if (!ref.imported) ref.name = info.types[static_cast<std::size_t>(localRefs[i][next++])].name;
    }
    return true;
  } catch (const std::bad_alloc&) {
    error = "out of memory";
    return false;
  }
}

std::u16string typeLibraryFilePath(std::u16string_view modulePath) {
  // The extension is looked for in the file name only, so a '.' in a
  // directory name is never taken for it.
  const std::size_t nameStart = modulePath.find_last_of(u"\\/:");
  const std::size_t dot = modulePath.rfind(u'.');
  const bool hasExtension =
      dot != std::u16string_view::npos && (nameStart == std::u16string_view::npos || dot > nameStart);
  return std::u16string(modulePath.substr(0, hasExtension ? dot : modulePath.size())) + u".tlb";
}

std::u16string helpDirectory(std::u16string_view modulePath) {
  const std::size_t last = modulePath.find_last_of(u"\\/:");
  return last == std::u16string_view::npos ? std::u16string() : std::u16string(modulePath.substr(0, last + 1));
}

HRESULT loadTypeLibrary(std::span<const std::uint8_t> embedded, std::u16string_view modulePath, TypeLibraryInfo& info,
                        std::u16string& pathUsed) {
  try {
    std::string error;
    if (readTypeLibrary(embedded, info, error)) {
      pathUsed = std::u16string(modulePath);
      return S_OK;
    }
    const std::u16string tlbPath = typeLibraryFilePath(modulePath);
    const std::filesystem::path file(platform::utf16ToUtf8(tlbPath));
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
      const bool dirExists = std::filesystem::is_directory(file.parent_path().empty() ? "." : file.parent_path(), ec);
      return HRESULT_FROM_WIN32(dirExists ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    if (!readTypeLibrary(bytes, info, error)) return TYPE_E_CANTLOADLIBRARY;
    pathUsed = tlbPath;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

namespace {

std::u16string hex(std::uint32_t value) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string out;
  do {
    out.insert(out.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return out;
}

std::u16string versionKey(const TypeLibraryInfo& info) {
  char guid[39];
  platform::formatGuid(info.libid, guid);
  return u"TypeLib\\" + std::u16string(guid, guid + 38) + u"\\" + hex(info.major) + u"." + hex(info.minor);
}

const char16_t* sysKindName(SysKind kind) {
  switch (kind) {
    case SysKind::Win16:
      return u"win16";
    case SysKind::Win32:
      return u"win32";
    case SysKind::Mac:
      return u"mac";
    case SysKind::Win64:
      return u"win64";
  }
  return u"win32";
}

}  // namespace

std::vector<RegStep> typeLibraryRegistrationScript(const TypeLibraryInfo& info, std::u16string_view path,
                                                   std::u16string_view helpDir) {
  const std::u16string version = versionKey(info);
  std::vector<RegStep> steps;
  if (info.helpString.empty()) {
    steps.push_back({RegOp::CreateKey, version, u"", u""});
  } else {
    steps.push_back({RegOp::SetString, version, u"", platform::utf8ToUtf16(info.helpString)});
  }
  steps.push_back({RegOp::SetString, version + u"\\" + hex(info.lcid) + u"\\" + sysKindName(info.sysKind), u"",
                   std::u16string(path)});
  const std::string flags = std::to_string(info.libFlags);
  steps.push_back({RegOp::SetString, version + u"\\FLAGS", u"", std::u16string(flags.begin(), flags.end())});
  steps.push_back({RegOp::SetString, version + u"\\HELPDIR", u"", std::u16string(helpDir)});
  return steps;
}

#ifdef _WIN32

// On Windows the library is the module's TYPELIB resource, and OLE
// Automation loads and registers it; `embedded` and `run` have no part then.

std::span<const std::uint8_t> embeddedTypeLibrary() {
  std::size_t size = 0;
  const std::uint8_t* bytes = platform::win32::typeLibraryResource(size);
  return bytes == nullptr ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(bytes, size);
}

namespace {

// LoadTypeLib of the module (its resource), else of the .tlb file beside it;
// the failure of the .tlb file when neither loads.
HRESULT loadSystemTypeLibrary(std::u16string_view modulePath, platform::win32::Handle& library,
                              std::u16string& pathUsed) {
  pathUsed = std::u16string(modulePath);
  if (SUCCEEDED(platform::win32::loadTypeLibrary(pathUsed.c_str(), library))) return S_OK;
  pathUsed = typeLibraryFilePath(modulePath);
  return platform::win32::loadTypeLibrary(pathUsed.c_str(), library);
}

}  // namespace

HRESULT registerTypeLibrary(std::span<const std::uint8_t>, std::u16string_view modulePath, const StepRunner&) {
  try {
    platform::win32::Handle library = nullptr;
    std::u16string pathUsed;
    HRESULT hr = loadSystemTypeLibrary(modulePath, library, pathUsed);
    if (FAILED(hr)) return hr;
    const std::u16string helpDir = helpDirectory(modulePath);
    hr = platform::win32::registerTypeLibrary(library, pathUsed.c_str(), helpDir.c_str());
    platform::win32::releaseTypeLibrary(library);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT unregisterTypeLibrary(std::span<const std::uint8_t>, std::u16string_view modulePath, const StepRunner&) {
  try {
    platform::win32::Handle library = nullptr;
    std::u16string pathUsed;
    HRESULT hr = loadSystemTypeLibrary(modulePath, library, pathUsed);
    if (FAILED(hr)) return hr;
    hr = platform::win32::unregisterTypeLibrary(library);
    platform::win32::releaseTypeLibrary(library);
    return hr;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

#else

HRESULT registerTypeLibrary(std::span<const std::uint8_t> embedded, std::u16string_view modulePath,
                            const StepRunner& run) {
  try {
    TypeLibraryInfo info;
    std::u16string pathUsed;
    const HRESULT hr = loadTypeLibrary(embedded, modulePath, info, pathUsed);
    if (FAILED(hr)) return hr;
    return runScript(typeLibraryRegistrationScript(info, pathUsed, helpDirectory(modulePath)), run);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT unregisterTypeLibrary(std::span<const std::uint8_t> embedded, std::u16string_view modulePath,
                              const StepRunner& run) {
  try {
    TypeLibraryInfo info;
    std::u16string pathUsed;
    HRESULT hr = loadTypeLibrary(embedded, modulePath, info, pathUsed);
    if (FAILED(hr)) return hr;
    const std::u16string version = versionKey(info);
    platform::RegKey key;
    const LONG opened = platform::regOpenKey(platform::RegRoot::ClassesRoot, version, key);
    if (opened == ERROR_FILE_NOT_FOUND) return S_OK;
    if (opened != ERROR_SUCCESS) return HRESULT_FROM_WIN32(opened);

    const std::u16string locale = version + u"\\" + hex(info.lcid);
    const RegStep pathSteps[] = {
        {RegOp::DeleteTree, locale + u"\\" + sysKindName(info.sysKind), u"", u""},
        {RegOp::DeleteKey, locale, u"", u""},
    };
    hr = runScript(pathSteps, run);
    if (FAILED(hr)) return hr;

    // Another locale or system kind of this version keeps the version key.
    std::vector<std::u16string> left;
    const LONG listed = platform::regEnumKeys(key, left);
    if (listed == ERROR_FILE_NOT_FOUND) return S_OK;
    if (listed != ERROR_SUCCESS) return HRESULT_FROM_WIN32(listed);
    for (const std::u16string& name : left)
      if (!platform::equalsIgnoreAsciiCase(name, u"FLAGS") && !platform::equalsIgnoreAsciiCase(name, u"HELPDIR"))
        return S_OK;
    const std::u16string libid = version.substr(0, version.rfind(u'\\'));
    const RegStep rest[] = {
        {RegOp::DeleteTree, version + u"\\FLAGS", u"", u""},
        {RegOp::DeleteTree, version + u"\\HELPDIR", u"", u""},
        {RegOp::DeleteKey, version, u"", u""},
        {RegOp::DeleteKey, libid, u"", u""},
    };
    return runScript(rest, run);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

#endif  // _WIN32

}  // namespace sonvale::server
