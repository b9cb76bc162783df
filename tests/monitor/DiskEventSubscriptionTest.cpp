// The WMI subscription on the emulated machine: each failure and the state it leaves,
// a clean unsubscribe, and cards inserted and removed with real event delivery.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "monitor/DiskEventSubscription.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/RecordedCalls.h"

namespace kstv::test {
namespace {

// A code with hexadecimal letters, so that the case of the trace line shows.
constexpr HRESULT kQueryRefused = WBEM_E_NOT_SUPPORTED;  // 0x8004100C
constexpr char kQueryFailed[] = "ExecNotificationQueryAsync failed with = 0x8004100C\n";
constexpr char kCreationQuery[] =
    "SELECT * FROM __InstanceCreationEvent WITHIN 0.1 WHERE TargetInstance ISA "
    "'Win32_LogicalDisk'";
constexpr char kDeletionQuery[] =
    "SELECT * FROM __InstanceDeletionEvent WITHIN 1 WHERE TargetInstance ISA "
    "'Win32_LogicalDisk'";

using Clock = std::chrono::steady_clock;

// Seconds until the condition holds, polled every millisecond; -1 past the limit.
template <typename Condition>
double secondsUntil(Condition condition, double limit) {
  const auto start = Clock::now();
  for (;;) {
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (condition()) return elapsed;
    if (elapsed > limit) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

class DiskEventSubscriptionTest : public ::testing::Test {
 protected:
  DiskEventSubscriptionTest()
      : comObjects_(host::liveComObjectCount()), strings_(host::liveBstrCount()) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    BuildBadgeIconPaths("C:\\Cards\\");
  }
  ~DiskEventSubscriptionTest() override {
    UnsubscribeDiskEvents();
    host::clearFailures();
    CoUninitialize();
    EXPECT_EQ(0u, host::activeNotificationQueries()) << "a query was never cancelled";
    host::cancelAllNotificationQueries();
    EXPECT_EQ(comObjects_, host::liveComObjectCount()) << "a COM object outlived the subscription";
    EXPECT_EQ(strings_, host::liveBstrCount()) << "a BSTR was not freed";
  }

  // Subscribes and gives what that printed.
  static std::string subscribe(int expected) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(expected, SubscribeDiskEvents());
    return testing::internal::GetCapturedStdout();
  }

  static std::string unsubscribe() {
    testing::internal::CaptureStdout();
    UnsubscribeDiskEvents();
    return testing::internal::GetCapturedStdout();
  }

  OnlySystemDiskAfterwards volumes;
  CleanBadges clean;

 private:
  std::size_t comObjects_;
  std::size_t strings_;
};

TEST_F(DiskEventSubscriptionTest, WithoutWmiNothingIsStartedAndNothingReleased) {
  host::failCall("CoCreateInstance(WbemLocator)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  EXPECT_EQ("", subscribe(1));
  EXPECT_EQ(0u, host::activeNotificationQueries());
  EXPECT_EQ("", unsubscribe());
}

TEST_F(DiskEventSubscriptionTest, EachFailureBeforeTheQueriesEndsWithOneAndNoMessage) {
  for (const char* call : {"ConnectServer", "CoSetProxyBlanket",
                           "CoCreateInstance(UnsecuredApartment)", "CreateObjectStub"}) {
    SCOPED_TRACE(call);
    host::failCall(call, static_cast<DWORD>(WBEM_E_FAILED));
    EXPECT_EQ("", subscribe(1));
    EXPECT_EQ(0u, host::activeNotificationQueries());
    host::clearFailures();
    UnsubscribeDiskEvents();
  }
}

TEST_F(DiskEventSubscriptionTest, AFailedCreationQueryIsReported) {
  host::failCall("ExecNotificationQueryAsync", static_cast<DWORD>(kQueryRefused));
  EXPECT_EQ(kQueryFailed, subscribe(1));
  EXPECT_EQ(0u, host::activeNotificationQueries());
}

TEST_F(DiskEventSubscriptionTest, AFailedDeletionQueryLeavesTheCreationQueryForTheUnsubscribe) {
  host::failCall("ExecNotificationQueryAsync", static_cast<DWORD>(kQueryRefused), host::kAlways, 1);
  EXPECT_EQ(kQueryFailed, subscribe(1));
  EXPECT_EQ(1u, host::activeNotificationQueries());
  // The cancelled creation query reports its end through the arrival sink.
  EXPECT_EQ("Call complete. hResult = 0x80041032\n", unsubscribe());
  EXPECT_EQ(0u, host::activeNotificationQueries());
}

TEST_F(DiskEventSubscriptionTest, UnsubscribingTwiceDoesNothingTheSecondTime) {
  EXPECT_EQ("", subscribe(0));
  EXPECT_EQ(2u, host::activeNotificationQueries());
  EXPECT_EQ("Call complete. hResult = 0x80041032\nCall complete. hResult = 0x80041032\n",
            unsubscribe());
  EXPECT_EQ("", unsubscribe());
}

TEST_F(DiskEventSubscriptionTest, ACardInsertedAndRemovedGetsItsBadgeAndLosesIt) {
  subscribe(0);
  host::addVolume(cardVolume('E', "SDHC Reader"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("C:\\Cards\\SD\\kicsd.ico,0", badgeIcon('E'));
  EXPECT_EQ("Secure Digital", badgeLabel('E'));

  testing::internal::CaptureStdout();
  host::removeVolume('E');
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("Disk removed...\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(hasDriveKey('E'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DiskEventSubscriptionTest, AStickLeftInTheReaderLosesItsBadgeWhenTheServiceStops) {
  subscribe(0);
  host::addVolume(cardVolume('G', "MSPro"));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_EQ("Memory Stick", badgeLabel('G'));
  unsubscribe();
  EXPECT_FALSE(hasDriveKey('G'));
  EXPECT_EQ("", BadgedDriveLetters());
}

TEST_F(DiskEventSubscriptionTest, ADiskThatIsNoCardChangesNothing) {
  subscribe(0);
  host::addVolume(plainVolume('H'));
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kDrivesKey));
}

TEST_F(DiskEventSubscriptionTest, ACardPresentBeforeTheSubscriptionRaisesNoEvent) {
  host::addVolume(cardVolume('E', "SDHC Reader"));
  subscribe(0);
  ASSERT_TRUE(host::waitForDiskEvents());
  EXPECT_FALSE(hasDriveKey('E'));  // the start-up scan's business, not the subscription's
}

}  // namespace
}  // namespace kstv::test

namespace kstv::test {
namespace {

TEST_F(DiskEventSubscriptionTest, BothQueriesAreAskedOfRootCimv2AsWrittenWithStatusReports) {
  RecordingCalls recording;
  subscribe(0);
  EXPECT_EQ((ArgumentLists{{"ROOT\\CIMV2", "null", "null", "null", "0x0", "null", "null"}}),
            argumentsOf("ConnectServer"));
  ArgumentLists queries = argumentsOf("ExecNotificationQueryAsync");
  ASSERT_EQ(2u, queries.size());
  EXPECT_EQ((std::vector<std::string>{"WQL", kCreationQuery, "0x80", "null"}),
            std::vector<std::string>(queries[0].begin(), queries[0].begin() + 4));
  EXPECT_EQ((std::vector<std::string>{"WQL", kDeletionQuery, "0x80", "null"}),
            std::vector<std::string>(queries[1].begin(), queries[1].begin() + 4));
  EXPECT_NE("null", queries[0][4]);
  EXPECT_NE(queries[0][4], queries[1][4]) << "each query has a sink of its own";
}

TEST_F(DiskEventSubscriptionTest, TheServicesProxyGetsTheBlanketOfTheMonitor) {
  RecordingCalls recording;
  subscribe(0);
  ArgumentLists blankets = argumentsOf("CoSetProxyBlanket");
  ASSERT_EQ(1u, blankets.size());
  // Windows NT authentication, no authorization service, no principal, call-level
  // authentication, impersonation, no identity, no capabilities.
  EXPECT_EQ((std::vector<std::string>{"0xA", "0x0", "null", "0x3", "0x3", "null", "0x0"}),
            std::vector<std::string>(blankets[0].begin() + 1, blankets[0].end()));
  EXPECT_NE("null", blankets[0][0]);
}

TEST_F(DiskEventSubscriptionTest, TeardownCancelsEachQueryOnceAndNothingArrivesAfterIt) {
  RecordingCalls recording;
  subscribe(0);
  ArgumentLists queries = argumentsOf("ExecNotificationQueryAsync");
  ASSERT_EQ(2u, queries.size());
  unsubscribe();
  ArgumentLists cancels = argumentsOf("CancelAsyncCall");
  ASSERT_EQ(2u, cancels.size());
  EXPECT_EQ((std::set<std::string>{queries[0][4], queries[1][4]}),
            (std::set<std::string>{cancels[0][0], cancels[1][0]}));

  host::addVolume(cardVolume('E', "SDHC Reader"));
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  host::removeVolume('E');
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(argumentsOf("Indicate").empty()) << "an event was delivered after the teardown";
  EXPECT_FALSE(hasDriveKey('E'));
}

TEST_F(DiskEventSubscriptionTest, ArrivalsAreSeenWithinATenthAndRemovalsWithinASecond) {
  subscribe(0);
  for (int card = 0; card < 3; ++card) {
    SCOPED_TRACE(card);
    host::addVolume(cardVolume('E', "SDHC Reader"));
    double arrival = secondsUntil([] { return hasDriveKey('E'); }, 2);
    ASSERT_GE(arrival, 0) << "the card was never badged";
    EXPECT_LE(arrival, 0.3) << "arrivals are polled every 0.1 s";
    // A disk that comes and goes between two polls of the deletion query is never
    // reported, by WMI as here: let that query see the card before it goes.
    ASSERT_TRUE(host::waitForDiskEvents());
    host::removeVolume('E');
    double removal = secondsUntil([] { return !hasDriveKey('E'); }, 3);
    ASSERT_GE(removal, 0) << "the badge was never removed";
    EXPECT_LE(removal, 1.1) << "removals are polled every second";
  }
}

// Under chaos each batch comes late, but a query's batches still come in the order of
// their polls.
TEST_F(DiskEventSubscriptionTest, UnderChaosAQuerysBatchesComeLateInTheOrderOfItsPolls) {
  host::setChaos(5);
  subscribe(0);
  RecordingCalls recording;
  const auto start = Clock::now();
  for (char letter = 'E'; letter <= 'J'; ++letter) {
    host::Volume unopenable = plainVolume(letter);  // its probe ends at once
    unopenable.openError = ERROR_ACCESS_DENIED;
    host::addVolume(unopenable);
    ASSERT_TRUE(host::pollDiskEventsNow());  // a batch of its own
  }
  ASSERT_TRUE(host::waitForDiskEvents());
  host::setChaos(std::nullopt);
  // Six batches, each up to 300 ms late (this seed's longest wait is over 200 ms): a few
  // milliseconds without chaos.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(150));
  std::string delivered;
  for (const auto& arguments : argumentsOf("Indicate")) delivered += arguments[2];
  EXPECT_EQ("EFGHIJ", delivered);
}

TEST_F(DiskEventSubscriptionTest, AQueryTextThatCannotBeMadeIsReportedAsSuchAndNotAsAQuery) {
  // The namespace's string is the first, the query language's the second.
  host::failCall("SysAllocString", 0, 1, 1);
  EXPECT_EQ("SysAllocString failed with = 0x8007000E\n", subscribe(1));
  EXPECT_EQ(0u, host::callCount("ExecNotificationQueryAsync"));
}

// Holds the delivery of an arrival batch inside the probe (the volume's open) until the
// test lets it go, or five seconds have passed.
class HeldDelivery {
 public:
  HeldDelivery() : state_(std::make_shared<State>()) {
    host::onCall("CreateFileA", [state = state_] {
      std::unique_lock guard(state->lock);
      state->held = true;
      state->changed.notify_all();
      state->changed.wait_for(guard, std::chrono::seconds(5), [&] { return state->released; });
      state->timedOut = !state->released;
    });
  }
  ~HeldDelivery() { release(); }
  HeldDelivery(const HeldDelivery&) = delete;
  HeldDelivery& operator=(const HeldDelivery&) = delete;

