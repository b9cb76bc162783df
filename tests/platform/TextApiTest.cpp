// ANSI code page 1252 as the system relies on it; runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/win32.h"

namespace kstv::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

TEST(TextApiTest, TheAnsiCodePageIs1252) { EXPECT_EQ(1252u, GetACP()); }

TEST(TextApiTest, MultiByteToWideCharMapsTheWindows1252Letters) {
  const char text[] = "\x80\xE9z";  // euro sign, e acute, z
  WCHAR wide[8];
  ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 8));
  EXPECT_EQ(0x20AC, wide[0]);
  EXPECT_EQ(0x00E9, wide[1]);
  EXPECT_EQ(u'z', wide[2]);
  EXPECT_EQ(0, wide[3]);
}

TEST(TextApiTest, MultiByteToWideCharReportsTheLengthNeededAndAShortBuffer) {
  EXPECT_EQ(6, MultiByteToWideChar(CP_ACP, 0, "Module", 6, nullptr, 0));
  WCHAR wide[3] = {0x1111, 0x1111, 0x1111};
  SetLastError(kSentinel);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "Module", -1, wide, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(TextApiTest, WideCharToMultiByteUsesTheDefaultCharacterForWhatItCannotMap) {
  const WCHAR wide[] = {0x20AC, 0x4E00, 0};
  char text[8];
  std::memset(text, 0x55, sizeof text);
  BOOL usedDefault = FALSE;
  ASSERT_EQ(3, WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, &usedDefault));
  EXPECT_EQ('\x80', text[0]);
  EXPECT_EQ('?', text[1]);
  EXPECT_EQ('\0', text[2]);
  EXPECT_EQ(0x55, text[3]);
  EXPECT_TRUE(usedDefault);
}

// Without best fit, a character the code page lacks (Greek capital omega, which best fit
// would give as "O") is the default character, and the caller is told; one it holds is
// itself. Paths the program builds on are converted so, and refused when told.
TEST(TextApiTest, WithoutBestFitWhatTheCodePageLacksIsTheDefaultCharacterAndSaysSo) {
  const WCHAR lacking[] = {u'T', 0x03A9, u'x', 0};
  const WCHAR held[] = {u'T', 0x00E9, 0x20AC, 0};
  char text[8];
  BOOL usedDefault = FALSE;
  ASSERT_EQ(4, WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, lacking, -1, text, sizeof text,
                                   nullptr, &usedDefault));
  EXPECT_STREQ("T?x", text);
  EXPECT_TRUE(usedDefault);
  ASSERT_EQ(4, WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, held, -1, text, sizeof text,
                                   nullptr, &usedDefault));
  EXPECT_STREQ("T\xE9\x80", text);
  EXPECT_FALSE(usedDefault);
}

// UTF-8 holds every character: it takes neither the best-fit flag nor a default character
// or its report, and with WC_ERR_INVALID_CHARS (which only it takes) an unpaired
// surrogate fails the conversion instead of becoming U+FFFD.
TEST(TextApiTest, Utf8TakesOnlyTheFlagForInvalidCharactersAndNoDefaultCharacter) {
  const WCHAR omega[] = {u'T', 0x03A9, 0};
  const WCHAR broken[] = {u'T', 0xD800, u'x', 0};
  char text[8];
#ifndef _WIN32
  // Windows documents these refusals; Wine's quirk: it converts all three, the best-fit
  // flag and the default character's report taken, and WC_ERR_INVALID_CHARS ignored for a
  // code page other than UTF-8.
  BOOL usedDefault = FALSE;
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, omega, -1, text, sizeof text,
                                   nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
  SetLastError(0);
  EXPECT_EQ(0,
            WideCharToMultiByte(CP_UTF8, 0, omega, -1, text, sizeof text, nullptr, &usedDefault));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, omega, -1, text, sizeof text,
                                   nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
#endif
  ASSERT_EQ(4, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, omega, -1, text, sizeof text,
                                   nullptr, nullptr));
  EXPECT_STREQ("T\xCE\xA9", text);
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, broken, -1, text, sizeof text,
                                   nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(TextApiTest, CharNextAStepsOneByteAndStopsAtTheEnd) {
  const char text[] = "\xE9x";
  EXPECT_EQ(text + 1, CharNextA(text));
  EXPECT_EQ(text + 2, CharNextA(text + 1));
  EXPECT_EQ(text + 2, CharNextA(text + 2));
  EXPECT_FALSE(IsDBCSLeadByte(0x81));
}

