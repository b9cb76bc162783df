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
  EXPECT_EQ("C:\\Cards\\SD\\kicsd.ico,0", badgeIcon('E'));  // the file's first icon
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, EachKindOfCardHasItsOwnIconAndLabel) {
  struct Case {
    CardType type;
    const char* icon;
    const char* label;
  } cases[] = {{CardType::MMC, "C:\\Cards\\SD\\kicmmc.ico,0", "MMC"},
               {CardType::XD, "C:\\Cards\\XD\\kicxd.ico,0", "xD Picture"},
               {CardType::MS, "C:\\Cards\\MS\\kicms.ico,0", "Memory Stick"}};
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
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, RemovingALetterWithoutADriveKeySaysSoAndTakesThatLetterOut) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("G:"), CardType::SD);
  removeTree(HKEY_CLASSES_ROOT, badgeKey('G').c_str());  // gone behind the program's back
  std::string printed = printedBy([] { RemoveDriveBadge(KSTV_W("G:")); });
  EXPECT_EQ("No key found\n", printed);
  EXPECT_TRUE(hasDriveKey('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, EveryBadgedLetterIsRecordedAndRemovingOneLeavesTheOthers) {
  PublishDriveBadge(KSTV_W("F:"), CardType::MS);
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("H:"), CardType::XD);
  EXPECT_EQ("EFH", BadgedDriveLetters());
  RemoveDriveBadge(KSTV_W("F:"));
  EXPECT_FALSE(hasDriveKey('F'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("xD Picture", badgeLabel('H'));
  EXPECT_EQ("EH", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, BadgingALetterAgainRecordsItOnce) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("E:"), CardType::MS);
  EXPECT_EQ("Memory Stick", badgeLabel('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
  RemoveDriveBadge(KSTV_W("E:"));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, ALetterNamesOneDriveKeyWhicheverCaseTheDriveIdGivesIt) {
  PublishDriveBadge(KSTV_W("e:"), CardType::SD);
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
  RemoveDriveBadgeIfRecorded(KSTV_W("E:"));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, OnlyARecordedLetterIsRemovedWhenRecorded) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  UniqueKey foreign;  // a drive key that this run did not write
  ASSERT_EQ(ERROR_SUCCESS,
            createKey(HKEY_CLASSES_ROOT, badgeKey('G').c_str(), KEY_ALL_ACCESS, foreign));
  foreign.reset();
  std::string printed = printedBy([] {
    RemoveDriveBadgeIfRecorded(KSTV_W("G:"));
    RemoveDriveBadgeIfRecorded(KSTV_W(""));
    RemoveDriveBadgeIfRecorded(KSTV_W("\\"));
  });
  EXPECT_EQ("", printed);
  EXPECT_TRUE(hasDriveKey('G'));
  EXPECT_TRUE(hasDriveKey('E'));
  RemoveDriveBadgeIfRecorded(KSTV_W("E:"));
  EXPECT_FALSE(hasDriveKey('E'));
}

TEST_F(DriveBadgesTest, RemovingTheRecordedBadgesTakesEachOfThemAndNothingElse) {
  PublishDriveBadge(KSTV_W("A:"), CardType::XD);  // the first letter and the last
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("G:"), CardType::MMC);
  PublishDriveBadge(KSTV_W("K:"), CardType::MS);
  PublishDriveBadge(KSTV_W("Z:"), CardType::SD);
  UniqueKey foreign;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, badgeKey('H', "DefaultLabel").c_str(),
                                     KEY_ALL_ACCESS, foreign));
  foreign.reset();
  EXPECT_EQ("", printedBy([] { RemoveRecordedDriveBadges(); }));
  for (char gone : {'A', 'E', 'G', 'K', 'Z'}) EXPECT_FALSE(hasDriveKey(gone)) << gone;
  EXPECT_TRUE(hasDriveKey('H'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, AClosedRecordHasTakenEveryBadgeAndTakesNoNewOneUntilOpened) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("F:"), CardType::XD);
  CloseDriveBadgeRecord();
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_FALSE(hasDriveKey('F'));
  PublishDriveBadge(KSTV_W("G:"), CardType::MS);  // an arrival delivered after the run's end
  EXPECT_FALSE(hasDriveKey('G'));
  EXPECT_EQ("", BadgedDriveLetters());

  OpenDriveBadgeRecord();
  PublishDriveBadge(KSTV_W("G:"), CardType::MS);
  EXPECT_EQ("Memory Stick", badgeLabel('G'));
  EXPECT_EQ("G", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, LeftoversNamingOneOfTheFourIconsGoAndNoOtherKey) {
  plantBadge('E', "C:\\Cards\\SD\\kicsd.ico");
  plantBadge('F', "c:\\CARDS\\ms\\KICMS.ICO");  // the platform compares names ignoring case
  plantBadge('G', "C:\\Cards\\SD\\kicmmc.ico");
  plantBadge('m', "C:\\Cards\\XD\\kicxd.ico");
  plantBadge('H', "D:\\Cards\\SD\\kicsd.ico");                 // an installation in another folder
  plantBadge('I', "C:\\Cards\\SD\\kicsd.ico,0");               // as this program writes it now
  plantBadge('J', "C:\\Cards\\SD\\kicsd.ico", REG_EXPAND_SZ);  // not as this program writes
  plantBadge('K', "C:\\Other\\kicms.ico");
  plantBadge('N', "C:\\Cards\\SD\\kicsd.ico,1");  // another icon of the file: not this program's
  plantBadge('O', "C:\\Cards\\SD\\kicsd.ico,0,0");
  UniqueKey labelOnly;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, badgeKey('L', "DefaultLabel").c_str(),
                                     KEY_ALL_ACCESS, labelOnly));
  labelOnly.reset();
  UniqueKey notADrive;  // a key that names no drive, whatever its icon
  ASSERT_EQ(ERROR_SUCCESS,
            createKey(HKEY_CLASSES_ROOT, (std::string(kDrivesKey) + "\\HI\\DefaultIcon").c_str(),
                      KEY_ALL_ACCESS, notADrive));
  setString(notADrive.get(), nullptr, "C:\\Cards\\SD\\kicsd.ico");
  notADrive.reset();

  EXPECT_EQ("", printedBy([] { RemoveLeftoverDriveBadges(); }));
  for (char gone : {'E', 'F', 'G', 'I', 'M'}) EXPECT_FALSE(hasDriveKey(gone)) << gone;
  for (char kept : {'H', 'J', 'K', 'L', 'N', 'O'}) EXPECT_TRUE(hasDriveKey(kept)) << kept;
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, (std::string(kDrivesKey) + "\\HI").c_str()));
  EXPECT_EQ("", BadgedDriveLetters());
}