  bool waitUntilHeld() {
    std::unique_lock guard(state_->lock);
    return state_->changed.wait_for(guard, std::chrono::seconds(5), [&] { return state_->held; });
  }
  void release() {
    std::lock_guard guard(state_->lock);
    state_->released = true;
    state_->changed.notify_all();
  }
  // True when the delivery went on only because nobody let it go.
  bool timedOut() {
    std::lock_guard guard(state_->lock);
    return state_->timedOut;
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    bool held = false, released = false, timedOut = false;
  };
  std::shared_ptr<State> state_;
};

TEST_F(DiskEventSubscriptionTest, ACancellationDoesNotWaitForABatchBeingDelivered) {
  subscribe(0);
  HeldDelivery delivery;
  host::addVolume(cardVolume('E', "SDHC Reader"));
  ASSERT_TRUE(delivery.waitUntilHeld());
  // As with WMI, the cancellation returns while the arrival sink is still at work; the
  // arrival query reports its end only once the batch is done.
  EXPECT_EQ("Call complete. hResult = 0x80041032\n", unsubscribe());
  testing::internal::CaptureStdout();
  delivery.release();
  ASSERT_TRUE(host::waitForCancelledDeliveries());
  EXPECT_EQ("Call complete. hResult = 0x80041032\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(delivery.timedOut()) << "the cancellation waited for the delivery";
}

TEST_F(DiskEventSubscriptionTest, ABatchStillBeingDeliveredAtTheEndLeavesNoBadge) {
  subscribe(0);
  HeldDelivery delivery;
  host::addVolume(cardVolume('E', "SDHC Reader"));
  ASSERT_TRUE(delivery.waitUntilHeld());
  testing::internal::CaptureStdout();
  UnsubscribeDiskEvents();
  // The record's close waits for the handler under way: let it go meanwhile.
  auto closing = std::async(std::launch::async, [] { CloseDriveBadgeRecord(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  delivery.release();
  closing.wait();
  ASSERT_TRUE(host::waitForCancelledDeliveries());
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(delivery.timedOut());
  EXPECT_FALSE(hasDriveKey('E')) << "a badge was published after the run's end";
  EXPECT_EQ("", BadgedDriveLetters());
}

}  // namespace
}  // namespace kstv::test
