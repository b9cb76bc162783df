// A drive's events handled in the orders Windows may deliver them: the arrival and the
// removal queries call their sinks on threads of their own, with no order between them.
// Whatever the order, the drive ends up badged exactly when it holds a card.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <optional>
#include <string>

#include "monitor/DiskEventSinks.h"
#include "monitor/DriveBadges.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/FakeWmi.h"

namespace kstv::test {
namespace {

using std::chrono::milliseconds;

// Long enough for a handler that does not wait to be done.
constexpr milliseconds kHandled{300};

class DiskEventOrderTest : public ::testing::Test {
 protected:
  DiskEventOrderTest() {
    BuildBadgeIconPaths("C:\\Cards\\");
    arrival->AddRef();
    removal->AddRef();
    testing::internal::CaptureStdout();  // "Disk removed..." is not looked at
  }
  ~DiskEventOrderTest() override {
    host::clearFailures();
    arrival->Release();
    removal->Release();
    // Failures were written there too.
    const std::string printed = testing::internal::GetCapturedStdout();
    if (HasFailure()) std::fputs(printed.c_str(), stdout);
  }

  static void deliver(DiskEventSink* sink, const WCHAR* drive) {
    EventBatch batch;
    batch.addDisk(drive);
    sink->Indicate(batch.count(), batch.objects());
  }

  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
  DiskArrivalSink* arrival = new DiskArrivalSink;
  DiskRemovalSink* removal = new DiskRemovalSink;
};

// The card's arrival has read its descriptor (the probe closes the volume last) when the
// card is pulled, maybe for a USB stick, and those events are handled before the arrival
// has published anything.
TEST_F(DiskEventOrderTest, ACardPulledWhileItsArrivalIsProbedEndsWithoutBadge) {
  const std::optional<host::Volume> followers[] = {std::nullopt, plainVolume('E')};
  for (const auto& follower : followers) {
    SCOPED_TRACE(follower ? "then a USB stick" : "then nothing");
    host::addVolume(cardVolume('E', "SDHC Reader"));
    std::future<void> later;
    host::onCall("CloseHandle", [&] {
      host::removeVolume('E');
      if (follower) host::addVolume(*follower);
      later = std::async(std::launch::async, [&] {
        deliver(removal, KSTV_W("E:"));
        if (follower) deliver(arrival, KSTV_W("E:"));
      });
      later.wait_for(kHandled);
    });
    deliver(arrival, KSTV_W("E:"));
    ASSERT_TRUE(later.valid()) << "the probe closed no volume";
    later.wait();
    EXPECT_FALSE(hasDriveKey('E'));
    EXPECT_EQ("", BadgedDriveLetters());
    host::removeVolume('E');
  }
}

// A new card (or a card after a USB stick) has gone into E: and its arrival is handled;
// the removal of what was there before comes late and must not take the new badge.
TEST_F(DiskEventOrderTest, ALateRemovalOfWhatWasInTheDriveLeavesTheNewCardsBadge) {
  const struct {
    host::Volume earlier;
    host::Volume now;
    const char* label;
  } cases[] = {{cardVolume('E', "SDHC Reader"), cardVolume('E', "MSPro"), "Memory Stick"},
               {plainVolume('E'), cardVolume('E', "SDHC Reader"), "Secure Digital"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    host::addVolume(c.earlier);
    deliver(arrival, KSTV_W("E:"));
    host::addVolume(c.now);  // in its place
    deliver(arrival, KSTV_W("E:"));
    deliver(removal, KSTV_W("E:"));
    EXPECT_EQ(std::string(c.label), badgeLabel('E'));
    EXPECT_EQ("E", BadgedDriveLetters());
    RemoveRecordedDriveBadges();
  }
}

TEST_F(DiskEventOrderTest, ADriveIsHandledWhileAnotherDrivesProbeIsUnderWay) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  host::addVolume(cardVolume('F', "MSPro"));
  std::future<void> arrivalOfF;
  std::future_status other = std::future_status::deferred;
  host::onCall("DeviceIoControl", [&] {  // E's probe
    arrivalOfF = std::async(std::launch::async, [&] { deliver(arrival, KSTV_W("F:")); });
    other = arrivalOfF.wait_for(std::chrono::seconds(2));
  });
  deliver(arrival, KSTV_W("E:"));
  ASSERT_TRUE(arrivalOfF.valid());
  arrivalOfF.wait();
  EXPECT_EQ(std::future_status::ready, other) << "F: waited for E:'s probe";
  EXPECT_EQ("EF", BadgedDriveLetters());
}

// The run's end comes while an arrival is being probed, maybe of a failing card that takes
// long: the record closes without waiting for the probe, and the handler, once done,
// changes nothing, not even once the record is open again for the next run.
TEST_F(DiskEventOrderTest, TheRecordClosesWithoutWaitingForAProbeWhoseHandlerThenChangesNothing) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  std::future<void> closing;
  bool closedDuringTheProbe = false;
  host::onCall("DeviceIoControl", [&] {
    closing = std::async(std::launch::async, [] { CloseDriveBadgeRecord(); });
    closedDuringTheProbe = closing.wait_for(kHandled) == std::future_status::ready;
    if (closedDuringTheProbe) OpenDriveBadgeRecord();  // the next run's
  });
  deliver(arrival, KSTV_W("E:"));
  ASSERT_TRUE(closing.valid());
  closing.wait();
  EXPECT_TRUE(closedDuringTheProbe) << "the close waited for the probe";
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("", BadgedDriveLetters());
}

}  // namespace
}  // namespace kstv::test
