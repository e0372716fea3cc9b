// The registry kept as a text file in the .reg format.
//
// The file is UTF-8 with '\n' line ends:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Sonvale]
//   @="default value"
//   "Name"="text with \\ and \" escaped"
//   "Count"=dword:0000abcd
//   "Big"=hex(b):08,07,06,05,04,03,02,01
//   "Blob"=hex:01,02,03
//
// Every key has its own section, empty ones included, so that a key exists
// exactly when its section does. Sections are written depth first, a key's
// subkeys and values in the order they were created, so the file changes only
// where the registry did. A root gets a section only when it holds values.
// REG_DWORD values of 4 bytes are written as dword:, REG_SZ as a quoted
// string when the text survives a line of UTF-8 unchanged (one terminating
// NUL, no other NUL, no line break or control character, no unpaired
// surrogate); every other value is hex(N): with its type number, or hex: for
// REG_BINARY, so any data round-trips exactly. The reader also accepts CRLF
// line ends, a UTF-8 byte order mark, ';' comment lines, '\'-continued hex
// lines and sections whose parent keys have no section of their own.
//
// Concurrency: every call takes a flock on the sidecar "<store>.lock", shared
// to read and exclusive to write, and reads the whole file under it. A write
// applies its change to what it just read, writes a temporary file in the
// same directory, syncs it and renames it over the store. Readers therefore
// always see a whole file, and no change made by another process or thread
// is lost. A file that does not parse is never written over: every call
// reports ERROR_BADDB until someone repairs it. A writer killed in the middle
// of a save leaves its temporary file behind; the next save removes it.
//
// Layers: beneath the user's own store lies a machine-wide one that root
// writes (package installs, `sonvale register --system`), at
// $SONVALE_SYSTEM_REGISTRY or else /var/lib/sonvale/registry.reg. Reads see
// the two as one registry, the user's keys and values over the machine's;
// every change goes to the user's store, as the Windows registry's views do
// for a user without rights. A key that exists only in the machine store gets
// the user's own copy when a value is set in it; deleting a key or a value
// that the user's store does not hold but the machine's does is
// ERROR_ACCESS_DENIED. A machine store that cannot be read or does not parse
// is passed over, so that it never stops a user's own voices. When the
// user's store is the machine store (root pointed at it, as --system does),
// there is one layer only, read and written as any store.
#include "platform/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/le_bytes.h"
#include "platform/registry_names.h"
#include "platform/utf.h"

