// Many cards coming and going while batches overlap on several threads: the badge state
// stays whole (ThreadSanitizer runs this in CI), and nothing that must go is left.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "monitor/DiskEventSinks.h"
#include "monitor/DiskEventSubscription.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/FakeWmi.h"

namespace kstv::test {
namespace {

TEST(MonitorStressTest, OverlappingArrivalsAndRemovalsLeaveNoRecordedBadgeBehind) {
  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  BuildBadgeIconPaths("C:\\Cards\\");
  const std::size_t comObjects = host::liveComObjectCount();
  const std::size_t handles = host::openKernelHandleCount();
  ASSERT_EQ(0, SubscribeDiskEvents());

  // Cards of every kind in drives E to L, inserted and removed through WMI...
  const char* products[] = {"SDHC", "MMCplus", "xD-Picture", "MSPro"};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &products] {
      for (int round = 0; round < 15; ++round) {
        char letter = static_cast<char>('E' + 2 * t + round % 2);
        host::addVolume(cardVolume(letter, products[(t + round) % 4]));
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * (t + 1)));
        host::removeVolume(letter);
      }
    });
  }
  // ...while more batches reach sinks of their own on other threads, as overlapping
  // deliveries do. Their "Disk removed..." lines are not looked at.
  testing::internal::CaptureStdout();
  std::atomic<bool> done{false};
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([t, &done] {
      auto* arrival = new DiskArrivalSink;
      auto* removal = new DiskRemovalSink;
      arrival->AddRef();
      removal->AddRef();
      while (!done) {
        EventBatch batch;
        batch.addDisk(t == 0 ? KSTV_W("E:") : KSTV_W("G:"));
        batch.addDisk(KSTV_W("I:"));
        arrival->Indicate(batch.count(), batch.objects());
        removal->Indicate(batch.count(), batch.objects());
      }
      arrival->Release();
      removal->Release();
    });
  }
  for (int t = 0; t < 4; ++t) threads[t].join();
  done = true;
  for (std::size_t t = 4; t < threads.size(); ++t) threads[t].join();
  testing::internal::GetCapturedStdout();

  ASSERT_TRUE(host::waitForDiskEvents());
  UnsubscribeDiskEvents();
  CoUninitialize();

  EXPECT_EQ(0, BadgedDriveLetter());
  EXPECT_EQ(comObjects, host::liveComObjectCount());
  EXPECT_EQ(handles, host::openKernelHandleCount());
  EXPECT_EQ(0, FakeClassObject::live());
}

}  // namespace
}  // namespace kstv::test
