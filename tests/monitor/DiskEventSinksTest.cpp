// The disk event sinks driven with event objects written in the test; runs on the host
// layer and under Wine.
#include <gtest/gtest.h>

#include <string>

#include "monitor/DiskEventSinks.h"
#include "tests/support/Badges.h"
#include "tests/support/FakeWmi.h"

namespace kstv::test {
namespace {

class DiskEventSinksTest : public ::testing::Test {
 protected:
  DiskEventSinksTest() {
    BuildBadgeIconPaths("C:\\Cards\\");
    arrival->AddRef();
    removal->AddRef();
  }
  ~DiskEventSinksTest() override {
    if (arrival) arrival->Release();
    if (removal) removal->Release();
    EXPECT_EQ(0, FakeClassObject::live()) << "an event object was not released";
  }

  // Calls the sink with the batch and gives what it printed.
  static std::string indicate(DiskEventSink* sink, EventBatch& batch) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(WBEM_S_NO_ERROR, sink->Indicate(batch.count(), batch.objects()));
    return testing::internal::GetCapturedStdout();
  }

  static std::string setStatus(LONG flags, HRESULT status) {
    DiskArrivalSink* sink = new DiskArrivalSink;
    sink->AddRef();
    testing::internal::CaptureStdout();
    EXPECT_EQ(WBEM_S_NO_ERROR, sink->SetStatus(flags, status, nullptr, nullptr));
    std::string printed = testing::internal::GetCapturedStdout();
    sink->Release();
    return printed;
  }

