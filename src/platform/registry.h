// The registry as the engine uses it: keys under a few roots, named values of
// a type, create-or-open, queries into a caller's buffer, set, delete.
// Results are Win32 error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND,
// ERROR_MORE_DATA, ...), as the Win32 registry functions return them.
//
// On Windows this is the system registry. Elsewhere it is a text file in the
// .reg format (see registry_file.cpp) whose path is $SONVALE_REGISTRY, or else
// sonvale/registry.reg in the user's configuration directory, read over a
// machine-wide store that only root writes ($SONVALE_SYSTEM_REGISTRY, or else
// /var/lib/sonvale/registry.reg): reads see both, the user's values winning;
// changes go to the user's store. Deleting what only the machine-wide store
// holds is ERROR_ACCESS_DENIED; a machine-wide store that does not parse is
// passed over. Every change is written atomically and serialised across
// processes, so a change is never half-written or lost. A user's store file
// that does not parse gives ERROR_BADDB to every call and is never
// overwritten.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/com.h"

namespace sonvale::platform {

enum class RegRoot { ClassesRoot, CurrentUser, LocalMachine };

// Value types, with the Win32 numbers.
constexpr DWORD kRegNone = 0;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegExpandSz = 2;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;
constexpr DWORD kRegMultiSz = 7;
constexpr DWORD kRegQword = 11;

// An open key: the root and the path below it, '\'-separated (runs of
// separators count as one; leading and trailing ones are ignored). A name
// holding NUL, CR, LF or an unpaired surrogate, or longer than 255 code units,
// is ERROR_INVALID_PARAMETER. Key and value names compare without regard to
// ASCII letter case, as the Win32 registry does; the empty value name is the
// key's default value.
struct RegKey {
  RegRoot root = RegRoot::LocalMachine;
  std::u16string path;
};

// Opens `subKey` below `root`, creating it and any missing parent keys.
LONG regCreateKey(RegRoot root, std::u16string_view subKey, RegKey& out);

// Opens an existing key; ERROR_FILE_NOT_FOUND when it does not exist.
LONG regOpenKey(RegRoot root, std::u16string_view subKey, RegKey& out);

// Reads a value as RegQueryValueEx does. `type` may be null. When `data` is
// null only the size is reported. When `*cbData` is smaller than the value,
// returns ERROR_MORE_DATA with the size needed in `*cbData`. REG_SZ data are
// UTF-16 code units with a terminating NUL. ERROR_FILE_NOT_FOUND when the key
// or the value is missing; ERROR_INVALID_PARAMETER for data without cbData.
LONG regQueryValue(const RegKey& key, std::u16string_view name, DWORD* type, BYTE* data, DWORD* cbData);

// Reads a value of exactly 4 bytes, whatever its stored type. Any other size
// is ERROR_MORE_DATA (larger) or ERROR_INVALID_DATA (smaller).
LONG regQueryDword(const RegKey& key, std::u16string_view name, DWORD& value);

// Reads a REG_SZ or REG_EXPAND_SZ value up to its first NUL;
// ERROR_INVALID_DATA for other types.
LONG regQueryString(const RegKey& key, std::u16string_view name, std::u16string& value);

// Writes a value of any type, replacing what was there. The key must exist.
LONG regSetValue(const RegKey& key, std::u16string_view name, DWORD type, const BYTE* data, DWORD cbData);
LONG regSetDword(const RegKey& key, std::u16string_view name, DWORD value);
LONG regSetString(const RegKey& key, std::u16string_view name, std::u16string_view value);

// Deletes one value; ERROR_FILE_NOT_FOUND when it is missing.
LONG regDeleteValue(const RegKey& key, std::u16string_view name);

// Deletes `subKey` below `root` with all its subkeys and values;
// ERROR_FILE_NOT_FOUND when it does not exist. An empty `subKey` (a whole
// root) is refused with ERROR_INVALID_PARAMETER.
LONG regDeleteTree(RegRoot root, std::u16string_view subKey);

// Names of the direct subkeys, in the order they were created.
LONG regEnumKeys(const RegKey& key, std::vector<std::u16string>& names);

// Names of the values of a key, in the order they were created.
LONG regEnumValues(const RegKey& key, std::vector<std::u16string>& names);

// The path of the store file; empty on Windows, and empty when no path can be
// found (every call then gives ERROR_PATH_NOT_FOUND).
std::string registryStorePath();

// The path of the machine-wide store beneath it; empty on Windows. A process
// that points $SONVALE_REGISTRY at it reads and writes that store alone.
std::string machineRegistryStorePath();

}  // namespace sonvale::platform
