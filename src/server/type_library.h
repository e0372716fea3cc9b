// The server's type library: reading a compiled library back, and
// registering it under HKEY_CLASSES_ROOT\TypeLib as OLE Automation's
// RegisterTypeLib and UnRegisterTypeLib would.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"
#include "server/registration.h"

namespace sonvale::server {

// OLE Automation's results for a library that cannot be loaded.
constexpr HRESULT TYPE_E_CANTLOADLIBRARY = static_cast<HRESULT>(0x80029C4Au);

// Type kinds and system kinds, with OLE Automation's numbers.
enum class TypeKind : std::uint8_t { Enum = 0, Record, Module, Interface, Dispatch, CoClass, Alias, Union };
enum class SysKind : std::uint8_t { Win16 = 0, Win32 = 1, Mac = 2, Win64 = 3 };

// One interface a coclass implements, or the base of an interface.
struct TypeRef {
  std::string name;        // empty for a type of an imported library
  bool imported = false;   // defined in an imported library (stdole2)
  bool isDefault = false;  // IMPLTYPEFLAG_FDEFAULT, coclasses only
};

struct TypeDescription {
  TypeKind kind = TypeKind::Enum;
  std::string name;
  GUID guid = GUID_NULL;  // GUID_NULL when the type has none
  std::string helpString;
  std::uint16_t typeFlags = 0;       // TYPEFLAG_*
  std::vector<TypeRef> implemented;  // coclass: its interfaces; interface: its base
};

struct ImportedLibrary {
  std::string fileName;
  GUID libid = GUID_NULL;
  std::uint16_t major = 0, minor = 0;
};

struct TypeLibraryInfo {
  std::string name;
  GUID libid = GUID_NULL;
  std::uint16_t major = 0, minor = 0;
  std::uint32_t lcid = 0;
  SysKind sysKind = SysKind::Win32;
  std::uint16_t libFlags = 0;  // LIBFLAG_*
  std::string helpString;
  std::vector<TypeDescription> types;  // in the library's order
  std::vector<ImportedLibrary> imports;
};

// TYPEFLAG bits that make OLE Automation register an interface's proxy.
constexpr std::uint16_t kTypeFlagDual = 0x40;
constexpr std::uint16_t kTypeFlagOleAutomation = 0x100;

// Reads a type library in the format MIDL and widl write ("MSFT"): the
// library's attributes, every type description's kind, name, GUID and help
// string, the interfaces of coclasses and the bases of interfaces. Every
// offset is checked against the bytes; returns false with `error` naming
// the field and offset when the bytes are not such a library.
bool readTypeLibrary(std::span<const std::uint8_t> bytes, TypeLibraryInfo& info, std::string& error);

// The type library compiled from kelvane.idl at build time.
std::span<const std::uint8_t> embeddedTypeLibrary();

// Loads the type library for `modulePath`: the embedded copy, or when that
// does not read, the file beside the module whose extension is replaced by
// ".tlb". `pathUsed` receives the module path or the .tlb file's path.
// Returns S_OK, or the failure of the .tlb file: HRESULT_FROM_WIN32 of why
// it cannot be read, or TYPE_E_CANTLOADLIBRARY when it is not a library.
HRESULT loadTypeLibrary(std::span<const std::uint8_t> embedded, std::u16string_view modulePath, TypeLibraryInfo& info,
                        std::u16string& pathUsed);

// The module path with its extension (from the last '.' of the file name,
// or the end when it has none) replaced by ".tlb".
std::u16string typeLibraryFilePath(std::u16string_view modulePath);

// The module path cut after its last '\', '/' or ':' (the directory, with
// its separator); empty when it has none.
std::u16string helpDirectory(std::u16string_view modulePath);

// The steps RegisterTypeLib takes for `info` loaded from `path`:
// TypeLib\{LIBID}\MAJOR.MINOR = help string, ...\LCID\SYSKIND = path,
// ...\FLAGS = flags, ...\HELPDIR = `helpDir`. Version and locale are
// written in hexadecimal, as OLE Automation writes them.
std::vector<RegStep> typeLibraryRegistrationScript(const TypeLibraryInfo& info, std::u16string_view path,
                                                   std::u16string_view helpDir);

// Registers the library of `modulePath` (see loadTypeLibrary) through `run`.
// Returns the first failure, else S_OK.
HRESULT registerTypeLibrary(std::span<const std::uint8_t> embedded, std::u16string_view modulePath,
                            const StepRunner& run = runStepInRegistry);

// Removes what registerTypeLibrary wrote, as UnRegisterTypeLib does: the
// LCID\SYSKIND key, the LCID key when nothing else is under it, and, when no
// other locale is registered for that version, FLAGS, HELPDIR, the version
// key and the LIBID key when it is left empty. A library that is not
// registered leaves nothing to do (S_OK).
HRESULT unregisterTypeLibrary(std::span<const std::uint8_t> embedded, std::u16string_view modulePath,
                              const StepRunner& run = runStepInRegistry);

}  // namespace sonvale::server