// The shell reads an icon location up to its last comma: a comma in the program's folder
// is part of the file's name only when the index follows it.
TEST_F(DriveBadgesTest, AFolderWithACommaStillNamesItsIconAndItsLeftoversAreKnown) {
  BuildBadgeIconPaths("C:\\Cards, Readers\\");
  PublishDriveBadge(KSTV_W("E:"), CardType::XD);
  EXPECT_EQ("C:\\Cards, Readers\\XD\\kicxd.ico,0", badgeIcon('E'));
  EXPECT_TRUE(IsOwnBadgeIcon("C:\\Cards, Readers\\XD\\kicxd.ico,0"));
  EXPECT_TRUE(IsOwnBadgeIcon("C:\\Cards, Readers\\XD\\kicxd.ico"));  // an older version's
  EXPECT_FALSE(IsOwnBadgeIcon("C:\\Cards, Readers\\XD\\kicxd.ico,1"));
  EXPECT_FALSE(IsOwnBadgeIcon("C:\\Cards"));
  EXPECT_FALSE(IsOwnBadgeIcon(""));
}

TEST_F(DriveBadgesTest, LeftoversAreComparedAsTheFileSystemComparesNames) {
  // Letter by letter without regard to case ("É" is "é"), but without linguistic weights:
  // "C:\Strasse" is another folder than "C:\Straße", whose installation's badge stays.
  BuildBadgeIconPaths(
      "C:\\Stra\xDF"
      "e \xC9t\xE9\\");
  plantBadge('E',
             "C:\\STRA\xDF"
             "E \xC9T\xC9\\SD\\KICSD.ICO");
  plantBadge('F', "C:\\Strasse \xC9t\xE9\\SD\\kicsd.ico");
  RemoveLeftoverDriveBadges();
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_TRUE(hasDriveKey('F'));
}

TEST_F(DriveBadgesTest, AKindWithoutIconMatchesNoLeftoverAndNoDrivesKeyIsNoFault) {
  RemoveLeftoverDriveBadges();  // nothing below Drives at all
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
  const std::string folder = "C:\\" + std::string(244, 'f') + "\\";
  BuildBadgeIconPaths(folder.c_str());  // SD has no icon path now
  plantBadge('E', "");
  RemoveLeftoverDriveBadges();
  EXPECT_TRUE(hasDriveKey('E'));
}

TEST_F(DriveBadgesTest, TheSweepLeavesTheBadgesThisRunRecorded) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  RemoveLeftoverDriveBadges();
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, AnIconPathTooLongForItsBufferLeavesThatKindWithoutIcon) {
  // A folder of 248 characters: with "SD\kicsd.ico" the path needs 261 bytes.
  const std::string folder = "C:\\" + std::string(244, 'f') + "\\";
  BuildBadgeIconPaths(folder.c_str());
  EXPECT_STREQ("", BadgeIconPath(CardType::SD));

  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EXPECT_FALSE(badgeIcon('E').has_value());
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("E", BadgedDriveLetters());  // so that the label goes with the card
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
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DriveBadgesTest, NoCardMeansNoBadge) {
  PublishDriveBadge(KSTV_W("E:"), CardType::None);
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("", BadgedDriveLetters());
}

}  // namespace
}  // namespace kstv::test
