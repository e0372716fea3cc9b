#include "data_files.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sonvale::recipe::decompressBzip2;

std::string compress(const std::string& text) {
  std::vector<char> out(text.size() + text.size() / 100 + 700);
  auto length = static_cast<unsigned>(out.size());
  std::string copy = text;
  EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &length, copy.data(), static_cast<unsigned>(copy.size()), 9, 0, 0),
            BZ_OK);
  return std::string(out.data(), length);
}

// Text larger than the decoder's 1 MiB output piece, so that it arrives in several.
std::string largeText() {
  std::string text;
  for (int i = 0; text.size() < 3u << 20; ++i) text += "U+" + std::to_string(i) + "\tkCantonese\tsi1\n";
  return text;
}

TEST(DataFiles, DecompressesOneStream) {
  const std::string text = largeText();
  std::string out;
  EXPECT_EQ(decompressBzip2(compress(text), out), "");
  EXPECT_EQ(out, text);
}

TEST(DataFiles, DecompressesStreamsInARow) {
  std::string out;
  EXPECT_EQ(decompressBzip2(compress("first\n") + compress("second\n"), out), "");
  EXPECT_EQ(out, "first\nsecond\n");
}

TEST(DataFiles, EmptyInputIsEmptyText) {
  std::string out = "x";
  EXPECT_EQ(decompressBzip2("", out), "");
  EXPECT_EQ(out, "");
}

TEST(DataFiles, RefusesDamagedAndTruncatedData) {
  const std::string whole = compress(largeText());
  std::string out;
  EXPECT_NE(decompressBzip2(whole.substr(0, whole.size() / 2), out), "") << "cut short";
  EXPECT_NE(decompressBzip2("not bzip2 at all", out), "") << "not bzip2";
  std::string damaged = whole;
  damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x55);
  EXPECT_NE(decompressBzip2(damaged, out), "") << "a flipped byte breaks the block's checksum";
}

}  // namespace
