// Failures injected into named platform calls.
#include <gtest/gtest.h>

#include "platform/host/control.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {
namespace {

class FailureInjectionTest : public ::testing::Test {
 protected:
  ~FailureInjectionTest() override { host::clearFailures(); }
  ScratchKey scratch{"FailureInjection"};
};

TEST_F(FailureInjectionTest, ARegistryCallReturnsTheInjectedCode) {
  host::failCall("RegOpenKeyExA", ERROR_ACCESS_DENIED);
  UniqueKey key;
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, key.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, key.put()));
  host::clearFailures();
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, key.put()));
}

TEST_F(FailureInjectionTest, AFailureCanWaitForCallsAndStopAfterSome) {
  host::failCall("RegSetValueExA", ERROR_NOT_ENOUGH_MEMORY, 1, 2);
  EXPECT_EQ(ERROR_SUCCESS, setString(scratch.get(), "a", "x"));
  EXPECT_EQ(ERROR_SUCCESS, setString(scratch.get(), "b", "x"));
  EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, setString(scratch.get(), "c", "x"));
  EXPECT_EQ(ERROR_SUCCESS, setString(scratch.get(), "d", "x"));
}

TEST_F(FailureInjectionTest, ACallThatReportsThroughTheLastErrorSetsIt) {
  host::failCall("GetModuleFileNameA", ERROR_NOT_ENOUGH_MEMORY, 1);
  char path[MAX_PATH];
  SetLastError(0xdeadbeef);
  EXPECT_EQ(0u, GetModuleFileNameA(nullptr, path, MAX_PATH));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  EXPECT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
}

TEST_F(FailureInjectionTest, AComCallReturnsTheCodeAsItsResult) {
  host::failCall("CoInitialize", static_cast<DWORD>(E_OUTOFMEMORY), 1);
  EXPECT_EQ(E_OUTOFMEMORY, CoInitialize(nullptr));
  EXPECT_EQ(0, host::comInitializationDepth());
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
  EXPECT_EQ(2, host::comInitializationDepth());
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(0, host::comInitializationDepth());
}

}  // namespace
}  // namespace kstv::test
