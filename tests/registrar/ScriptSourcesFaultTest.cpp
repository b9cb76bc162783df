// applyRegistrationScript on the emulated machine: module paths that do not fit or cannot
// be read, loader failures, a path with an apostrophe; the module is always freed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "module/ServiceModule.h"
#include "platform/host/control.h"
#include "platform/host/resources.h"
#include "registrar/ScriptSources.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

class ScriptSourcesFaultTest : public ::testing::Test {
 protected:
  ScriptSourcesFaultTest()
      : task_(host::liveTaskAllocations()), heap_(host::liveHeapAllocations()) {
    InitializedTestServiceModule();
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

// The program's resources with one more registration script, for as long as it lives.
class ExtraScriptResource {
 public:
  ExtraScriptResource(WORD id, const char* script) : saved_(host::ownModuleResources()) {
    resources_.assign(saved_.resources, saved_.resources + saved_.resourceCount);
    resources_.push_back(
        {"REGISTRY", 0, id, reinterpret_cast<const unsigned char*>(script), std::strlen(script)});
    host::ResourceTable table = saved_;
    table.resources = resources_.data();
    table.resourceCount = resources_.size();
    host::registerOwnModuleResources(table);
  }
  ~ExtraScriptResource() { host::registerOwnModuleResources(saved_); }

 private:
  host::ResourceTable saved_;
  std::vector<host::EmbeddedResource> resources_;
};

constexpr WORD kExtrasScript = 200;
constexpr char kExtrasKey[] = "Software\\KstvTests\\Extras";

std::string StringValue(HKEY root, const char* key, const char* name) {
  char data[512] = {};
  DWORD size = sizeof data - 1;
  UniqueKey opened;
  if (RegOpenKeyExA(root, key, 0, KEY_READ, opened.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(opened.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data),
                       &size) != ERROR_SUCCESS)
    return "<none>";
  return data;
}

TEST_F(ScriptSourcesFaultTest, ExtraReplacementsFollowModuleAndTheEarliestOfANameWins) {
  ExtraScriptResource script(
      kExtrasScript,
      "HKCU { NoRemove Software { NoRemove KstvTests { ForceRemove Extras {"
      " val First = s '%EXTRA%' val Second = s '%Other%' val Module = s '%Module%' } } } }");
  const ReplacementEntry extra[] = {{KSTV_W("Extra"), KSTV_W("one")},
                                    {KSTV_W("Other"), KSTV_W("two")},
                                    {KSTV_W("Module"), KSTV_W("ignored")},
                                    {KSTV_W("extra"), KSTV_W("late")},
                                    {nullptr, nullptr}};
  host::setModulePath("C:\\Kestrova's Tools\\KstvCardReader.exe");
  ASSERT_EQ(S_OK, applyRegistrationScript(kExtrasScript, TRUE, extra));
  EXPECT_EQ("one", StringValue(HKEY_CURRENT_USER, kExtrasKey, "First"));
  EXPECT_EQ("two", StringValue(HKEY_CURRENT_USER, kExtrasKey, "Second"));
  // The program's path, its apostrophe escaped for the quoted token and read back as one.
  EXPECT_EQ("C:\\Kestrova's Tools\\KstvCardReader.exe",
            StringValue(HKEY_CURRENT_USER, kExtrasKey, "Module"));
  ASSERT_EQ(S_OK, applyRegistrationScript(kExtrasScript, FALSE, extra));
  EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kExtrasKey));
}

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
}

TEST_F(ScriptSourcesFaultTest, AScriptThatCannotBeCopiedIsOutOfMemoryAndNeverRuns) {
  // The escaped path, the map's slots, the Module pair, the type's and the path's narrow
  // copies come first; the sixth block is the copy of the script.
  host::resetCallCounts();
  host::failCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, 5);
  EXPECT_EQ(E_OUTOFMEMORY, applyRegistrationScript(100, TRUE, nullptr));
  EXPECT_EQ(1u, host::callCount("LoadResource")) << "the failure came before the script was found";
  EXPECT_EQ(6u, host::callCount("HeapAlloc")) << "the failure came after the copy";
  EXPECT_EQ(0u, host::callCount("RegOpenKeyExA")) << "the script ran";
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
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
