// The double-byte code page that tests switch to: lead bytes are stepped over whole.
#include <gtest/gtest.h>

#include "platform/host/control.h"
#include "service/CommandLine.h"

namespace kstv::test {
namespace {

class HostTextTest : public ::testing::Test {
 protected:
  HostTextTest() { host::setAnsiCodePage(932); }
  ~HostTextTest() override { host::setAnsiCodePage(1252); }
};

TEST_F(HostTextTest, LeadBytesOfCodePage932) {
  EXPECT_EQ(932u, GetACP());
  EXPECT_TRUE(IsDBCSLeadByte(0x81));
  EXPECT_TRUE(IsDBCSLeadByte(0x9F));
  EXPECT_TRUE(IsDBCSLeadByte(0xE0));
  EXPECT_TRUE(IsDBCSLeadByte(0xFC));
  EXPECT_FALSE(IsDBCSLeadByte(0x80));
  EXPECT_FALSE(IsDBCSLeadByte(0xA1));  // a half-width katakana stands alone
  EXPECT_FALSE(IsDBCSLeadByte('\\'));
}

TEST_F(HostTextTest, CharNextAStepsOverADoubleByteCharacterWhole) {
  const char text[] = "\x95\x5Cx";
  EXPECT_EQ(text + 2, CharNextA(text));
  const char cut[] = "\x95";  // a lead byte with nothing behind it is one character
  EXPECT_EQ(cut + 1, CharNextA(cut));
}

TEST_F(HostTextTest, FindSwitchDoesNotTakeATrailByteForADelimiter) {
  const char text[] = "\x95\x5C\\x";  // the first 0x5C is a trail byte, the second a backslash
  EXPECT_EQ(text + 3, FindSwitch(text, "\\"));
}

TEST_F(HostTextTest, ConversionsRoundTripDoubleByteText) {
  const char text[] = "\x95\x5C\xB1z";  // a kanji, a half-width katakana, z
  WCHAR wide[8];
  ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 8));
  EXPECT_EQ(0x8868, wide[0]);
  EXPECT_EQ(0xFF71, wide[1]);
  char back[8];
  ASSERT_EQ(5, WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, nullptr));
  EXPECT_STREQ(text, back);
}

TEST_F(HostTextTest, StrictConversionRefusesAnInvalidPair) {
  const char text[] = "\x81\x20";  // 0x20 cannot trail
  WCHAR wide[4];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, 2, wide, 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

}  // namespace
}  // namespace kstv::test
