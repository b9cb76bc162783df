// The four badge icons as the build rendered them: where the badges look for them, each
// with the five sizes in 32 bits, the 256-pixel image PNG-compressed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace kstv::test {
namespace {

std::vector<unsigned char> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), {});
}

unsigned Word(const std::vector<unsigned char>& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8;
}
std::uint32_t Dword(const std::vector<unsigned char>& bytes, std::size_t at) {
  return Word(bytes, at) | static_cast<std::uint32_t>(Word(bytes, at + 2)) << 16;
}

TEST(BadgeIconsTest, EachIconHoldsTheFiveSizesIn32Bits) {
  const unsigned char pngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  for (const char* name : {"SD/kicsd.ico", "SD/kicmmc.ico", "XD/kicxd.ico", "MS/kicms.ico"}) {
    SCOPED_TRACE(name);
    std::vector<unsigned char> icon = ReadFile(std::string(KSTV_ICON_DIR) + "/" + name);
    ASSERT_GE(icon.size(), 6u + 5 * 16) << "missing or too short";
    EXPECT_EQ(0u, Word(icon, 0));
    EXPECT_EQ(1u, Word(icon, 2)) << "not an icon";
    ASSERT_EQ(5u, Word(icon, 4));
    std::vector<unsigned> sizes;
    for (std::size_t entry = 6; entry < 6 + 5 * 16; entry += 16) {
      unsigned size = icon[entry] == 0 ? 256 : icon[entry];  // 0 stands for 256
      sizes.push_back(size);
      EXPECT_EQ(icon[entry], icon[entry + 1]) << "square";
      EXPECT_EQ(32u, Word(icon, entry + 6)) << size << " px";
      std::uint32_t length = Dword(icon, entry + 8), offset = Dword(icon, entry + 12);
      ASSERT_LE(std::uint64_t{offset} + length, icon.size());
      if (size == 256) {
        ASSERT_GE(length, sizeof pngSignature);
        EXPECT_EQ(0, std::memcmp(&icon[offset], pngSignature, sizeof pngSignature));
      } else {
        ASSERT_GE(length, 40u);
        EXPECT_EQ(40u, Dword(icon, offset)) << "a BITMAPINFOHEADER";
        EXPECT_EQ(32u, Word(icon, offset + 14)) << size << " px image";
      }
    }
    EXPECT_EQ((std::vector<unsigned>{16, 24, 32, 48, 256}), sizes);
  }
}

}  // namespace
}  // namespace kstv::test
