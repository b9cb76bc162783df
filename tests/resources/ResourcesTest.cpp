// The program's own module serves the resources the product carries.
#include <gtest/gtest.h>

#include "tests/support/ModuleResources.h"

namespace kstv::test {
namespace {

TEST(ResourcesTest, TheOwnModuleCarriesTheFourResources) {
  expectProductResources(GetModuleHandleA(nullptr));
}

TEST(ResourcesTest, TheRegistrationScriptHasNoTerminatingZero) {
  HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(100), "REGISTRY");
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(191u, SizeofResource(nullptr, found));
}

TEST(ResourcesTest, LoadStringCutsTextToTheBuffer) {
  char name[5];
  EXPECT_EQ(4, LoadStringA(GetModuleHandleA(nullptr), 100, name, sizeof name));
  EXPECT_STREQ("Kstv", name);
}

TEST(ResourcesTest, AMissingResourceIsNotFound) {
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(101), "REGISTRY"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND), GetLastError());
  SetLastError(0xdeadbeef);
  EXPECT_EQ(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(100), "NOSUCHTYPE"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND), GetLastError());
}

}  // namespace
}  // namespace kstv::test
