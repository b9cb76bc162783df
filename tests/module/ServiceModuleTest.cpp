// ServiceModule::Initialize fills the record from the program's own module.
#include <gtest/gtest.h>

#include <cstring>

#include "module/ProgramFile.h"
#include "module/ServiceModule.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

TEST(ServiceModuleTest, InitializeFillsTheRecordAndMakesItTheProcessOne) {
  // Every field starts as a sentinel, so that each value below is one Initialize wrote.
  ServiceModule module;
  std::memset(&module, 0xA5, sizeof module);
  module.serviceName[0] = '\0';
  HINSTANCE self = GetModuleHandleA(nullptr);
  module.Initialize(theClassTable, self);

  EXPECT_EQ(&module, CurrentServiceModule());
  EXPECT_EQ(self, module.instance);
  EXPECT_EQ(self, module.resourceInstance);
  EXPECT_EQ(self, module.typeLibraryInstance);
  EXPECT_EQ(theClassTable, module.classTable);
  EXPECT_EQ(nullptr, module.classTable[0].classId);  // the table holds only its end
  EXPECT_STREQ("KstvCardReader", module.serviceName);
  EXPECT_TRUE(module.serviceMode);
  EXPECT_EQ(nullptr, module.statusHandle);
  EXPECT_EQ(SERVICE_WIN32_OWN_PROCESS, module.status.dwServiceType);
  EXPECT_EQ(SERVICE_STOPPED, module.status.dwCurrentState);
  EXPECT_EQ(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, module.status.dwControlsAccepted);
  EXPECT_EQ(0u, module.status.dwWin32ExitCode);
  EXPECT_EQ(0u, module.status.dwServiceSpecificExitCode);
  EXPECT_EQ(0u, module.status.dwCheckPoint);
  EXPECT_EQ(0u, module.status.dwWaitHint);
  InitializedTestServiceModule();  // leave a process record in place
}

// The program's path as the ANSI calls name it, read from the system's Unicode one: for a
// name the code page holds, the same as GetModuleFileNameA's; its folder up to and with its
// last backslash.
TEST(ServiceModuleTest, TheProgramFileAndItsFolderAreTheModulePathInTheCodePage) {
  char expected[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, expected, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  char path[MAX_PATH];
  char folder[MAX_PATH];
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ProgramFilePath(path));
  ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ProgramFolder(folder));
  EXPECT_STREQ(expected, path);
  std::strrchr(expected, '\\')[1] = '\0';
  EXPECT_STREQ(expected, folder);
}

}  // namespace
}  // namespace kstv::test
