#include <cstdio>
#include <cstdlib>

#include "platform/com.h"

#ifndef _WIN32
// On Windows the task allocator is ole32's (com.h).
void* CoTaskMemAlloc(std::size_t cb) { return std::malloc(cb == 0 ? 1 : cb); }

void CoTaskMemFree(void* pv) { std::free(pv); }
#endif

namespace sonvale::platform {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool parseGuid(const char* text, GUID& out) {
  if (text == nullptr) return false;
  const bool braced = text[0] == '{';
  const char* p = braced ? text + 1 : text;
  // Hex digit groups of 8-4-4-4-12, separated by '-'.
  static constexpr int kGroups[5] = {8, 4, 4, 4, 12};
  std::uint8_t bytes[16];
  int byteCount = 0;
  for (int g = 0; g < 5; ++g) {
    if (g > 0 && *p++ != '-') return false;
    for (int i = 0; i < kGroups[g]; i += 2) {
      const int hi = hexValue(p[0]);
      const int lo = hi < 0 ? -1 : hexValue(p[1]);
      if (hi < 0 || lo < 0) return false;
      bytes[byteCount++] = static_cast<std::uint8_t>(hi << 4 | lo);
      p += 2;
    }
  }
  if (braced && *p++ != '}') return false;
  if (*p != '\0') return false;
  out.Data1 = static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
              static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  out.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
  out.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
  for (int i = 0; i < 8; ++i) out.Data4[i] = bytes[8 + i];
  return true;
}

void formatGuid(const GUID& guid, char (&out)[39]) {
  std::snprintf(out, sizeof out, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
}

}  // namespace sonvale::platform
