// ComApartment enters the thread's apartment for a scope and leaves only what it entered.
#include <gtest/gtest.h>

#include <thread>

#include "platform/com_apartment.h"

namespace kstv::test {
namespace {

// Whether the thread is in an apartment: entering the multithreaded one again says so.
HRESULT EnterMultithreadedAgain() {
  HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(result)) CoUninitialize();
  return result;
}

TEST(ComApartmentTest, TheGuardLeavesTheApartmentItEntered) {
  {
    ComApartment apartment;
    EXPECT_EQ(S_OK, apartment.result());
    EXPECT_EQ(RPC_E_CHANGED_MODE, EnterMultithreadedAgain());  // single-threaded inside
  }
  EXPECT_EQ(S_OK, EnterMultithreadedAgain());  // in no apartment afterwards
}

TEST(ComApartmentTest, AGuardThatCouldNotEnterLeavesTheThreadsApartmentInPlace) {
  ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  {
    ComApartment apartment;  // single-threaded: refused on a multithreaded thread
    EXPECT_EQ(RPC_E_CHANGED_MODE, apartment.result());
  }
  EXPECT_EQ(S_FALSE, EnterMultithreadedAgain());  // still in the multithreaded apartment
  CoUninitialize();
}

TEST(ComApartmentTest, AGuardInsideAnotherOnlyCountsOnce) {
  ComApartment outer(COINIT_MULTITHREADED);
  ASSERT_EQ(S_OK, outer.result());
  {
    ComApartment inner(COINIT_MULTITHREADED);
    EXPECT_EQ(S_FALSE, inner.result());
  }
  EXPECT_EQ(S_FALSE, EnterMultithreadedAgain());  // the outer one still holds it
}

TEST(ComApartmentTest, AGuardThatFoundItsApartmentEnteredStillLeavesItsOwnEntry) {
  // On a thread of its own: an entry left behind stays with the thread, not the test run.
  std::thread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
      ComApartment apartment(COINIT_MULTITHREADED);
      EXPECT_EQ(S_FALSE, apartment.result());  // entered, and counted, once more
    }
    CoUninitialize();
    EXPECT_EQ(S_OK, EnterMultithreadedAgain());  // both entries undone
  }).join();
}

}  // namespace
}  // namespace kstv::test
