// The registration script carried as a resource, applied with the Module replacement.
// Runs on the host layer and under Wine (whose test program carries the same resource).
#include <gtest/gtest.h>

#include "module/ServiceModule.h"
#include "platform/text16.h"
#include "registrar/Registrar.h"
#include "registrar/ScriptSources.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

constexpr char kGuidKey[] = "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
constexpr char kExeKey[] = "AppID\\KstvCardReader.EXE";

class ScriptSourcesTest : public ::testing::Test {
 protected:
  ScriptSourcesTest() { InitializedTestServiceModule(); }
  ~ScriptSourcesTest() override { applyRegistrationScript(100, FALSE, nullptr); }
};

TEST_F(ScriptSourcesTest, TheProgramsScriptRegistersAndUnregistersTheAppId) {
  ASSERT_EQ(S_OK, applyRegistrationScript(100, TRUE, nullptr));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kGuidKey));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kExeKey));
  ASSERT_EQ(S_OK, applyRegistrationScript(100, FALSE, nullptr));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kGuidKey));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kExeKey));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "AppID"));
}

TEST_F(ScriptSourcesTest, ExtraReplacementsAreAcceptedInOrder) {
  const ReplacementEntry extra[] = {
      {KSTV_W("Extra"), KSTV_W("one")}, {KSTV_W("Module"), KSTV_W("ignored")}, {nullptr, nullptr}};
  EXPECT_EQ(S_OK, applyRegistrationScript(100, TRUE, extra));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kGuidKey));
}

TEST_F(ScriptSourcesTest, AMissingResourceIsTheLoadersError) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND),
            applyRegistrationScript(101, TRUE, nullptr));
}

TEST_F(ScriptSourcesTest, TheModuleReplacementDoublesEveryApostrophe) {
  ReplacementMap map;
  ASSERT_EQ(S_OK, addModuleReplacement(map, KSTV_W("C:\\it's 'x'.exe")));
  LPCOLESTR value = map.lookup("module");
  ASSERT_NE(nullptr, value);
  EXPECT_TRUE(WideString(value) == WideString(KSTV_W("C:\\it''s ''x''.exe")));
}

}  // namespace
}  // namespace kstv::test
