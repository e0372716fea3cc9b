// Read-only mapping of a whole file, as the engine keeps its voice files.
// On Windows this is CreateFileMapping/MapViewOfFile; elsewhere mmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "platform/com.h"

namespace sonvale::platform {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      close();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~MappedFile() { close(); }

  // Maps the file at `path` (UTF-8) read-only. Returns ERROR_SUCCESS or the
  // Win32 error code of the failure: ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
  // ERROR_ACCESS_DENIED, ERROR_FILE_INVALID for an empty file, ...
  LONG open(const std::string& path);

  // Unmaps; the bytes are gone afterwards.
  void close();

  bool isOpen() const { return data_ != nullptr; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace sonvale::platform
