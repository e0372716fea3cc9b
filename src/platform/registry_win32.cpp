// The registry on Windows: the system registry through advapi32
// (win32_api.h). A RegKey keeps its root and path, as it does over the store
// file, so every call opens the key, does its one thing and closes it again;
// the system serialises the changes. Paths are normalised the same way as
// over the store file ("\A\\B\" is "A\B") and names are checked the same
// way, so both back ends refuse the same input.
#include <new>

#include "platform/le_bytes.h"
#include "platform/registry.h"
#include "platform/registry_names.h"
#include "platform/win32_api.h"

namespace sonvale::platform {

namespace {

constexpr LONG kErrorNoMoreItems = 259;

// The key path with single separators and none at either end; false when a
// key name is not valid.
bool normalisedPath(std::u16string_view path, std::u16string& out) {
  std::vector<std::u16string> names;
  if (!splitKeyPath(path, names)) return false;
  out.clear();
  for (const std::u16string& name : names) {
    if (!out.empty()) out.push_back(u'\\');
    out += name;
  }
  return true;
}

win32::Handle rootHandle(RegRoot root) {
  switch (root) {
    case RegRoot::ClassesRoot:
      return win32::registryRoot(0);
    case RegRoot::CurrentUser:
      return win32::registryRoot(1);
    case RegRoot::LocalMachine:
      break;
  }
  return win32::registryRoot(2);
}

// An open system key, closed when it goes out of scope.
class OpenKey {
 public:
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() { win32::regCloseKey(handle_); }

  LONG open(const RegKey& key, bool write) {
    // The path of a RegKey was normalised when it was made; the root itself
    // is opened as an empty subkey.
    return win32::regOpenKey(rootHandle(key.root), key.path.c_str(), write, handle_);
  }
  win32::Handle handle() const { return handle_; }

 private:
  win32::Handle handle_ = nullptr;
};

// Runs `body`; an allocation failure is ERROR_NOT_ENOUGH_MEMORY, as the
// system reports it.
template <typename Body>
LONG guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INVALID_PARAMETER;
  }
}

LONG openOrCreate(RegRoot root, std::u16string_view subKey, RegKey& out, bool create) {
  return guarded([&]() -> LONG {
    std::u16string path;
    if (!normalisedPath(subKey, path)) return ERROR_INVALID_PARAMETER;
    // An existing key is only opened for reading here: a user who may read
    // HKEY_LOCAL_MACHINE but not write it still gets the key (each later
    // call opens it with the access it needs), where creating it with write
    // access would be refused.
    win32::Handle handle = nullptr;
    LONG result = win32::regOpenKey(rootHandle(root), path.c_str(), false, handle);
    if (result == ERROR_FILE_NOT_FOUND && create) result = win32::regCreateKey(rootHandle(root), path.c_str(), handle);
    win32::regCloseKey(handle);
    if (result != ERROR_SUCCESS) return result;
    out.root = root;
    out.path = std::move(path);
    return ERROR_SUCCESS;
  });
}

// Reads a whole value: its type and bytes.
LONG readValue(const RegKey& key, std::u16string_view name, DWORD& type, std::vector<BYTE>& bytes) {
  if (!isStorableName(name, kMaxValueNameChars)) return ERROR_INVALID_PARAMETER;
  OpenKey open;
  const LONG opened = open.open(key, false);
  if (opened != ERROR_SUCCESS) return opened;
  const std::u16string valueName(name);
  // A value can change size between asking and reading; ask again then.
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD size = 0;
    LONG result = win32::regQueryValue(open.handle(), valueName.c_str(), &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return result;
    bytes.assign(size, 0);
    result = win32::regQueryValue(open.handle(), valueName.c_str(), &type, bytes.data(), &size);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) return result;
    bytes.resize(size);
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

}  // namespace

LONG regCreateKey(RegRoot root, std::u16string_view subKey, RegKey& out) {
  return openOrCreate(root, subKey, out, true);
}

LONG regOpenKey(RegRoot root, std::u16string_view subKey, RegKey& out) {
  return openOrCreate(root, subKey, out, false);
}

LONG regQueryValue(const RegKey& key, std::u16string_view name, DWORD* type, BYTE* data, DWORD* cbData) {
  return guarded([&]() -> LONG {
    if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
    if (!isStorableName(name, kMaxValueNameChars)) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    const LONG opened = open.open(key, false);
    if (opened != ERROR_SUCCESS) return opened;
    const std::u16string valueName(name);
    return win32::regQueryValue(open.handle(), valueName.c_str(), type, data, cbData);
  });
}

