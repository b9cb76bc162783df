// Many cards coming and going while batches overlap on several threads: the badge state
// stays whole (ThreadSanitizer runs this in CI), the registry holds exactly the recorded
// badges, and nothing that must go is left.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
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
    {"SDHC", "C:\\Cards\\SD\\kicsd.ico,0", "Secure Digital"},
    {"MMCplus", "C:\\Cards\\SD\\kicmmc.ico,0", "MMC"},
    {"xD-Picture", "C:\\Cards\\XD\\kicxd.ico,0", "xD Picture"},
    {"MSPro", "C:\\Cards\\MS\\kicms.ico,0", "Memory Stick"},
};

// Every drive key below Drives is a recorded badge, and every recorded badge has its key.
void ExpectBadgesAsRecorded() {
  const std::string recorded = BadgedDriveLetters();
  for (char letter = 'A'; letter <= 'Z'; ++letter)
    EXPECT_EQ(recorded.find(letter) != std::string::npos, hasDriveKey(letter))
        << "drive " << letter << ", recorded " << recorded;
}

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
      removal->Release();  // the last reference: the recorded badges go, as at a stop
    });
  }
  for (int t = 0; t < 4; ++t) threads[t].join();
  done = true;
  for (std::size_t t = 4; t < threads.size(); ++t) threads[t].join();
  testing::internal::GetCapturedStdout();
}

TEST(MonitorStressTest,
     AfterOverlappingArrivalsAndRemovalsEveryBadgeIsWholeRecordedAndGoneAtTheEnd) {
  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  BuildBadgeIconPaths("C:\\Cards\\");
  const std::size_t comObjects = host::liveComObjectCount();
  const std::size_t handles = host::openKernelHandleCount();
  ASSERT_EQ(0, SubscribeDiskEvents());

  Storm();
  // Every card is out and WMI has looked again: each badge left is whole and recorded
  // (one that an arrival published for a card gone before the deletion query saw it).
  ASSERT_TRUE(host::waitForDiskEvents());
  ASSERT_TRUE(host::waitForDiskEvents());
  ExpectEveryBadgeWhole();
  ExpectBadgesAsRecorded();

  // Then four cards go in and stay: each is badged as its arrival says, and recorded.
  std::map<char, const Kind*> present = {
      {'E', &kKinds[3]}, {'F', &kKinds[2]}, {'H', &kKinds[1]}, {'K', &kKinds[0]}};
  for (const auto& [letter, kind] : present) host::addVolume(cardVolume(letter, kind->product));
  ASSERT_TRUE(host::waitForDiskEvents());
  for (const auto& [letter, kind] : present) {
    SCOPED_TRACE(std::string("drive ") + letter);
    EXPECT_EQ(std::string(kind->icon), badgeIcon(letter));
    EXPECT_EQ(std::string(kind->label), badgeLabel(letter));
    EXPECT_NE(std::string::npos, BadgedDriveLetters().find(letter));
  }
  ExpectBadgesAsRecorded();

  // At the end every badge goes.
  testing::internal::CaptureStdout();
  UnsubscribeDiskEvents();
  CloseDriveBadgeRecord();
  CoUninitialize();
  ASSERT_TRUE(host::waitForCancelledDeliveries());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("", BadgedDriveLetters());
  for (char letter = 'A'; letter <= 'Z'; ++letter) EXPECT_FALSE(hasDriveKey(letter)) << letter;
  EXPECT_EQ(comObjects, host::liveComObjectCount());
  EXPECT_EQ(handles, host::openKernelHandleCount());
  EXPECT_EQ(0, FakeClassObject::live());
}

// Two arrival batches (on one sink, as WMI may overlap them) and a removal batch
// delivered at once on three threads, round after round: E to H hold cards and get their
// badges; I and J carry badges whose cards are gone, which the removal batch and, for a
// letter that arrives holding nothing, the arrival batch take away.
TEST(MonitorStressTest, TwoArrivalBatchesAndARemovalBatchAtOnceLeaveExactlyTheCardsBadged) {
  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
  BuildBadgeIconPaths("C:\\Cards\\");
  for (char letter : {'E', 'F', 'G', 'H'})
    host::addVolume(cardVolume(letter, kKinds[(letter - 'E') % 4].product));
  auto* arrival = new DiskArrivalSink;
  auto* removal = new DiskRemovalSink;
  arrival->AddRef();
  removal->AddRef();
  testing::internal::CaptureStdout();
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE(round);
    PublishDriveBadge(KSTV_W("I:"), CardType::SD);
    PublishDriveBadge(KSTV_W("J:"), CardType::MS);
    std::atomic<int> ready{0};
    auto deliver = [&](DiskEventSink* sink, const std::vector<const WCHAR*>& drives) {
      EventBatch batch;
      for (const WCHAR* drive : drives) batch.addDisk(drive);
      ++ready;
      while (ready < 3) std::this_thread::yield();
      sink->Indicate(batch.count(), batch.objects());
    };
    std::thread first(deliver, arrival,
                      std::vector<const WCHAR*>{KSTV_W("E:"), KSTV_W("F:"), KSTV_W("I:")});
    std::thread second(deliver, arrival,
                       std::vector<const WCHAR*>{KSTV_W("G:"), KSTV_W("H:"), KSTV_W("J:")});
    std::thread third(deliver, removal,
                      std::vector<const WCHAR*>{KSTV_W("J:"), KSTV_W("I:"), KSTV_W("K:")});
    first.join();
    second.join();
    third.join();
    EXPECT_EQ("EFGH", BadgedDriveLetters());
    ExpectBadgesAsRecorded();
    ExpectEveryBadgeWhole();
    RemoveRecordedDriveBadges();
  }
  testing::internal::GetCapturedStdout();
  arrival->Release();
  removal->Release();
  EXPECT_EQ(0, FakeClassObject::live());
}