  CleanBadges clean;
  DiskArrivalSink* arrival = new DiskArrivalSink;
  DiskRemovalSink* removal = new DiskRemovalSink;
};

TEST_F(DiskEventSinksTest, ARemovalBatchWhileNothingIsBadgedPrintsNothing) {
  EventBatch batch;
  batch.addDisk(KSTV_W("E:"));
  EXPECT_EQ("", indicate(removal, batch));
}

TEST_F(DiskEventSinksTest, RemovingAnotherDriveOnlySaysADiskWasRemoved) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EventBatch batch;
  batch.addDisk(KSTV_W("F:"));
  EXPECT_EQ("Disk removed...\n", indicate(removal, batch));
  EXPECT_TRUE(hasDriveKey('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, ARemovedDriveLosesItsBadgeWhicheverOthersAreRecorded) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("F:"), CardType::MS);
  PublishDriveBadge(KSTV_W("G:"), CardType::XD);
  EventBatch batch;
  batch.addDisk(KSTV_W("F:"));
  EXPECT_EQ("Disk removed...\n", indicate(removal, batch));
  EXPECT_FALSE(hasDriveKey('F'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("xD Picture", badgeLabel('G'));
  EXPECT_EQ("EG", BadgedDriveLetters());

  EventBatch both;
  both.addDisk(KSTV_W("G:"));
  both.addDisk(KSTV_W("E:"));
  EXPECT_EQ("Disk removed...\nDisk removed...\n", indicate(removal, both));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_FALSE(hasDriveKey('G'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, RemovingABadgedDriveTwiceInABatchRemovesItOnceAndLeavesTheOthers) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("D:"), CardType::MS);
  EventBatch batch;
  batch.addDisk(KSTV_W("E:"));
  batch.addDisk(KSTV_W("E:"));
  // The second finds E no longer recorded: no "No key found".
  EXPECT_EQ("Disk removed...\nDisk removed...\n", indicate(removal, batch));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("Memory Stick", badgeLabel('D'));
  EXPECT_EQ("D", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, AnEventWithoutTargetInstanceIsReportedAndTheBatchGoesOn) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EventBatch batch;
  batch.add(new FakeClassObject);  // no TargetInstance
  batch.addDisk(KSTV_W("E:"));
  EXPECT_EQ("Disk removed...\nCannot get property\nDisk removed...\n", indicate(removal, batch));
  EXPECT_FALSE(hasDriveKey('E'));
}

TEST_F(DiskEventSinksTest, ATargetInstanceThatIsNoObjectIsSkippedSilently) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EventBatch batch;
  auto* event = new FakeClassObject;
  event->putNumber(KSTV_W("TargetInstance"), 5);
  batch.add(event);
  auto* empty = new FakeClassObject;
  empty->putNullObject(KSTV_W("TargetInstance"));
  batch.add(empty);
  EXPECT_EQ("Disk removed...\nDisk removed...\n", indicate(removal, batch));
  EXPECT_TRUE(hasDriveKey('E'));
}

TEST_F(DiskEventSinksTest, ATargetInstanceHeldAsADispatchPointerIsReadAsTheDisk) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  auto* disk = new FakeClassObject;
  disk->putString(KSTV_W("DeviceID"), KSTV_W("E:"));
  auto* event = new FakeClassObject;
  event->putDispatch(KSTV_W("TargetInstance"), disk);
  disk->Release();
  EventBatch batch;
  batch.add(event);
  EXPECT_EQ("Disk removed...\n", indicate(removal, batch));
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, ADeviceIdThatIsMissingOrNoStringMatchesNoDrive) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  auto eventWith = [](FakeClassObject* disk) {
    auto* event = new FakeClassObject;
    event->putObject(KSTV_W("TargetInstance"), disk);
    disk->Release();
    return event;
  };
  EventBatch batch;
  batch.add(eventWith(new FakeClassObject));  // no DeviceID: the empty drive id
  auto* numbered = new FakeClassObject;
  numbered->putNumber(KSTV_W("DeviceID"), 69);  // converts to "69", not to 'E'
  batch.add(eventWith(numbered));
  auto* inconvertible = new FakeClassObject;  // a DeviceID that is no text at all
  auto* object = new FakeClassObject;
  inconvertible->putObject(KSTV_W("DeviceID"), object);
  object->Release();
  batch.add(eventWith(inconvertible));
  EXPECT_EQ("Disk removed...\nDisk removed...\nDisk removed...\n", indicate(removal, batch));
  EXPECT_TRUE(hasDriveKey('E'));
  EXPECT_EQ("E", BadgedDriveLetters());

  EventBatch arrivals;
  arrivals.add(eventWith(new FakeClassObject));
  EXPECT_EQ("", indicate(arrival, arrivals));
  EXPECT_EQ("E", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, AnEmptyDeviceIdMatchesNothing) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EventBatch batch;
  batch.addDisk(KSTV_W(""));
  EXPECT_EQ("Disk removed...\n", indicate(removal, batch));
  EXPECT_EQ("E", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, AnArrivalOfADriveWithoutACardChangesNothing) {
  EventBatch batch;
  batch.addDisk(KSTV_W("Q:"));  // no such drive: the probe finds no card
  EXPECT_EQ("", indicate(arrival, batch));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, ARecordedLetterThatArrivesHoldingNoCardLosesItsStaleBadge) {
  // The card of Q: went, unseen by the deletion query; Q: turns up again without a card.
  PublishDriveBadge(KSTV_W("Q:"), CardType::SD);
  PublishDriveBadge(KSTV_W("R:"), CardType::MS);
  EventBatch batch;
  batch.addDisk(KSTV_W("Q:"));  // no such drive here: the probe finds no card
  EXPECT_EQ("", indicate(arrival, batch));
  EXPECT_FALSE(hasDriveKey('Q'));
  EXPECT_EQ("Memory Stick", badgeLabel('R'));
  EXPECT_EQ("R", BadgedDriveLetters());
}

TEST_F(DiskEventSinksTest, ALetterThatArrivesHoldingNoCardKeepsAKeyThisRunDidNotWrite) {
  plantBadge('Q', "C:\\Cards\\SD\\kicsd.ico");
  EventBatch batch;
  batch.addDisk(KSTV_W("Q:"));
  EXPECT_EQ("", indicate(arrival, batch));
  EXPECT_TRUE(hasDriveKey('Q'));
}

TEST_F(DiskEventSinksTest, SetStatusReportsCompletionAndProgress) {
  EXPECT_EQ("Call complete. hResult = 0x80041032\n",
            setStatus(WBEM_STATUS_COMPLETE, WBEM_E_CALL_CANCELLED));
  EXPECT_EQ("Call complete. hResult = 0x0\n", setStatus(WBEM_STATUS_COMPLETE, S_OK));
  EXPECT_EQ("Call complete. hResult = 0x8004100C\n",
            setStatus(WBEM_STATUS_COMPLETE, WBEM_E_NOT_SUPPORTED));
  EXPECT_EQ("Call in progress.\n", setStatus(WBEM_STATUS_PROGRESS, S_OK));
  EXPECT_EQ("", setStatus(1, S_OK));
}

TEST_F(DiskEventSinksTest, QueryInterfaceServesTheSinkAndIUnknownOnly) {
  void* object = reinterpret_cast<void*>(static_cast<ULONG_PTR>(0xdeadbeef));
  EXPECT_EQ(E_NOINTERFACE, removal->QueryInterface(IID_IWbemClassObject, &object));
  EXPECT_EQ(nullptr, object);

  ASSERT_EQ(S_OK, removal->QueryInterface(IID_IWbemObjectSink, &object));
  EXPECT_EQ(static_cast<IWbemObjectSink*>(removal), object);
  EXPECT_EQ(3u, removal->AddRef());  // the test's, the query's, this one
  removal->Release();
  static_cast<IWbemObjectSink*>(object)->Release();

  ASSERT_EQ(S_OK, arrival->QueryInterface(IID_IUnknown, &object));
  EXPECT_EQ(1u, static_cast<IUnknown*>(object)->Release());
}

TEST_F(DiskEventSinksTest, TheLastReleaseOfTheRemovalSinkRemovesEveryRecordedBadge) {
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  PublishDriveBadge(KSTV_W("F:"), CardType::MS);
  EXPECT_EQ(0u, arrival->Release());
  arrival = nullptr;
  EXPECT_TRUE(hasDriveKey('E'));

  EXPECT_EQ(0u, removal->Release());
  removal = nullptr;
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_FALSE(hasDriveKey('F'));
  EXPECT_EQ("", BadgedDriveLetters());
}

// A delivery under way may hold the sink past its run's end: released then, after a new
// run opened the record in the same process, it takes none of the new run's badges.
TEST_F(DiskEventSinksTest, ARemovalSinkReleasedAfterItsRunLeavesALaterRunsBadges) {
  CloseDriveBadgeRecord();
  OpenDriveBadgeRecord();
  PublishDriveBadge(KSTV_W("E:"), CardType::SD);
  EXPECT_EQ(0u, removal->Release());
  removal = nullptr;
  EXPECT_EQ("Secure Digital", badgeLabel('E'));
  EXPECT_EQ("E", BadgedDriveLetters());
}

}  // namespace
}  // namespace kstv::test
