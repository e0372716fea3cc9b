// Read-only mapping of a whole file on Windows: CreateFileW with
// FILE_SHARE_READ, CreateFileMappingW and MapViewOfFile (win32_api.h). The
// mapping handle is closed as soon as the view exists: a view holds its own
// reference to the mapping, so unmapping the view releases everything, and
// MappedFile needs to keep only the view.
#include <new>
#include <utility>

#include "platform/file_map.h"
#include "platform/utf.h"
#include "platform/win32_api.h"

namespace sonvale::platform {

LONG MappedFile::open(const std::string& path) {
  close();
  std::u16string widePath;
  try {
    widePath = utf8ToUtf16(path);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  // A NUL inside the path would open a different file.
  if (widePath.find(u'\0') != std::u16string::npos) return ERROR_INVALID_PARAMETER;
  const std::uint8_t* view = nullptr;
  std::size_t size = 0;
  win32::Handle mapping = nullptr;
  const LONG result = win32::mapFileReadOnly(widePath.c_str(), view, size, mapping);
  if (result != ERROR_SUCCESS) return result;
  win32::unmapFile(nullptr, mapping);
  data_ = view;
  size_ = size;
  return ERROR_SUCCESS;
}

void MappedFile::close() {
  if (data_ != nullptr) win32::unmapFile(data_, nullptr);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace sonvale::platform
