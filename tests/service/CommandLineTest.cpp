// The command-line scan: which switch decides the road, and which never does.
#include <gtest/gtest.h>

#include "service/CommandLine.h"

namespace kstv::test {
namespace {

TEST(FindSwitchTest, GivesTheCharacterBehindTheFirstDelimiter) {
  const char text[] = "prog /a -b";
  EXPECT_EQ(text + 6, FindSwitch(text, "-/"));
  EXPECT_EQ(text + 9, FindSwitch(text + 6, "-/"));
}

TEST(FindSwitchTest, GivesNullForNoDelimiterAnEmptyTextOrNull) {
  EXPECT_EQ(nullptr, FindSwitch("program", "-/"));
  EXPECT_EQ(nullptr, FindSwitch("", "-/"));
  EXPECT_EQ(nullptr, FindSwitch(nullptr, "-/"));
}

TEST(FindSwitchTest, ADelimiterAtTheEndGivesTheEmptyRest) {
  const char text[] = "prog /";
  LPCSTR found = FindSwitch(text, "-/");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ('\0', *found);
}

TEST(FindCommandWordTest, EachWordAfterASlashOrHyphenInAnyCase) {
  EXPECT_EQ(CommandWord::RegServer, FindCommandWord("\"C:\\x\\KstvCardReader.exe\" /RegServer"));
  EXPECT_EQ(CommandWord::RegServer, FindCommandWord("prog -regserver"));
  EXPECT_EQ(CommandWord::UnregServer, FindCommandWord("prog /UNREGSERVER"));
  EXPECT_EQ(CommandWord::Service, FindCommandWord("prog -Service"));
  EXPECT_EQ(CommandWord::Status, FindCommandWord("prog /status"));
}

TEST(FindCommandWordTest, NoWordWithoutASwitch) {
  EXPECT_EQ(CommandWord::None, FindCommandWord("\"C:\\Program Files\\KstvCardReader.exe\""));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog RegServer"));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog /"));
}

TEST(FindCommandWordTest, TheWordMustBeTheWholeRestOfTheLine) {
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog /RegServer "));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog /RegServerX"));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog / RegServer"));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog /Status x"));
}

// "KstvCardReader -Status > status.txt" reaches the program as "... -Status ".
TEST(FindCommandWordTest, StatusMayBeFollowedByTheBlanksARedirectionLeaves) {
  EXPECT_EQ(CommandWord::Status, FindCommandWord("prog -Status "));
  EXPECT_EQ(CommandWord::Status, FindCommandWord("prog /status \t "));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog -Statu "));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog -Service "));
}

TEST(FindCommandWordTest, AFurtherSwitchDecidesWhenTheFirstDoesNotMatch) {
  EXPECT_EQ(CommandWord::Service, FindCommandWord("prog /RegServer /Service"));
  EXPECT_EQ(CommandWord::UnregServer, FindCommandWord("prog -x -UnregServer"));
  EXPECT_EQ(CommandWord::None, FindCommandWord("prog /Service /other"));
}

TEST(FindCommandWordTest, DelimitersInsideTheProgramPathStartCandidatesLikeAnyOther) {
  EXPECT_EQ(CommandWord::RegServer, FindCommandWord("C:\\my-tools\\prog.exe -RegServer"));
  EXPECT_EQ(CommandWord::None, FindCommandWord("C:/tools/KstvCardReader.exe"));
  // A path that ends in a word behind a hyphen is that word's road.
  EXPECT_EQ(CommandWord::Service, FindCommandWord("C:\\tools\\card-Service"));
}

}  // namespace
}  // namespace kstv::test
