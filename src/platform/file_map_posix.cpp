#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file_map.h"

namespace sonvale::platform {

namespace {

LONG win32Error(int err) {
  switch (err) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EISDIR:
      return ERROR_ACCESS_DENIED;  // as CreateFile answers for a directory
    default:
      return ERROR_READ_FAULT;
  }
}

}  // namespace

LONG MappedFile::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return win32Error(errno);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return win32Error(err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return ERROR_ACCESS_DENIED;
  }
  if (st.st_size == 0) {
    ::close(fd);
    return ERROR_FILE_INVALID;  // an empty file cannot be mapped
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int err = errno;
  ::close(fd);  // the mapping keeps the file
  if (view == MAP_FAILED) return win32Error(err);
  data_ = static_cast<const std::uint8_t*>(view);
  size_ = size;
  return ERROR_SUCCESS;
}

void MappedFile::close() {
  if (data_ != nullptr) munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace sonvale::platform
