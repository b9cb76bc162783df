// The start-up scan and the sinks on the emulated machine's drives.
#include <gtest/gtest.h>

#include "monitor/CardTypeProbe.h"
#include "monitor/DiskEventSinks.h"
#include "monitor/DriveBadges.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/FakeWmi.h"
#include "tests/support/RecordedCalls.h"

namespace kstv::test {
namespace {

class ScanDrivesTest : public ::testing::Test {
 protected:
  ScanDrivesTest() { BuildBadgeIconPaths("C:\\Cards\\"); }
  ~ScanDrivesTest() override { host::clearFailures(); }

  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
};

TEST_F(ScanDrivesTest, EveryRemovableCardDriveIsBadgedInListingOrder) {
  host::addVolume(plainVolume('D'));
  host::addVolume(cardVolume('G', "xD-Picture"));
  host::addVolume(cardVolume('F', "MSPro"));
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('H', "MMCplus", DRIVE_FIXED));
  RecordingCalls recording;
  ScanDrivesAtStartup();
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("Memory Stick", badgeLabel('F'));
  EXPECT_EQ("xD Picture", badgeLabel('G'));
  EXPECT_FALSE(hasDriveKey('D'));
  EXPECT_FALSE(hasDriveKey('H'));
  EXPECT_EQ("EFG", BadgedDriveLetters());
  // One probe per removable drive, in the order the platform lists them.
  std::vector<std::string> probed;
  for (const auto& arguments : argumentsOf("CreateFileA")) probed.push_back(arguments[0]);
  EXPECT_EQ((std::vector<std::string>{"\\\\.\\D:", "\\\\.\\E:", "\\\\.\\F:", "\\\\.\\G:"}), probed);
}

TEST_F(ScanDrivesTest, ACardInADriveReportedAsFixedIsNotBadgedByTheScan) {
  host::addVolume(cardVolume('E', "SDHC Reader", DRIVE_FIXED));
  host::resetCallCounts();
  ScanDrivesAtStartup();
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
  EXPECT_EQ(0u, host::callCount("CreateFileA"));  // never probed
}

TEST_F(ScanDrivesTest, AFailedDriveListingEndsTheScan) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::failCall("GetLogicalDriveStringsW", ERROR_NOT_ENOUGH_MEMORY, 1);
  ScanDrivesAtStartup();
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
}

TEST_F(ScanDrivesTest, AnArrivalBatchBadgesTheCardDriveAndLeavesTheOther) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(plainVolume('F'));
  auto* sink = new DiskArrivalSink;
  sink->AddRef();
  EventBatch batch;
  batch.addDisk(KSTV_W("E:"));
  batch.addDisk(KSTV_W("F:"));
  host::resetCallCounts();
  EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(batch.count(), batch.objects()));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_FALSE(hasDriveKey('F'));
  EXPECT_EQ(2u, host::callCount("CreateFileA"));  // F was probed too
  sink->Release();
}

TEST_F(ScanDrivesTest, TheArrivalSinkDoesNotLookAtTheDriveType) {
  host::addVolume(cardVolume('E', "xD-Picture", DRIVE_FIXED));
  auto* sink = new DiskArrivalSink;
  sink->AddRef();
  EventBatch batch;
  batch.addDisk(KSTV_W("E:"));
  sink->Indicate(batch.count(), batch.objects());
  EXPECT_EQ("xD Picture", badgeLabel('E'));
  sink->Release();
}

TEST_F(ScanDrivesTest, EachBadgeStringIsWrittenWithItsTerminator) {
  RecordingCalls recording;
  PublishDriveBadge(KSTV_W("E:"), CardType::MMC);
  // "C:\Cards\SD\kicmmc.ico,0" and "MMC", each counted with its NUL.
  EXPECT_EQ((ArgumentLists{{"null", "0x1", "0x19"}, {"null", "0x1", "0x4"}}),
            argumentsOf("RegSetValueExA"));
}

