// Many cards coming and going while batches overlap on several threads: the badge state
// stays whole (ThreadSanitizer runs this in CI), the registry ends as the design says,
// and nothing that must go is left.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "monitor/DiskEventSinks.h"
#include "monitor/DiskEventSubscription.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/FakeWmi.h"

namespace kstv::test {
namespace {

struct Kind {
  const char* product;
  const char* icon;
  const char* label;
};

constexpr Kind kKinds[] = {
    {"SDHC", "C:\\Cards\\SD\\kicsd.ico", "Secure Digital"},
    {"MMCplus", "C:\\Cards\\SD\\kicmmc.ico", "MMC"},
    {"xD-Picture", "C:\\Cards\\XD\\kicxd.ico", "xD Picture"},
    {"MSPro", "C:\\Cards\\MS\\kicms.ico", "Memory Stick"},
};

// Each drive key below Drives holds a whole badge of one kind.
void ExpectEveryBadgeWhole() {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (!hasDriveKey(letter)) continue;
    SCOPED_TRACE(std::string("drive ") + letter);
    bool matched = false;
    for (const Kind& kind : kKinds)
      matched = matched || (badgeIcon(letter) == std::string(kind.icon) &&
                            badgeLabel(letter) == std::string(kind.label));
    EXPECT_TRUE(matched) << "a torn badge";
  }
}

// Cards of every kind in drives E to L, inserted and removed through WMI, while more
// batches reach sinks of their own on other threads, as overlapping deliveries do.
void Storm() {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int round = 0; round < 15; ++round) {
        char letter = static_cast<char>('E' + 2 * t + round % 2);
        host::addVolume(cardVolume(letter, kKinds[(t + round) % 4].product));
        std::this_thread::sleep_for(std::chrono::milliseconds(7 * (t + 1)));
        host::removeVolume(letter);
      }
    });
  }
  // Their "Disk removed..." lines are not looked at.
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
      removal->Release();  // the last reference: the recorded badge goes, as at a stop
    });
  }
  for (int t = 0; t < 4; ++t) threads[t].join();
  done = true;
  for (std::size_t t = 4; t < threads.size(); ++t) threads[t].join();
  testing::internal::GetCapturedStdout();
}

TEST(MonitorStressTest, AfterOverlappingArrivalsAndRemovalsTheRegistryIsAsTheDesignSays) {
  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  BuildBadgeIconPaths("C:\\Cards\\");
  const std::size_t comObjects = host::liveComObjectCount();
  const std::size_t handles = host::openKernelHandleCount();
  ASSERT_EQ(0, SubscribeDiskEvents());

  Storm();
  // Every card is out: once WMI has seen that, no badge may be recorded for a drive
  // without a card, and what is left is the keys of drives whose record was overwritten.
  ASSERT_TRUE(host::waitForDiskEvents());
  ASSERT_TRUE(host::waitForDiskEvents());
  ExpectEveryBadgeWhole();
  WCHAR recorded = BadgedDriveLetter();
  if (recorded != 0) {
    // Only a sink of the storm's own threads can have published after the last removal
    // WMI reported; their drives are E, G and I.
    EXPECT_TRUE(recorded == KSTV_W('E') || recorded == KSTV_W('G') || recorded == KSTV_W('I'));
  }

  // Then four cards go in and stay: each is badged as its arrival says.
  std::map<char, const Kind*> present = {
      {'E', &kKinds[3]}, {'F', &kKinds[2]}, {'H', &kKinds[1]}, {'K', &kKinds[0]}};
  for (const auto& [letter, kind] : present) host::addVolume(cardVolume(letter, kind->product));
  ASSERT_TRUE(host::waitForDiskEvents());
  for (const auto& [letter, kind] : present) {
    SCOPED_TRACE(std::string("drive ") + letter);
    EXPECT_EQ(std::string(kind->icon), badgeIcon(letter));
    EXPECT_EQ(std::string(kind->label), badgeLabel(letter));
  }
  recorded = BadgedDriveLetter();
  ASSERT_TRUE(present.count(static_cast<char>(recorded))) << "the last arrival is recorded";

  // At the stop only the recorded drive loses its badge; the others keep theirs.
  UnsubscribeDiskEvents();
  CoUninitialize();
  EXPECT_EQ(0, BadgedDriveLetter());
  for (const auto& [letter, kind] : present) {
    SCOPED_TRACE(std::string("drive ") + letter);
    EXPECT_EQ(letter != recorded, hasDriveKey(letter));
  }
  ExpectEveryBadgeWhole();
  EXPECT_EQ(comObjects, host::liveComObjectCount());
  EXPECT_EQ(handles, host::openKernelHandleCount());
  EXPECT_EQ(0, FakeClassObject::live());
}

}  // namespace
}  // namespace kstv::test
