// Windows build: KstvCardReader.exe itself, loaded as data, carries the resources.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/ModuleResources.h"
#include "tests/support/WinePaths.h"

namespace kstv::test {
namespace {

TEST(ProductResourcesTest, TheExecutableCarriesTheFourResources) {
  const std::string path = windowsPathOfUnixFile(KSTV_PRODUCT_UNIX_PATH);
  HMODULE product = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, product) << path << ": " << GetLastError();
  expectProductResources(product);
  FreeLibrary(product);
}

}  // namespace
}  // namespace kstv::test
