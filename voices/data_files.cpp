#include "data_files.h"

#include <bzlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace sonvale::recipe {

namespace {

constexpr std::size_t kOutputPieceBytes = 1 << 20;

}  // namespace

std::string readWholeFile(const std::string& path, std::string& out) {
  out.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot open " + path;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return "cannot read " + path;
  return {};
}

std::string decompressBzip2(std::string_view compressed, std::string& out) {
  out.clear();
  std::size_t consumed = 0;
  std::string piece(kOutputPieceBytes, '\0');
  // A file may hold several streams one after another (as parallel
  // compressors write them); each is decoded in turn.
  while (consumed < compressed.size()) {
    bz_stream stream{};
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return "cannot start the bzip2 decoder";
    stream.next_in = const_cast<char*>(compressed.data() + consumed);  // the library never writes through it
    const std::size_t available = compressed.size() - consumed;
    stream.avail_in = available > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<unsigned>(available);
    int status = BZ_OK;
    while (status == BZ_OK) {
      stream.next_out = piece.data();
      stream.avail_out = static_cast<unsigned>(piece.size());
      status = BZ2_bzDecompress(&stream);
      out.append(piece.data(), piece.size() - stream.avail_out);
      if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out == piece.size()) status = BZ_UNEXPECTED_EOF;
    }
    const std::size_t used = available - stream.avail_in;
    BZ2_bzDecompressEnd(&stream);
    if (status != BZ_STREAM_END)
      return "bzip2 data damaged or cut short (decoder status " + std::to_string(status) + ") at byte " +
             std::to_string(consumed + used);
    consumed += used;
  }
  return {};
}

std::string readBzip2File(const std::string& path, std::string& out) {
  std::string compressed;
  if (std::string error = readWholeFile(path, compressed); !error.empty()) return error;
  if (std::string error = decompressBzip2(compressed, out); !error.empty()) return path + ": " + error;
  return {};
}

std::string writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string temporary = path + ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return "cannot write " + temporary;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) return "cannot rename " + temporary + " to " + path + ": " + ec.message();
  return {};
}

}  // namespace sonvale::recipe
