// Windows build: KstvCardReader.exe itself, loaded as data, carries the resources, and it
// and its message file carry the project's version.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A file's version resource, as Explorer and Windows Installer read it.
class VersionResource {
 public:
  explicit VersionResource(const std::string& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    data_.resize(size);
    loaded_ = size != 0 && GetFileVersionInfoA(path.c_str(), 0, size, data_.data());
  }
  bool loaded() const { return loaded_; }
  const VS_FIXEDFILEINFO* fixed() {
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(data_.data(), "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
      return nullptr;
    return static_cast<const VS_FIXEDFILEINFO*>(value);
  }
  // A text of the US English, Unicode table.
  std::string text(const char* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::string path = std::string("\\StringFileInfo\\040904B0\\") + name;
    if (!VerQueryValueA(data_.data(), path.c_str(), &value, &length) || length == 0) return "";
    return static_cast<const char*>(value);
  }

 private:
  std::vector<char> data_;
  bool loaded_ = false;
};

void ExpectProjectVersion(const char* unixPath, DWORD fileType, const char* originalName) {
  SCOPED_TRACE(originalName);
  VersionResource version(windowsPathOfUnixFile(unixPath));
  ASSERT_TRUE(version.loaded());
  const VS_FIXEDFILEINFO* fixed = version.fixed();
  ASSERT_NE(nullptr, fixed);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(KSTV_VERSION_MINOR, KSTV_VERSION_MAJOR)),
            fixed->dwFileVersionMS);
  EXPECT_EQ(static_cast<DWORD>(MAKELONG(KSTV_VERSION_BUILD, KSTV_VERSION_PATCH)),
            fixed->dwFileVersionLS);
  EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
  EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
  EXPECT_EQ(fileType, fixed->dwFileType);
  EXPECT_EQ(KSTV_VERSION, version.text("FileVersion"));
  EXPECT_EQ(KSTV_VERSION, version.text("ProductVersion"));
  EXPECT_EQ("Kestrova", version.text("CompanyName"));
  EXPECT_EQ("Kestrova Card Reader", version.text("ProductName"));
  EXPECT_EQ(originalName, version.text("OriginalFilename"));
  EXPECT_NE("", version.text("FileDescription"));
  EXPECT_NE("", version.text("LegalCopyright"));
}

TEST(ProductResourcesTest, TheProgramAndItsMessageFileCarryTheProjectsVersion) {
  ExpectProjectVersion(KSTV_PRODUCT_UNIX_PATH, VFT_APP, "KstvCardReader.exe");
  ExpectProjectVersion(KSTV_MESSAGES_UNIX_PATH, VFT_DLL, "KstvCardReaderMessages.dll");
}

}  // namespace
}  // namespace kstv::test
