// The registry store's reader on arbitrary files: the input is written as the
// store file, then read through the public calls (open, enumerate, query).
// A file that does not parse must give ERROR_BADDB to every call and never be
// written over. A file that parses must survive a change: after one value is
// set, the store reads back the same tree with only that value added, so the
// writer says exactly what the reader read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/registry.h"

namespace {

using namespace sonvale;
using platform::RegKey;
using platform::RegRoot;

// Enough to walk any tree a fuzzer input can describe; the store allows 512.
constexpr std::size_t kMaxDepth = 600;

struct ValueSnapshot {
  std::u16string name;
  DWORD type = 0;
  std::vector<BYTE> data;
  bool operator==(const ValueSnapshot&) const = default;
};

struct KeySnapshot {
  std::u16string path;
  std::vector<ValueSnapshot> values;
  bool operator==(const KeySnapshot&) const = default;
};

// Reads every key below `root` depth first. Returns the first error.
LONG snapshot(RegRoot root, const std::u16string& path, std::size_t depth, std::vector<KeySnapshot>& out) {
  SONVALE_FUZZ_CHECK(depth <= kMaxDepth, "keys nest deeper than %zu", kMaxDepth);
  RegKey key;
  LONG error = platform::regOpenKey(root, path, key);
  if (error != ERROR_SUCCESS) return error;
  KeySnapshot keySnapshot;
  keySnapshot.path = std::u16string(1, static_cast<char16_t>(u'0' + static_cast<int>(root))) + u":" + key.path;
  std::vector<std::u16string> names;
  if ((error = platform::regEnumValues(key, names)) != ERROR_SUCCESS) return error;
  for (const std::u16string& name : names) {
    ValueSnapshot v;
    v.name = name;
    DWORD size = 0;
    if ((error = platform::regQueryValue(key, name, &v.type, nullptr, &size)) != ERROR_SUCCESS) return error;
    v.data.resize(size);
    DWORD got = size;
    if ((error = platform::regQueryValue(key, name, nullptr, v.data.data(), &got)) != ERROR_SUCCESS) return error;
    SONVALE_FUZZ_CHECK(got == size, "value size %u, then %u", size, got);
    keySnapshot.values.push_back(std::move(v));
  }
  out.push_back(std::move(keySnapshot));
  std::vector<std::u16string> children;
  if ((error = platform::regEnumKeys(key, children)) != ERROR_SUCCESS) return error;
  for (const std::u16string& child : children) {
    error = snapshot(root, path.empty() ? child : path + u"\\" + child, depth + 1, out);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

LONG snapshotAll(std::vector<KeySnapshot>& out) {
  out.clear();
  for (const RegRoot root : {RegRoot::ClassesRoot, RegRoot::CurrentUser, RegRoot::LocalMachine}) {
    const LONG error = snapshot(root, u"", 0, out);
    if (error != ERROR_SUCCESS) return error;
  }
  return ERROR_SUCCESS;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Fixture {
  fuzz::ScratchDir dir;
  std::string store;
  Fixture() : store(dir.file("registry.reg")) {
    SONVALE_FUZZ_CHECK(!dir.path().empty(), "no scratch directory");
    setenv("SONVALE_REGISTRY", store.c_str(), 1);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& fx = fixture();
  fuzz::writeFile(fx.store, {data, size});

  std::vector<KeySnapshot> before;
  const LONG read = snapshotAll(before);
  RegKey probe;
  const LONG created = platform::regCreateKey(RegRoot::CurrentUser, u"Software\\Sonvale Fuzz", probe);
  if (read != ERROR_SUCCESS) {
    SONVALE_FUZZ_CHECK(read == ERROR_BADDB, "reading the store gave %ld", static_cast<long>(read));
    SONVALE_FUZZ_CHECK(created == ERROR_BADDB, "creating a key in a damaged store gave %ld",
                       static_cast<long>(created));
    SONVALE_FUZZ_CHECK(readAll(fx.store) == std::string(reinterpret_cast<const char*>(data), size),
                       "a damaged store was written over");
    return 0;
  }
  SONVALE_FUZZ_CHECK(created == ERROR_SUCCESS, "a store that reads refused a new key: %ld", static_cast<long>(created));
  const LONG set = platform::regSetDword(probe, u"Fuzz Probe Value", 0x12345678);
  SONVALE_FUZZ_CHECK(set == ERROR_SUCCESS, "a store that reads refused a value: %ld", static_cast<long>(set));

  std::vector<KeySnapshot> after;
  const LONG reread = snapshotAll(after);
  SONVALE_FUZZ_CHECK(reread == ERROR_SUCCESS, "the store written from a good one reads with %ld",
                     static_cast<long>(reread));
  // Take the probe out again: what is left must be what was read at first.
  const std::u16string probePath = u"1:" + probe.path;
  for (auto it = after.begin(); it != after.end(); ++it) {
    if (!platform::equalsIgnoreAsciiCase(it->path, probePath)) continue;
    std::erase_if(it->values, [](const ValueSnapshot& v) {
      return platform::equalsIgnoreAsciiCase(v.name, u"Fuzz Probe Value");
    });
  }
  std::erase_if(after, [&](const KeySnapshot& k) {
    const bool added = std::none_of(before.begin(), before.end(), [&](const KeySnapshot& b) {
      return platform::equalsIgnoreAsciiCase(b.path, k.path);
    });
    return added && k.values.empty();
  });
  SONVALE_FUZZ_CHECK(before.size() <= after.size(), "keys were lost: %zu before, %zu after", before.size(), after.size());
  for (const KeySnapshot& b : before) {
    const auto match = std::find_if(after.begin(), after.end(), [&](const KeySnapshot& a) { return a.path == b.path; });
    SONVALE_FUZZ_CHECK(match != after.end(), "key '%s' lost in the rewrite", platform::utf16ToUtf8(b.path).c_str());
    SONVALE_FUZZ_CHECK(match->values == b.values, "the values of key '%s' changed in the rewrite",
                       platform::utf16ToUtf8(b.path).c_str());
  }
  return 0;
}
