// applyRegistrationScript on the emulated machine: module paths that do not fit or cannot
// be read, loader failures, a path with an apostrophe; the module is always freed.
#include <gtest/gtest.h>

#include <string>

#include "platform/host/control.h"
#include "registrar/ScriptSources.h"
#include "service/ServiceModule.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {
namespace {

class ScriptSourcesFaultTest : public ::testing::Test {
 protected:
  ScriptSourcesFaultTest()
      : task_(host::liveTaskAllocations()), heap_(host::liveHeapAllocations()) {
    theServiceModule.Initialize(theClassTable, GetModuleHandleA(nullptr));
  }
  ~ScriptSourcesFaultTest() override {
    host::clearFailures();
    host::setModulePath(host::kDefaultModulePath);
    applyRegistrationScript(100, FALSE, nullptr);
    EXPECT_EQ(0u, host::loadedDataModules()) << "the program's file stayed loaded";
    EXPECT_EQ(task_, host::liveTaskAllocations()) << "the replacement map was not emptied";
    EXPECT_EQ(heap_, host::liveHeapAllocations());
  }

 private:
  std::size_t task_, heap_;
};

TEST_F(ScriptSourcesFaultTest, APathThatFillsTheBufferIsRefusedBeforeAnyScriptRuns) {
  host::setModulePath("C:\\" + std::string(300, 'p') + ".exe");
  EXPECT_EQ(static_cast<HRESULT>(0x8007006F), applyRegistrationScript(100, TRUE, nullptr));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
}

TEST_F(ScriptSourcesFaultTest, AModulePathThatCannotBeReadGivesTheLastError) {
  host::failCall("GetModuleFileNameA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), applyRegistrationScript(100, TRUE, nullptr));
}

TEST_F(ScriptSourcesFaultTest, AFailureThatSetsNoErrorIsStillAFailure) {
  host::failCall("LoadLibraryExA", ERROR_SUCCESS, 1);
  EXPECT_EQ(E_FAIL, applyRegistrationScript(100, TRUE, nullptr));
}

TEST_F(ScriptSourcesFaultTest, LoaderFailuresAreTheirErrors) {
  host::failCall("LoadLibraryExA", ERROR_FILE_NOT_FOUND, 1);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), applyRegistrationScript(100, TRUE, nullptr));
  host::failCall("FindResourceA", ERROR_RESOURCE_TYPE_NOT_FOUND, 1);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND),
            applyRegistrationScript(100, TRUE, nullptr));
  host::failCall("LoadResource", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY),
            applyRegistrationScript(100, TRUE, nullptr));
  host::failCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 1);  // the copy of the script
  EXPECT_EQ(E_OUTOFMEMORY, applyRegistrationScript(100, TRUE, nullptr));
}

TEST_F(ScriptSourcesFaultTest, APathWithAnApostropheLoadsFromThePlainPath) {
  host::setModulePath("C:\\Kestrova's Tools\\KstvCardReader.exe");
  EXPECT_EQ(S_OK, applyRegistrationScript(100, TRUE, nullptr));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
}

TEST_F(ScriptSourcesFaultTest, AReplacementThatCannotBeAddedEndsTheCall) {
  const ReplacementEntry extra[] = {{KSTV_W("Extra"), KSTV_W("one")}, {nullptr, nullptr}};
  host::failCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1,
                 2);  // the map's slots, Module, then Extra
  EXPECT_EQ(E_OUTOFMEMORY, applyRegistrationScript(100, TRUE, extra));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
}

}  // namespace
}  // namespace kstv::test
