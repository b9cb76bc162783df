// Time: Sleep and GetTickCount. A test can let Sleep advance the tick count instead of
// waiting, so that a bound of many seconds is reached at once.
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/host/control.h"

namespace kstv::host {
namespace {

std::atomic<bool> testClock{false};
std::atomic<unsigned long long> skippedMilliseconds{0};

unsigned long long RealMilliseconds() {
  using namespace std::chrono;
  static const steady_clock::time_point start = steady_clock::now();
  return static_cast<unsigned long long>(
      duration_cast<milliseconds>(steady_clock::now() - start).count());
}

}  // namespace

void useTestClock(bool skipSleeps) { testClock = skipSleeps; }

}  // namespace kstv::host

void WINAPI Sleep(DWORD milliseconds) {
  using namespace kstv::host;
  if (testClock) {
    skippedMilliseconds += milliseconds;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // others still get to run
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// Wraps after 49.7 days, as on Windows.
DWORD WINAPI GetTickCount() {
  using namespace kstv::host;
  return static_cast<DWORD>(RealMilliseconds() + skippedMilliseconds.load());
}