namespace sonvale::platform {

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::array<std::string_view, 3> kRootNames = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

// Keys nest at most 512 deep, as in the Win32 registry; the limit also bounds
// the recursion over the key tree. (The name limits are in registry_names.h.)
constexpr std::size_t kMaxKeyDepth = 512;

struct Value {
  std::u16string name;
  DWORD type = kRegNone;
  std::vector<BYTE> data;
};

struct Node {
  std::u16string name;
  std::vector<Value> values;   // in creation order
  std::vector<Node> children;  // in creation order
};

struct Store {
  std::array<Node, 3> roots;  // indexed by RegRoot
};

// ---- names and paths ------------------------------------------------------

bool validRoot(RegRoot root) {
  const auto index = static_cast<int>(root);
  return index >= 0 && index < static_cast<int>(kRootNames.size());
}

Node& rootNode(Store& store, RegRoot root) { return store.roots[static_cast<std::size_t>(root)]; }

Node* findChild(Node& node, std::u16string_view name) {
  for (Node& child : node.children)
    if (equalsIgnoreAsciiCase(child.name, name)) return &child;
  return nullptr;
}

Value* findValue(Node& node, std::u16string_view name) {
  for (Value& value : node.values)
    if (equalsIgnoreAsciiCase(value.name, name)) return &value;
  return nullptr;
}

// The key at `names` below `root`, or null when some key on the way is missing.
Node* findKey(Store& store, RegRoot root, const std::vector<std::u16string>& names) {
  Node* node = &rootNode(store, root);
  for (const std::u16string& name : names) {
    node = findChild(*node, name);
    if (node == nullptr) return nullptr;
  }
  return node;
}

// The key at `names` below `root`, created with its missing parents. `created`
// is set when anything was added.
Node& makeKey(Store& store, RegRoot root, const std::vector<std::u16string>& names, bool& created) {
  Node* node = &rootNode(store, root);
  for (const std::u16string& name : names) {
    Node* child = findChild(*node, name);
    if (child == nullptr) {
      node->children.push_back(Node{name, {}, {}});
      child = &node->children.back();
      created = true;
    }
    node = child;
  }
  return *node;
}

// The path of a key as stored (first spelling of each name), '\'-separated.
std::u16string storedPath(Store& store, RegRoot root, const std::vector<std::u16string>& names) {
  std::u16string path;
  Node* node = &rootNode(store, root);
  for (const std::u16string& name : names) {
    node = findChild(*node, name);
    if (node == nullptr) break;
    if (!path.empty()) path.push_back(u'\\');
    path += node->name;
  }
  return path;
}

// Replaces the data of a value, or appends the value; the name keeps its
// first spelling. `changed` is set unless the value already held this data.
void putValue(Node& node, std::u16string_view name, DWORD type, std::vector<BYTE> data, bool& changed) {
  if (Value* value = findValue(node, name)) {
    if (value->type == type && value->data == data) return;
    value->type = type;
    value->data = std::move(data);
  } else {
    node.values.push_back(Value{std::u16string(name), type, std::move(data)});
  }
  changed = true;
}

// Lays `top` over `base`: a key of `top` joins the key of the same name in
// `base` or is added after its keys, and a value of `top` replaces the one of
// the same name.
void overlay(Node& base, const Node& top) {
  for (const Value& value : top.values) {
    if (Value* existing = findValue(base, value.name)) {
      existing->type = value.type;
      existing->data = value.data;
    } else {
      base.values.push_back(value);
    }
  }
  for (const Node& child : top.children) {
    if (Node* existing = findChild(base, child.name)) {
      overlay(*existing, child);
    } else {
      base.children.push_back(child);
    }
  }
}

std::vector<BYTE> stringBytes(std::u16string_view text) {
  std::vector<BYTE> bytes;
  bytes.reserve(2 * text.size() + 2);
  for (char16_t c : text) appendU16le(bytes, c);
  appendU16le(bytes, 0);
  return bytes;
}

// ---- reading the file -----------------------------------------------------

bool isValidUtf8(std::string_view text) { return utf16ToUtf8(utf8ToUtf16(text)) == text; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A hexadecimal number of 1 to 8 digits making up all of `text`.
bool parseHex32(std::string_view text, DWORD& out) {
  if (text.empty() || text.size() > 8) return false;
  DWORD value = 0;
  for (char c : text) {
    const int digit = hexDigit(c);
    if (digit < 0) return false;
    value = value << 4 | static_cast<DWORD>(digit);
  }
  out = value;
  return true;
}

char lowerChar(char c) { return static_cast<char>(asciiLower(static_cast<unsigned char>(c))); }

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (lowerChar(text[i]) != lowerChar(prefix[i])) return false;
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// Reads a quoted text starting at text[pos] == '"', undoing the \\ and \"
// escapes, and leaves `pos` after the closing quote. False for any other
// escape or a missing closing quote.
bool readQuoted(std::string_view text, std::size_t& pos, std::string& out) {
  out.clear();
  std::size_t i = pos + 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"') {
      pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) return false;
      out.push_back(text[i + 1]);
      i += 2;
    } else {
      out.push_back(c);
      ++i;
    }
  }
  return false;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool parse(Store& store) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    std::string_view line;
    if (!nextLine(line) || line != kHeader) return false;
    Node* section = nullptr;
    while (nextLine(line)) {
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        section = parseSection(line, store);
        if (section == nullptr) return false;
      } else if (line.front() == '"' || line.front() == '@') {
        if (section == nullptr || !parseValue(line, *section)) return false;
      } else {
        return false;
      }
    }
    return true;
  }

 private:
  // The next line without its line end and surrounding blanks; false at the end.
  bool nextLine(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    line = trimBlanks(text_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return true;
  }

  // "[ROOT\path]": the key, created with its parents when it is new.
  Node* parseSection(std::string_view line, Store& store) {
    if (line.size() < 2 || line.back() != ']') return nullptr;
    const std::string_view inside = line.substr(1, line.size() - 2);
    const std::size_t sep = std::min(inside.find('\\'), inside.size());
    const std::string_view rootName = inside.substr(0, sep);
    for (std::size_t r = 0; r < kRootNames.size(); ++r) {
      if (rootName.size() != kRootNames[r].size() || !startsWithIgnoreCase(kRootNames[r], rootName)) continue;
      std::vector<std::u16string> names;
      if (!splitKeyPath(utf8ToUtf16(inside.substr(sep)), names, kMaxKeyDepth)) return nullptr;
      bool created = false;
      return &makeKey(store, static_cast<RegRoot>(r), names, created);
    }
    return nullptr;
  }

  // `@=...` or `"Name"=...`.
  bool parseValue(std::string_view line, Node& node) {
    std::size_t pos = 0;
    std::u16string name;
    if (line.front() == '@') {
      pos = 1;
    } else {
      std::string quoted;
      if (!readQuoted(line, pos, quoted)) return false;
      name = utf8ToUtf16(quoted);
      if (!isStorableName(name, kMaxValueNameChars)) return false;
    }
    std::string_view rest = trimBlanks(line.substr(pos));
    if (rest.empty() || rest.front() != '=') return false;
    rest = trimBlanks(rest.substr(1));

    DWORD type = kRegNone;
    std::vector<BYTE> data;
    if (!rest.empty() && rest.front() == '"') {
      std::size_t end = 0;
      std::string text;
      if (!readQuoted(rest, end, text) || end != rest.size()) return false;
      type = kRegSz;
      data = stringBytes(utf8ToUtf16(text));
    } else if (startsWithIgnoreCase(rest, "dword:")) {
      DWORD value = 0;
      if (!parseHex32(rest.substr(6), value)) return false;
      type = kRegDword;
      appendU32le(data, value);
    } else if (startsWithIgnoreCase(rest, "hex:")) {
      type = kRegBinary;
      if (!parseHexBytes(rest.substr(4), data)) return false;
    } else if (startsWithIgnoreCase(rest, "hex(")) {
      const std::size_t close = rest.find("):");
      if (close == std::string_view::npos || !parseHex32(rest.substr(4, close - 4), type)) return false;
      if (!parseHexBytes(rest.substr(close + 2), data)) return false;
    } else {
      return false;
    }
    bool changed = false;
    putValue(node, name, type, std::move(data), changed);
    return true;
  }

  // Comma-separated bytes of one or two hex digits; a line ending in '\'
  // continues on the next. Nothing at all is zero bytes.
  bool parseHexBytes(std::string_view first, std::vector<BYTE>& out) {
    std::string joined(trimBlanks(first));
    while (!joined.empty() && joined.back() == '\\') {
      joined.pop_back();
      std::string_view next;
      if (!nextLine(next)) return false;
      joined += next;
    }
    const std::string_view all = trimBlanks(joined);
    if (all.empty()) return true;
    std::size_t start = 0;
    while (true) {
      const std::size_t comma = std::min(all.find(',', start), all.size());
      const std::string_view token = trimBlanks(all.substr(start, comma - start));
      DWORD byte = 0;
      if (token.size() > 2 || !parseHex32(token, byte)) return false;
      out.push_back(static_cast<BYTE>(byte));
      if (comma == all.size()) return true;
      start = comma + 1;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

// ---- writing the file -----------------------------------------------------

void appendQuoted(std::string& out, std::u16string_view text) {
  out.push_back('"');
  for (char c : utf16ToUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

void appendHexByte(std::string& out, unsigned byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back(kDigits[(byte >> 4) & 0xF]);
  out.push_back(kDigits[byte & 0xF]);
}

// The text of REG_SZ data when a quoted line carries it unchanged: exactly
// one terminating NUL, no line break or control character, no unpaired
// surrogate.
bool quotableString(const std::vector<BYTE>& data, std::u16string& text) {
  if (data.size() < 2 || data.size() % 2 != 0) return false;
  const ByteReader reader(data);
  text.clear();
  for (std::size_t offset = 0; offset + 2 < data.size(); offset += 2) {
    std::uint16_t unit = 0;
    reader.u16le(offset, unit);
    if (unit < 0x20 && unit != u'\t') return false;
    text.push_back(static_cast<char16_t>(unit));
  }
  std::uint16_t last = 1;
  reader.u16le(data.size() - 2, last);
  return last == 0 && hasOnlyPairedSurrogates(text);
}

void appendValue(std::string& out, const Value& value) {
  if (value.name.empty()) {
    out.push_back('@');
  } else {
    appendQuoted(out, value.name);
  }
  out.push_back('=');
  std::u16string text;
  if (value.type == kRegDword && value.data.size() == 4) {
    out += "dword:";
    for (std::size_t i = 4; i-- > 0;) appendHexByte(out, value.data[i]);
  } else if (value.type == kRegSz && quotableString(value.data, text)) {
    appendQuoted(out, text);
  } else {
    if (value.type == kRegBinary) {
      out += "hex:";
    } else {
      out += "hex(";
      bool digits = false;
      for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = (value.type >> shift) & 0xF;
        if (digit == 0 && !digits && shift != 0) continue;
        digits = true;
        out.push_back("0123456789abcdef"[digit]);
      }
      out += "):";
    }
    for (std::size_t i = 0; i < value.data.size(); ++i) {
      if (i > 0) out.push_back(',');
      appendHexByte(out, value.data[i]);
    }
  }
  out.push_back('\n');
}

void appendKey(std::string& out, std::string& path, const Node& node) {
  out += '[';
  out += path;
  out += "]\n";
  for (const Value& value : node.values) appendValue(out, value);
  out += '\n';
  for (const Node& child : node.children) {
    const std::size_t length = path.size();
    path += '\\';
    path += utf16ToUtf8(child.name);
    appendKey(out, path, child);
    path.resize(length);
  }
}

std::string formatStore(const Store& store) {
  std::string out(kHeader);
  out += "\n\n";
  for (std::size_t r = 0; r < kRootNames.size(); ++r) {
    const Node& root = store.roots[r];
    std::string path(kRootNames[r]);
    if (!root.values.empty()) {
      out += '[' + path + "]\n";
      for (const Value& value : root.values) appendValue(out, value);
      out += '\n';
    }
    for (const Node& child : root.children) {
      std::string childPath = path + '\\' + utf16ToUtf8(child.name);
      appendKey(out, childPath, child);
    }
  }
  return out;
}

// ---- the store file -------------------------------------------------------

std::string storePath() {
  if (const char* path = std::getenv("SONVALE_REGISTRY"); path != nullptr && *path != '\0') return path;
  // A relative XDG_CONFIG_HOME is to be ignored, as the base directory rules say.
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/')
    return std::string(config) + "/sonvale/registry.reg";
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
    home = env;
  } else {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
      home = found->pw_dir;
  }
  if (home.empty()) return {};
  return home + "/.config/sonvale/registry.reg";
}

std::string machineStorePath() {
  if (const char* path = std::getenv("SONVALE_SYSTEM_REGISTRY"); path != nullptr && *path != '\0') return path;
  return "/var/lib/sonvale/registry.reg";
}

std::string parentDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

LONG errnoResult(int error, LONG otherwise) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return otherwise;
  }
}

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes and reports the outcome, which for a written file is the last
  // chance to hear about a failed write.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};

int flockRetrying(int fd, int operation) {
  int result = 0;
  do {
    result = ::flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Takes the shared lock for reading. Readers need it only to wait for a
// write in progress: the store is replaced by rename, so a reader sees a whole
// file even without it. Where the lock file cannot be had (a read-only or
// missing directory) the read goes ahead unlocked.
void lockForReading(const std::string& path, FileDescriptor& lock) {
  const std::string lockPath = path + ".lock";
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  lock.reset(fd);
  if (flockRetrying(fd, LOCK_SH) != 0) lock.reset();
}

LONG makeDirectories(const std::string& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) == 0) return ERROR_SUCCESS;
  for (std::size_t slash = directory.find('/', 1);; slash = directory.find('/', slash + 1)) {
    const std::string prefix = directory.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return errnoResult(errno, ERROR_CANTWRITE);
    if (slash == std::string::npos) return ERROR_SUCCESS;
  }
}

LONG lockForWriting(const std::string& path, FileDescriptor& lock) {
  const LONG made = makeDirectories(parentDirectory(path));
  if (made != ERROR_SUCCESS) return made;
  const std::string lockPath = path + ".lock";
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errnoResult(errno, ERROR_CANTWRITE);
  lock.reset(fd);
  if (flockRetrying(fd, LOCK_EX) != 0) return ERROR_CANTWRITE;
  return ERROR_SUCCESS;
}

// Reads and parses the store. A missing or empty file is an empty registry.
// `mode` receives the file's permission bits, or 0 when there is no file.
LONG loadStore(const std::string& path, Store& store, mode_t& mode) {
  mode = 0;
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ERROR_SUCCESS;
    return errnoResult(errno, ERROR_CANTREAD);
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return ERROR_CANTREAD;
  if (!S_ISREG(info.st_mode)) return ERROR_CANTREAD;
  mode = info.st_mode & 07777;
  std::string text;
  std::array<char, 65536> buffer{};
  while (true) {
    const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errnoResult(errno, ERROR_CANTREAD);
    }
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  if (text.empty()) return ERROR_SUCCESS;
  if (!isValidUtf8(text)) return ERROR_BADDB;
  return Parser(text).parse(store) ? ERROR_SUCCESS : ERROR_BADDB;
}

std::string temporaryName(const std::string& path) {
  static std::atomic<unsigned long long> counter{0};
  const auto ticks = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  const unsigned long long mix = ticks * 0x9E3779B97F4A7C15ull + counter.fetch_add(1);
  std::string name = path + ".tmp." + std::to_string(::getpid()) + '.';
  for (int shift = 60; shift >= 0; shift -= 4) name.push_back("0123456789abcdef"[(mix >> shift) & 0xF]);
  return name;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = ::write(fd, text.data(), text.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

// Replaces the store with `text`: a temporary file in the same directory,
// synced, then renamed over the store. The caller holds the exclusive lock.
LONG saveStore(const std::string& path, const std::string& text, mode_t mode) {
  std::string temporary;
  FileDescriptor file;
  for (int attempt = 0; attempt < 16 && file.get() < 0; ++attempt) {
    temporary = temporaryName(path);
    file.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (file.get() < 0 && errno != EEXIST) return errnoResult(errno, ERROR_CANTWRITE);
  }
  if (file.get() < 0) return ERROR_CANTWRITE;
  // Keep the permissions someone gave the store; failing to is not worth a failed write.
  if (mode != 0) (void)::fchmod(file.get(), mode);
  int error = 0;
  if (!writeAll(file.get(), text) || ::fsync(file.get()) != 0) error = errno;
  if (file.close() != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temporary.c_str());
    return errnoResult(error, ERROR_CANTWRITE);
  }
  // The change is in place and visible; syncing the directory makes the
  // rename durable. Some file systems cannot sync a directory, and a failure
  // here cannot be undone, so it is not reported.
  FileDescriptor directory(::open(parentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() >= 0) (void)::fsync(directory.get());
  return ERROR_SUCCESS;
}

// Removes the temporary files of saves that never finished: a writer killed
// between creating its temporary file and renaming it leaves the file behind.
// Saves happen only under the exclusive lock, which the caller holds, so every
// temporary file there is now is such a leftover. Failures are ignored: the
// leftovers take space but are never read.
void removeUnfinishedSaves(const std::string& path) {
  const std::string directory = parentDirectory(path);
  const std::size_t slash = path.rfind('/');
  const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp.";
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix)
      (void)::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

// The machine-wide layer beneath the user's store at `userPath`: empty when
// the two are one file, and when the machine store cannot be read or does
// not parse.
Store machineLayer(const std::string& userPath) {
  const std::string path = machineStorePath();
  Store store;
  if (path == userPath) return store;
  FileDescriptor lock;
  lockForReading(path, lock);
  mode_t mode = 0;
  if (loadStore(path, store, mode) != ERROR_SUCCESS) store = Store{};
  return store;
}

// Runs `use(Store&)` on the registry as it is now: the user's store laid
// over the machine's.
template <class Use>
LONG readStore(Use&& use) {
  const std::string path = storePath();
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  Store user;
  {
    FileDescriptor lock;
    lockForReading(path, lock);
    mode_t mode = 0;
    const LONG loaded = loadStore(path, user, mode);
    if (loaded != ERROR_SUCCESS) return loaded;
  }
  Store view = machineLayer(path);
  for (std::size_t r = 0; r < view.roots.size(); ++r) overlay(view.roots[r], user.roots[r]);
  return use(view);
}

// Runs `change(Store& user, Store& machine, bool& changed)` on the user's
// store under its exclusive lock, with the machine layer to consult (never
// written), and saves the user's store when the change succeeded and changed
// something.
template <class Change>
LONG changeStore(Change&& change) {
  const std::string path = storePath();
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  FileDescriptor lock;
  const LONG locked = lockForWriting(path, lock);
  if (locked != ERROR_SUCCESS) return locked;
  Store store;
  mode_t mode = 0;
  const LONG loaded = loadStore(path, store, mode);
  if (loaded != ERROR_SUCCESS) return loaded;
  Store machine = machineLayer(path);
  bool changed = false;
  const LONG result = change(store, machine, changed);
  if (result != ERROR_SUCCESS || !changed) return result;
  removeUnfinishedSaves(path);
  return saveStore(path, formatStore(store), mode);
}

// Every public call runs inside this: no exception leaves the registry.
template <class Body>
LONG guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_BADDB;
  }
}

// The key names of an open key; false when the key is not one this store
// could have handed out.
bool keyNames(const RegKey& key, std::vector<std::u16string>& names) {
  return validRoot(key.root) && splitKeyPath(key.path, names, kMaxKeyDepth);
}

// Looks up a value of an open key and hands it to `use(const Value&)`.
template <class Use>
LONG withValue(const RegKey& key, std::u16string_view name, Use&& use) {
  std::vector<std::u16string> names;
  if (!keyNames(key, names)) return ERROR_INVALID_HANDLE;
  return readStore([&](Store& store) -> LONG {
    Node* node = findKey(store, key.root, names);
    if (node == nullptr) return ERROR_FILE_NOT_FOUND;
    const Value* value = findValue(*node, name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    return use(*value);
  });
}

LONG setValueBytes(const RegKey& key, std::u16string_view name, DWORD type, std::vector<BYTE> data) {
  std::vector<std::u16string> names;
  if (!keyNames(key, names)) return ERROR_INVALID_HANDLE;
  if (!isStorableName(name, kMaxValueNameChars)) return ERROR_INVALID_PARAMETER;
  return changeStore([&](Store& store, Store& machine, bool& changed) -> LONG {
    Node* node = findKey(store, key.root, names);
    // A key only the machine holds gets the user's own copy.
    if (node == nullptr && findKey(machine, key.root, names) != nullptr)
      node = &makeKey(store, key.root, names, changed);
    if (node == nullptr) return ERROR_FILE_NOT_FOUND;
    putValue(*node, name, type, std::move(data), changed);
    return ERROR_SUCCESS;
  });
}

}  // namespace

LONG regCreateKey(RegRoot root, std::u16string_view subKey, RegKey& out) {
  return guarded([&]() -> LONG {
    if (!validRoot(root)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> names;
    if (!splitKeyPath(subKey, names, kMaxKeyDepth)) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    // Opening an existing key needs no write, so it works on a store the
    // caller may only read.
    LONG result = readStore([&](Store& store) -> LONG {
      if (findKey(store, root, names) == nullptr) return ERROR_FILE_NOT_FOUND;
      path = storedPath(store, root, names);
      return ERROR_SUCCESS;
    });
    if (result == ERROR_FILE_NOT_FOUND) {
      result = changeStore([&](Store& store, Store&, bool& changed) -> LONG {
        makeKey(store, root, names, changed);
        path = storedPath(store, root, names);
        return ERROR_SUCCESS;
      });
    }
    if (result != ERROR_SUCCESS) return result;
    out.root = root;
    out.path = std::move(path);
    return ERROR_SUCCESS;
  });
}

LONG regOpenKey(RegRoot root, std::u16string_view subKey, RegKey& out) {
  return guarded([&]() -> LONG {
    if (!validRoot(root)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> names;
    if (!splitKeyPath(subKey, names, kMaxKeyDepth)) return ERROR_INVALID_PARAMETER;
    std::u16string path;
    const LONG result = readStore([&](Store& store) -> LONG {
      if (findKey(store, root, names) == nullptr) return ERROR_FILE_NOT_FOUND;
      path = storedPath(store, root, names);
      return ERROR_SUCCESS;
    });
    if (result != ERROR_SUCCESS) return result;
    out.root = root;
    out.path = std::move(path);
    return ERROR_SUCCESS;
  });
}

LONG regQueryValue(const RegKey& key, std::u16string_view name, DWORD* type, BYTE* data, DWORD* cbData) {
  return guarded([&]() -> LONG {
    if (data != nullptr && cbData == nullptr) return ERROR_INVALID_PARAMETER;
    return withValue(key, name, [&](const Value& value) -> LONG {
      if (value.data.size() > 0xFFFFFFFFu) return ERROR_BADDB;
      const auto size = static_cast<DWORD>(value.data.size());
      if (type != nullptr) *type = value.type;
      if (data != nullptr && *cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
      }
      if (data != nullptr && size > 0) std::memcpy(data, value.data.data(), size);
      if (cbData != nullptr) *cbData = size;
      return ERROR_SUCCESS;
    });
  });
}

LONG regQueryDword(const RegKey& key, std::u16string_view name, DWORD& value) {
  return guarded([&]() -> LONG {
    return withValue(key, name, [&](const Value& stored) -> LONG {
      if (stored.data.size() > 4) return ERROR_MORE_DATA;
      std::uint32_t read = 0;
      if (!ByteReader(stored.data).u32le(0, read)) return ERROR_INVALID_DATA;
      value = read;
      return ERROR_SUCCESS;
    });
  });
}

LONG regQueryString(const RegKey& key, std::u16string_view name, std::u16string& value) {
  return guarded([&]() -> LONG {
    return withValue(key, name, [&](const Value& stored) -> LONG {
      if (stored.type != kRegSz && stored.type != kRegExpandSz) return ERROR_INVALID_DATA;
      // The text ends at the first NUL, as it does for anyone reading the
      // data as a C string.
      value = ByteReader(stored.data).utf16leUntilNul();
      return ERROR_SUCCESS;
    });
  });
}

LONG regSetValue(const RegKey& key, std::u16string_view name, DWORD type, const BYTE* data, DWORD cbData) {
  return guarded([&]() -> LONG {
    if (data == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
    std::vector<BYTE> bytes;
    if (cbData != 0) bytes.assign(data, data + cbData);
    return setValueBytes(key, name, type, std::move(bytes));
  });
}

LONG regSetDword(const RegKey& key, std::u16string_view name, DWORD value) {
  return guarded([&]() -> LONG {
    std::vector<BYTE> bytes;
    appendU32le(bytes, value);
    return setValueBytes(key, name, kRegDword, std::move(bytes));
  });
}

LONG regSetString(const RegKey& key, std::u16string_view name, std::u16string_view value) {
  return guarded([&]() -> LONG { return setValueBytes(key, name, kRegSz, stringBytes(value)); });
}

LONG regDeleteValue(const RegKey& key, std::u16string_view name) {
  return guarded([&]() -> LONG {
    std::vector<std::u16string> names;
    if (!keyNames(key, names)) return ERROR_INVALID_HANDLE;
    return changeStore([&](Store& store, Store& machine, bool& changed) -> LONG {
      if (Node* node = findKey(store, key.root, names)) {
        for (auto it = node->values.begin(); it != node->values.end(); ++it) {
          if (equalsIgnoreAsciiCase(it->name, name)) {
            node->values.erase(it);
            changed = true;
            return ERROR_SUCCESS;
          }
        }
      }
      Node* shared = findKey(machine, key.root, names);
      return shared != nullptr && findValue(*shared, name) != nullptr ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    });
  });
}

LONG regDeleteTree(RegRoot root, std::u16string_view subKey) {
  return guarded([&]() -> LONG {
    if (!validRoot(root)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> names;
    if (!splitKeyPath(subKey, names, kMaxKeyDepth)) return ERROR_INVALID_PARAMETER;
    // An empty path would name the root: never empty a whole root.
    if (names.empty()) return ERROR_INVALID_PARAMETER;
    const std::u16string last = names.back();
    names.pop_back();
    return changeStore([&](Store& store, Store& machine, bool& changed) -> LONG {
      if (Node* parent = findKey(store, root, names)) {
        for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
          if (equalsIgnoreAsciiCase(it->name, last)) {
            parent->children.erase(it);
            changed = true;
            return ERROR_SUCCESS;
          }
        }
      }
      Node* shared = findKey(machine, root, names);
      return shared != nullptr && findChild(*shared, last) != nullptr ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    });
  });
}

LONG regEnumKeys(const RegKey& key, std::vector<std::u16string>& names) {
  return guarded([&]() -> LONG {
    std::vector<std::u16string> path;
    if (!keyNames(key, path)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> found;
    const LONG result = readStore([&](Store& store) -> LONG {
      Node* node = findKey(store, key.root, path);
      if (node == nullptr) return ERROR_FILE_NOT_FOUND;
      for (const Node& child : node->children) found.push_back(child.name);
      return ERROR_SUCCESS;
    });
    if (result == ERROR_SUCCESS) names = std::move(found);
    return result;
  });
}

LONG regEnumValues(const RegKey& key, std::vector<std::u16string>& names) {
  return guarded([&]() -> LONG {
    std::vector<std::u16string> path;
    if (!keyNames(key, path)) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> found;
    const LONG result = readStore([&](Store& store) -> LONG {
      Node* node = findKey(store, key.root, path);
      if (node == nullptr) return ERROR_FILE_NOT_FOUND;
      for (const Value& value : node->values) found.push_back(value.name);
      return ERROR_SUCCESS;
    });
    if (result == ERROR_SUCCESS) names = std::move(found);
    return result;
  });
}

std::string registryStorePath() {
  try {
    return storePath();
  } catch (...) {
    return {};
  }
}

std::string machineRegistryStorePath() {
  try {
    return machineStorePath();
  } catch (...) {
    return {};
  }
}

}  // namespace sonvale::platform
