// TokenSecurityDescriptor with impersonation and failures only the emulated machine makes.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/host/control.h"
#include "service/TokenSecurityDescriptor.h"
#include "tests/support/RecordedCalls.h"

namespace kstv::test {
namespace {

// The relative id (the last sub-authority) of a SID.
DWORD LastSubAuthority(PSID sid) {
  auto* bytes = static_cast<const BYTE*>(sid);
  DWORD id;
  std::memcpy(&id, bytes + 8 + 4 * (bytes[1] - 1), sizeof id);
  return id;
}

class TokenSecurityFaultTest : public ::testing::Test {
 protected:
  TokenSecurityFaultTest()
      : heap_(host::liveHeapAllocations()), handles_(host::openKernelHandleCount()) {
    host::resetCallCounts();
  }
  ~TokenSecurityFaultTest() override {
    host::clearFailures();
    host::revertToSelf();
    EXPECT_EQ(heap_, host::liveHeapAllocations()) << "a SID or token buffer was not freed";
    EXPECT_EQ(handles_, host::openKernelHandleCount()) << "a token was not closed";
  }

 private:
  std::size_t heap_, handles_;
};

TEST_F(TokenSecurityFaultTest, AnImpersonatingThreadGivesItsOwnIdentity) {
  host::impersonate(4242, 77);
  TokenSecurityDescriptor descriptor;
  ASSERT_EQ(S_OK, descriptor.InitFromToken(FALSE, TRUE));
  EXPECT_EQ(4242u, LastSubAuthority(descriptor.owner()));
  EXPECT_EQ(77u, LastSubAuthority(descriptor.group()));
}

TEST_F(TokenSecurityFaultTest, AThreadTokenThatCannotBeOpenedIsFinal) {
  host::failCall("OpenThreadToken", ERROR_ACCESS_DENIED);
  TokenSecurityDescriptor descriptor;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), descriptor.InitFromToken(FALSE, TRUE));
  EXPECT_EQ(nullptr, descriptor.descriptor());
  EXPECT_EQ(0u, host::callCount("OpenProcessToken"));
}

TEST_F(TokenSecurityFaultTest, OnlyTheGroupIsAskedForWhenOnlyTheGroupIsWanted) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  PSID group = nullptr;
  host::resetCallCounts();
  RecordingCalls recording;
  ASSERT_EQ(S_OK, TokenSecurityDescriptor::CopyTokenIdentity(token, nullptr, &group));
  // The size, then the primary group: both ask for that class, never for the user.
  const std::string primaryGroup = "0x" + std::to_string(static_cast<int>(TokenPrimaryGroup));
  EXPECT_EQ((ArgumentLists{{primaryGroup}, {primaryGroup}}), argumentsOf("GetTokenInformation"));
  HeapFree(GetProcessHeap(), 0, group);
  CloseHandle(token);
}

TEST_F(TokenSecurityFaultTest, EveryFailureLeavesTheObjectEmptyAndNothingBehind) {
  for (const char* call :
       {"HeapAlloc", "GetTokenInformation", "CopySid", "SetSecurityDescriptorOwner",
        "SetSecurityDescriptorGroup", "InitializeSecurityDescriptor", "OpenProcessToken"}) {
    for (unsigned skip = 0; skip < 6; ++skip) {
      SCOPED_TRACE(std::string(call) + " after " + std::to_string(skip));
      host::failCall(call, ERROR_NOT_ENOUGH_MEMORY, 1, skip);
      TokenSecurityDescriptor descriptor;
      HRESULT result = descriptor.InitFromToken(FALSE, TRUE);
      host::clearFailures();
      if (skip == 0) {
        EXPECT_TRUE(FAILED(result)) << "the first such call is always made";
      }
      if (FAILED(result)) {
        // An allocation has its own code; every other failure is the call's own error.
        EXPECT_EQ(std::string(call) == "HeapAlloc" ? E_OUTOFMEMORY
                                                   : HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY),
                  result);
        EXPECT_EQ(nullptr, descriptor.descriptor());
        EXPECT_EQ(nullptr, descriptor.owner());
        EXPECT_EQ(nullptr, descriptor.group());
      }
    }
  }
}

}  // namespace
}  // namespace kstv::test
