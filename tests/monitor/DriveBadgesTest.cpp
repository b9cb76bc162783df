// Drive badges against the platform's registry; runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include <string>

#include "monitor/DriveBadges.h"
#include "tests/support/Badges.h"

namespace kstv::test {
namespace {

class DriveBadgesTest : public ::testing::Test {
 protected:
  DriveBadgesTest() { BuildBadgeIconPaths("C:\\Cards\\"); }

  // Runs `action` and gives what it wrote to standard output.
  template <typename Action>
  static std::string printedBy(Action action) {
    testing::internal::CaptureStdout();
    action();
    return testing::internal::GetCapturedStdout();
  }

  CleanBadges clean;
};

TEST_F(DriveBadgesTest, IconPathsAreBuiltFromTheProgramFolder) {
  EXPECT_STREQ("C:\\Cards\\SD\\kicsd.ico", BadgeIconPath(CardType::SD));
  EXPECT_STREQ("C:\\Cards\\SD\\kicmmc.ico", BadgeIconPath(CardType::MMC));  // the SD folder
  EXPECT_STREQ("C:\\Cards\\XD\\kicxd.ico", BadgeIconPath(CardType::XD));
  EXPECT_STREQ("C:\\Cards\\MS\\kicms.ico", BadgeIconPath(CardType::MS));
}

TEST_F(DriveBadgesTest, AnSdCardGetsItsIconAndLabelAndItsLetterIsRecorded) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EXPECT_EQ("C:\\Cards\\SD\\kicsd.ico", badgeIcon('E'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ(KSTV_W('E'), BadgedDriveLetter());
}

TEST_F(DriveBadgesTest, EachKindOfCardHasItsOwnIconAndLabel) {
  struct Case {
    CardType type;
    const char* icon;
    const char* label;
  } cases[] = {{CardType::MMC, "C:\\Cards\\SD\\kicmmc.ico", "MMC"},
               {CardType::XD, "C:\\Cards\\XD\\kicxd.ico", "xD Picture"},
               {CardType::MS, "C:\\Cards\\MS\\kicms.ico", "Memory Stick"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    PublishDriveBadge(KSTV_W("K:"), c.type);
    EXPECT_EQ(c.icon, badgeIcon('K'));
    EXPECT_EQ(c.label, badgeLabel('K'));
  }
}

TEST_F(DriveBadgesTest, RemovingDeletesEverythingBelowTheDriveKeyAndClearsTheRecord) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  UniqueKey foreign;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, badgeKey('E', "Other\\Deeper").c_str(),
                                     KEY_ALL_ACCESS, foreign));
  foreign.reset();
  std::string printed = printedBy([] { RemoveDriveBadge(KSTV_W("E:")); });
  EXPECT_EQ("", printed);
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
  EXPECT_EQ(0, BadgedDriveLetter());
}

TEST_F(DriveBadgesTest, RemovingALetterWithoutADriveKeySaysSoAndClearsTheRecord) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  std::string printed = printedBy([] { RemoveDriveBadge(KSTV_W("G:")); });
  EXPECT_EQ("No key found\n", printed);
  EXPECT_TRUE(hasDriveKey('E'));
  EXPECT_EQ(0, BadgedDriveLetter());
}

TEST_F(DriveBadgesTest, ASecondBadgeReplacesTheRecordAndTheFirstStays) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("F:"), CardType::MS);
  EXPECT_EQ(KSTV_W('F'), BadgedDriveLetter());
  RemoveDriveBadge(KSTV_W("F:"));
  EXPECT_FALSE(hasDriveKey('F'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
}

TEST_F(DriveBadgesTest, RemovingOnlyWhenRecordedComparesTheLetterExactly) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  RemoveDriveBadgeIfRecorded(KSTV_W("e:"));  // another code unit: no match
  EXPECT_TRUE(hasDriveKey('E'));
  RemoveDriveBadgeIfRecorded(KSTV_W("E:"));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ(0, BadgedDriveLetter());
}

TEST_F(DriveBadgesTest, AnIconPathTooLongForItsBufferLeavesThatKindWithoutIcon) {
  // A folder of 248 characters: with "SD\kicsd.ico" the path needs 261 bytes.
  const std::string folder = "C:\\" + std::string(244, 'f') + "\\";
  BuildBadgeIconPaths(folder.c_str());
  EXPECT_STREQ("", BadgeIconPath(CardType::SD));

  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EXPECT_FALSE(badgeIcon('E').has_value());
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ(KSTV_W('E'), BadgedDriveLetter());  // so that the label goes with the card
  RemoveDriveBadge(KSTV_W("E:"));
  EXPECT_FALSE(hasDriveKey('E'));
}

TEST_F(DriveBadgesTest, AnIconPathOfExactly259CharactersStillFits) {
  const std::string folder = "C:\\" + std::string(243, 'f') + "\\";  // 247 + "SD\kicsd.ico"
  BuildBadgeIconPaths(folder.c_str());
  EXPECT_EQ(259u, std::string(BadgeIconPath(CardType::SD)).size());
}

TEST_F(DriveBadgesTest, ADriveIdThatIsNoLetterGetsNoBadge) {
  PublishDriveBadge(KSTV_W(""), CardType::SD);
  PublishDriveBadge(KSTV_W("\\:"), CardType::SD);
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
  EXPECT_EQ(0, BadgedDriveLetter());
}

TEST_F(DriveBadgesTest, NoCardMeansNoBadge) {
  PublishDriveBadge(KSTV_W("E:"), CardType::None);
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ(0, BadgedDriveLetter());
}

}  // namespace
}  // namespace kstv::test
