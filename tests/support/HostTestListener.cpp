// Every host test starts from the same control state, whichever tests ran before it in
// the same process: no injected failure, no call counted, nothing recorded, a window
// station that the user sees, and no batch of a cancelled disk-event query still being
// delivered.
#include <gtest/gtest.h>

#include "platform/host/control.h"

namespace kstv::test {
namespace {

class FreshControlState : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    host::waitForCancelledDeliveries();
    host::clearFailures();
    host::resetCallCounts();
    host::recordCalls(false);
    host::setWindowStationVisible(true);
  }
};

const bool installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshControlState);
  return true;
}();

}  // namespace
}  // namespace kstv::test
