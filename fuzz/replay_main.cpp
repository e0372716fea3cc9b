// Runs a fuzz target once over each file named on the command line (a
// directory stands for the files in it), for compilers without libFuzzer and
// for replaying a corpus or a crash under any sanitizer build, e.g. with g++:
//   g++ -std=c++20 -g -fsanitize=address,undefined -Isrc -Iinclude -Ifuzz
//       fuzz/speak_fuzz.cpp fuzz/replay_main.cpp (the engine and voice builder
//       libraries) $(pkg-config --libs libmpg123 fftw3 soxr sndfile) -lmp3lame -pthread
//   ./a.out build-fuzz/corpus/speak
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runFile(const std::filesystem::path& path, std::size_t& runs) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  ++runs;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(path, ec))
        if (entry.is_regular_file(ec)) runFile(entry.path(), runs);
    } else {
      runFile(path, runs);
    }
  }
  std::printf("%zu inputs run\n", runs);
  return 0;
}
