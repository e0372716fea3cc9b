// The two diagnostic dumps of a speaking call: a WAV file of one synthesis
// stage and a text file of per-syllable traces. They are created anew at the
// start of every call in the directory named by SONVALE_DUMP_DIR, and only
// there: when the variable is unset or the directory is missing nothing is
// created. Failures to create or write them are ignored.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace sonvale {

inline constexpr char kWaveDumpName[] = "cantonesewaveout.wav";
inline constexpr char kTextDumpName[] = "cantonesewaveout.rtf";

class DumpFiles {
 public:
  DumpFiles() = default;
  DumpFiles(const DumpFiles&) = delete;
  DumpFiles& operator=(const DumpFiles&) = delete;
  ~DumpFiles() { close(); }

  // Creates the WAV dump (with its 46-byte header) when waveOutStyle > 0 and
  // the text dump when rtfOutStyle > 0.
  void open(std::int32_t waveOutStyle, std::int32_t rtfOutStyle);

  // Patches the WAV dump's two size fields and closes both files.
  void close();

  bool waveOpen() const { return wave_ != nullptr; }
  bool textOpen() const { return text_ != nullptr; }

  // Appends samples to the WAV dump and counts them in both size fields.
  void appendWave(const std::uint8_t* bytes, std::uint32_t count);

  // Appends a line (already in the dump's 8-bit encoding) to the text dump.
  void appendText(std::string_view line);

 private:
  std::FILE* wave_ = nullptr;
  std::FILE* text_ = nullptr;
  std::uint32_t dataBytes_ = 0;
  std::uint32_t riffSize_ = 0;
};

}  // namespace sonvale