TEST(TextApiTest, LstrcmpiAComparesWholeStringsWithoutRegardToCase) {
  EXPECT_EQ(0, lstrcmpiA("RegServer", "rEGSERVER"));
  EXPECT_EQ(0, lstrcmpiA("\xC9t\xE9", "\xE9T\xC9"));  // accented letters fold too
  EXPECT_NE(0, lstrcmpiA("RegServer ", "RegServer"));
  EXPECT_NE(0, lstrcmpiA("RegServer", "Reg"));
  EXPECT_LT(lstrcmpiA("alpha", "BETA"), 0);
  EXPECT_GT(lstrcmpiA("Gamma", "beta"), 0);
}

TEST(TextApiTest, LstrcmpiAComparesByTheLocaleNotByCaseAlone) {
  // Equal in the word sort of code page 1252, though not byte for byte after folding.
  for (auto [first, second] : {std::pair{"Val",
                                         "V\xAD"
                                         "al"},
                               {"ForceRemove", "FORCE\xADREMOVE"},
                               {"\xAD", ""},
                               {"ss", "\xDF"},
                               {"STRASSE",
                                "stra\xDF"
                                "e"},
                               {"ae", "\xE6"},
                               {"AE", "\xC6"},
                               {"oe", "\x9C"},
                               {"OE", "\x8C"},
                               {"th", "\xFE"},
                               {"TH", "\xDE"},
                               {"^", "\x88"},
                               {"\x8A", "\x9A"},
                               {"\x8E", "\x9E"},
                               {"\x9F", "\xFF"},
                               {"\xDD", "\xFD"}}) {
    SCOPED_TRACE(std::string(first) + " / " + second);
    EXPECT_EQ(0, lstrcmpiA(first, second));
  }
  // Unequal: accents, other punctuation and control characters count.
  for (auto [first, second] : {std::pair{"e", "\xE9"},
                               {"co-op", "coop"},
                               {"it's", "its"},
                               {"a b", "ab"},
                               {"a\x01"
                                "b",
                                "ab"},
                               {"a\x7F"
                                "b",
                                "ab"},
                               {"\xD7", "\xF7"},
                               {"s", "\xDF"},
                               {"\xE6", "\x9C"}}) {
    SCOPED_TRACE(std::string(first) + " / " + second);
    EXPECT_NE(0, lstrcmpiA(first, second));
  }
}

TEST(TextApiTest, CompareStringOrdinalComparesUnitsWithoutLinguisticWeights) {
  const WCHAR upper[] = {'C', ':', '\\', 0xC9, 'T', 0xC9, 0};  // "C:\ÉTÉ"
  const WCHAR lower[] = {'c', ':', '\\', 0xE9, 't', 0xE9, 0};  // "c:\été"
  EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(upper, -1, lower, -1, TRUE));
  EXPECT_EQ(CSTR_LESS_THAN, CompareStringOrdinal(upper, -1, lower, -1, FALSE));
  const WCHAR sharpS[] = {'s', 't', 'r', 'a', 0xDF, 'e', 0};  // "straße"
  EXPECT_EQ(CSTR_GREATER_THAN, CompareStringOrdinal(sharpS, -1, KSTV_W("STRASSE"), -1, TRUE))
      << "no linguistic weights: not \"ss\"";
  EXPECT_EQ(CSTR_EQUAL, CompareStringOrdinal(KSTV_W("abc"), 2, KSTV_W("ABD"), 2, TRUE));
  EXPECT_EQ(CSTR_LESS_THAN, CompareStringOrdinal(KSTV_W("ab"), -1, KSTV_W("abc"), -1, FALSE));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0, CompareStringOrdinal(nullptr, -1, KSTV_W("a"), -1, TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

}  // namespace
}  // namespace kstv::test