LONG regQueryDword(const RegKey& key, std::u16string_view name, DWORD& value) {
  return guarded([&]() -> LONG {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    const LONG result = readValue(key, name, type, bytes);
    if (result != ERROR_SUCCESS) return result;
    if (bytes.size() > 4) return ERROR_MORE_DATA;
    std::uint32_t read = 0;
    if (!ByteReader(bytes).u32le(0, read)) return ERROR_INVALID_DATA;
    value = read;
    return ERROR_SUCCESS;
  });
}

LONG regQueryString(const RegKey& key, std::u16string_view name, std::u16string& value) {
  return guarded([&]() -> LONG {
    DWORD type = 0;
    std::vector<BYTE> bytes;
    const LONG result = readValue(key, name, type, bytes);
    if (result != ERROR_SUCCESS) return result;
    if (type != kRegSz && type != kRegExpandSz) return ERROR_INVALID_DATA;
    // The text ends at the first NUL, as it does for anyone reading the data
    // as a C string.
    value = ByteReader(bytes).utf16leUntilNul();
    return ERROR_SUCCESS;
  });
}

LONG regSetValue(const RegKey& key, std::u16string_view name, DWORD type, const BYTE* data, DWORD cbData) {
  return guarded([&]() -> LONG {
    if (data == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    if (!isStorableName(name, kMaxValueNameChars)) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    const LONG opened = open.open(key, true);
    if (opened != ERROR_SUCCESS) return opened;
    const std::u16string valueName(name);
    return win32::regSetValue(open.handle(), valueName.c_str(), type, data, cbData);
  });
}

LONG regSetDword(const RegKey& key, std::u16string_view name, DWORD value) {
  return guarded([&]() -> LONG {
    std::vector<BYTE> bytes;
    appendU32le(bytes, value);
    return regSetValue(key, name, kRegDword, bytes.data(), 4);
  });
}

LONG regSetString(const RegKey& key, std::u16string_view name, std::u16string_view value) {
  return guarded([&]() -> LONG {
    // UTF-16LE code units and a terminating NUL, as REG_SZ data are stored.
    std::vector<BYTE> bytes;
    bytes.reserve((value.size() + 1) * 2);
    for (char16_t c : value) {
      bytes.push_back(static_cast<BYTE>(c & 0xFF));
      bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    if (bytes.size() > 0xFFFFFFFFu) return ERROR_INVALID_PARAMETER;
    return regSetValue(key, name, kRegSz, bytes.data(), static_cast<DWORD>(bytes.size()));
  });
}

LONG regDeleteValue(const RegKey& key, std::u16string_view name) {
  return guarded([&]() -> LONG {
    if (!isStorableName(name, kMaxValueNameChars)) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    const LONG opened = open.open(key, true);
    if (opened != ERROR_SUCCESS) return opened;
    const std::u16string valueName(name);
    return win32::regDeleteValue(open.handle(), valueName.c_str());
  });
}

LONG regDeleteTree(RegRoot root, std::u16string_view subKey) {
  return guarded([&]() -> LONG {
    std::u16string path;
    if (!normalisedPath(subKey, path)) return ERROR_INVALID_PARAMETER;
    // An empty path would empty the whole root.
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    return win32::regDeleteTree(rootHandle(root), path.c_str());
  });
}

namespace {

// The names that `enumerate` (win32::regEnumKey or regEnumValue) gives for
// the key, index by index until it has no more.
template <class Enumerate>
LONG enumNames(const RegKey& key, std::vector<std::u16string>& names, Enumerate enumerate) {
  return guarded([&]() -> LONG {
    OpenKey open;
    const LONG opened = open.open(key, false);
    if (opened != ERROR_SUCCESS) return opened;
    std::vector<std::u16string> found;
    for (DWORD index = 0;; ++index) {
      std::u16string name;
      const LONG result = enumerate(open.handle(), index, name);
      if (result == kErrorNoMoreItems) break;
      if (result != ERROR_SUCCESS) return result;
      found.push_back(std::move(name));
    }
    names = std::move(found);
    return ERROR_SUCCESS;
  });
}

}  // namespace

LONG regEnumKeys(const RegKey& key, std::vector<std::u16string>& names) {
  return enumNames(key, names, win32::regEnumKey);
}

LONG regEnumValues(const RegKey& key, std::vector<std::u16string>& names) {
  return enumNames(key, names, win32::regEnumValue);
}

std::string registryStorePath() { return {}; }

std::string machineRegistryStorePath() { return {}; }

}  // namespace sonvale::platform
