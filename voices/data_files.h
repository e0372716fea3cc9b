// Reading the data files (plain or bzip2-compressed) and writing results
// so that a reader never sees half a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sonvale::recipe {

// Reads a whole file. Returns an empty string on success, else a message naming the file.
std::string readWholeFile(const std::string& path, std::string& out);

// Decompresses bzip2 data (one stream or several in a row). Returns an empty
// string on success, else what is wrong; `out` is then unspecified.
std::string decompressBzip2(std::string_view compressed, std::string& out);

// Reads and decompresses a .bz2 file.
std::string readBzip2File(const std::string& path, std::string& out);

// Writes `bytes` to a temporary file beside `path` and renames it over `path`.
std::string writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace sonvale::recipe