TEST_F(ScanDrivesTest, UnexpectedErrorWhenTheDrivesKeyCannotBeOpened) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  host::failCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1, 1);  // the parent's open
  testing::internal::CaptureStdout();
  RemoveDriveBadge(KSTV_W("E:"));
  EXPECT_EQ("Unexpected error\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(hasDriveKey('E'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(ScanDrivesTest, AStickArrivingInALetterThatStillCarriesABadgeTakesItWithOneProbe) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  ScanDrivesAtStartup();
  // E's card went between two polls of the deletion query; a stick now holds E.
  host::addVolume(plainVolume('E'));
  auto* sink = new DiskArrivalSink;
  sink->AddRef();
  EventBatch batch;
  batch.addDisk(KSTV_W("E:"));
  host::resetCallCounts();
  testing::internal::CaptureStdout();
  sink->Indicate(batch.count(), batch.objects());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("Memory Stick", badgeLabel('F'));
  EXPECT_EQ("F", BadgedDriveLetters());
  EXPECT_EQ(1u, host::callCount("CreateFileA"));
  sink->Release();
}

TEST_F(ScanDrivesTest, AnArrivalWithoutACardInALetterNotRecordedTouchesNoKey) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  ScanDrivesAtStartup();
  host::addVolume(plainVolume('F'));
  auto* sink = new DiskArrivalSink;
  sink->AddRef();
  EventBatch batch;
  batch.addDisk(KSTV_W("F:"));
  host::resetCallCounts();
  sink->Indicate(batch.count(), batch.objects());
  EXPECT_EQ(0u, host::callCount("RegOpenKeyExA"));
  EXPECT_EQ(0u, host::callCount("RegCreateKeyExA"));
  EXPECT_EQ("E", BadgedDriveLetters());
  sink->Release();
}

// An event reaches the sinks through an apartment that checks no access, so its DeviceID
// may be anything. Only a letter and a colon name a drive: nothing else is opened (a
// pipe, a share, a disk) and no badge changes, not even one whose letter it begins with.
TEST_F(ScanDrivesTest, AnIdThatIsNotALetterAndAColonIsOpenedByNoHandlerNorTheProbe) {
  // Badged drives that now hold no card: an id taken for its first letter would cost
  // them their badges.
  for (char letter : {'E', 'P', 'U'}) {
    host::addVolume(plainVolume(letter));
    const WCHAR driveId[] = {static_cast<WCHAR>(letter), ':', 0};
    PublishDriveBadge(driveId, CardType::SD);
  }
  const WideString ids[] = {KSTV_W("pipe\\x"),
                            KSTV_W("UNC\\h\\s"),
                            KSTV_W("PhysicalDrive0"),
                            KSTV_W("EE:"),
                            KSTV_W("1:"),
                            KSTV_W("E:x"),
                            KSTV_W("E:\\x"),
                            KSTV_W("E"),
                            KSTV_W(":"),
                            WideString(KSTV_W("E:\0x"), 4)};
  auto* arrival = new DiskArrivalSink;
  auto* removal = new DiskRemovalSink;
  arrival->AddRef();
  removal->AddRef();
  RecordingCalls recording;
  host::resetCallCounts();
  testing::internal::CaptureStdout();  // "Disk removed..." is not looked at
  for (const WideString& id : ids) {
    SCOPED_TRACE(NarrowText(id.c_str()) + (id.size() > 2 && !id[2] ? " with a NUL" : ""));
    EventBatch batch;
    batch.addDisk(id);
    arrival->Indicate(batch.count(), batch.objects());
    removal->Indicate(batch.count(), batch.objects());
    if (id.size() != WideLength(id.c_str())) continue;  // as a C string it is "E:"
    RefreshDriveBadge(id.c_str());
    EXPECT_EQ(CardType::None, ProbeCardType(id.c_str()));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, host::callCount("CreateFileA"));
  EXPECT_EQ(ArgumentLists{}, argumentsOf("CreateFileA"));
  EXPECT_EQ(0u, host::callCount("RegOpenKeyExA"));
  EXPECT_EQ(0u, host::callCount("RegCreateKeyExA"));
  EXPECT_EQ("EPU", BadgedDriveLetters());
  for (char letter : {'E', 'P', 'U'}) EXPECT_EQ("Secure Digital", badgeLabel(letter)) << letter;
  arrival->Release();
  removal->Release();
}

}  // namespace
}  // namespace kstv::test
