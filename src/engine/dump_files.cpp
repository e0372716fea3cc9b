#include "engine/dump_files.h"

#include <cstdlib>
#include <string>

#include "platform/le_bytes.h"

namespace sonvale {

namespace {

std::FILE* createDump(const char* name) {
  const char* dir = std::getenv("SONVALE_DUMP_DIR");
  if (dir == nullptr || *dir == '\0') return nullptr;
  std::string path(dir);
  if (path.back() != '/') path += '/';
  path += name;
  return std::fopen(path.c_str(), "w+b");
}

}  // namespace

void DumpFiles::open(std::int32_t waveOutStyle, std::int32_t rtfOutStyle) {
  close();
  if (waveOutStyle > 0) {
    wave_ = createDump(kWaveDumpName);
    dataBytes_ = 0;
    riffSize_ = 38;
    if (wave_ != nullptr) {
      // The header always states 11025 Hz: the dump holds the voice's own samples.
      const auto header = pcmWavHeader(11025, 0);
      std::fwrite(header.data(), 1, header.size(), wave_);
    }
  }
  if (rtfOutStyle > 0) text_ = createDump(kTextDumpName);
}

void DumpFiles::close() {
  if (wave_ != nullptr) {
    std::uint8_t field[4];
    putU32le(field, riffSize_);
    if (std::fseek(wave_, static_cast<long>(kWavRiffSizeOffset), SEEK_SET) == 0) std::fwrite(field, 1, 4, wave_);
    putU32le(field, dataBytes_);
    if (std::fseek(wave_, static_cast<long>(kWavDataSizeOffset), SEEK_SET) == 0) std::fwrite(field, 1, 4, wave_);
    std::fclose(wave_);
    wave_ = nullptr;
  }
  if (text_ != nullptr) {
    std::fclose(text_);
    text_ = nullptr;
  }
}

void DumpFiles::appendWave(const std::uint8_t* bytes, std::uint32_t count) {
  if (wave_ == nullptr || count == 0) return;
  if (std::fseek(wave_, 0, SEEK_END) == 0) std::fwrite(bytes, 1, count, wave_);
  dataBytes_ += count;
  riffSize_ += count;
}

void DumpFiles::appendText(std::string_view line) {
  if (text_ != nullptr) std::fwrite(line.data(), 1, line.size(), text_);
}

}  // namespace sonvale