// Under chaos (each query's batches late, the two queries' in any order, probes slow),
// the slots E to J change at once, round after round: a card or a USB stick goes in, or
// comes out, or is swapped for another right after both queries have seen the slot empty,
// so that the removal of what was there and the arrival of what replaced it come in any
// order. Once both queries have seen the slots as they are, the badges are exactly those
// of the cards inside.
class MonitorUnderChaosTest : public ::testing::TestWithParam<unsigned> {
 protected:
  MonitorUnderChaosTest() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    BuildBadgeIconPaths("C:\\Cards\\");
    host::setChaos(GetParam());
    testing::internal::CaptureStdout();  // the sinks' lines are not looked at
  }
  ~MonitorUnderChaosTest() override {
    UnsubscribeDiskEvents();
    CloseDriveBadgeRecord();
    host::waitForCancelledDeliveries();
    host::setChaos(std::nullopt);
    CoUninitialize();
    const std::string printed = testing::internal::GetCapturedStdout();
    if (HasFailure()) std::fputs(printed.c_str(), stdout);  // the failures are there too
  }

  // Runs each slot's step on a thread of its own, after a pause of up to 50 ms.
  template <typename Step>
  void atOnce(const std::vector<char>& letters, Step step) {
    std::vector<std::thread> slots;
    for (char letter : letters) {
      const auto pause = std::chrono::milliseconds(random_() % 51);
      slots.emplace_back([letter, pause, step] {
        std::this_thread::sleep_for(pause);
        step(letter);
      });
    }
    for (std::thread& slot : slots) slot.join();
  }

  static void expectExactlyTheCardsInside(const std::map<char, const Kind*>& inside) {
    std::string cards;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      auto found = inside.find(letter);
      const Kind* kind = found == inside.end() ? nullptr : found->second;
      SCOPED_TRACE(std::string("drive ") + letter);
      if (!kind) {
        EXPECT_FALSE(hasDriveKey(letter));
        continue;
      }
      cards += letter;
      EXPECT_EQ(std::string(kind->icon), badgeIcon(letter));
      EXPECT_EQ(std::string(kind->label), badgeLabel(letter));
    }
    EXPECT_EQ(cards, BadgedDriveLetters());
  }

  std::mt19937 random_{GetParam()};
  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;
};

TEST_P(MonitorUnderChaosTest, OnceTheQueriesHaveSeenTheSlotsExactlyTheCardsInsideAreBadged) {
  ASSERT_EQ(0, SubscribeDiskEvents());
  std::map<char, const Kind*> inside;  // a card's kind, or null for a USB stick
  std::map<char, host::Volume> next;
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    std::vector<char> out, in;
    for (char letter = 'E'; letter <= 'J'; ++letter) {
      const bool occupied = inside.count(letter) != 0;
      if (occupied) out.push_back(letter);
      // An occupied slot is emptied or refilled, an empty one filled: a card mostly.
      if (occupied && random_() % 3 == 0) {
        inside.erase(letter);
        continue;
      }
      const unsigned pick = random_() % 5;
      next[letter] = pick < 4 ? cardVolume(letter, kKinds[pick].product) : plainVolume(letter);
      inside[letter] = pick < 4 ? &kKinds[pick] : nullptr;
      in.push_back(letter);
    }
    atOnce(out, [](char letter) { host::removeVolume(letter); });
    ASSERT_TRUE(host::pollDiskEventsNow());
    atOnce(in, [&next](char letter) { host::addVolume(next.at(letter)); });
    ASSERT_TRUE(host::pollDiskEventsNow());  // both on their way, in whatever order they come
    ASSERT_TRUE(host::waitForDiskEvents());
    expectExactlyTheCardsInside(inside);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MonitorUnderChaosTest, ::testing::Values(7u, 1234u, 900001u));

}  // namespace
}  // namespace kstv::test
