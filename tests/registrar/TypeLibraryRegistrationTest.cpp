// The program's own type library, registered and unregistered through the platform.
// Runs on the host layer and under Wine (whose test program carries the same library),
// so that the host's RegisterTypeLib is held to what Windows writes.
#include <gtest/gtest.h>

#include <string>

#include "module/ServiceModule.h"
#include "platform/handles.h"
#include "registrar/TypeLibraryRegistration.h"
#include "tests/support/RegistryValues.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

constexpr char kLibraryKey[] = "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}";
constexpr char kVersionKey[] = "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}\\1.0";
constexpr GUID kLibraryId = {
    0x2C7E9A15, 0xB4D3, 0x4F08, {0x8E, 0x61, 0x5A, 0x0F, 0x93, 0xD7, 0xC2, 0xB4}};

std::string ownPath() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return std::string(path, length);
}

class TypeLibraryRegistrationTest : public ::testing::Test {
 protected:
  TypeLibraryRegistrationTest() {
    CoInitialize(nullptr);
    InitializedTestServiceModule();
  }
  ~TypeLibraryRegistrationTest() override {
    removeTree(HKEY_CLASSES_ROOT, kLibraryKey);
    CoUninitialize();
  }
};

TEST_F(TypeLibraryRegistrationTest, TheLibraryIsFoundInTheProgramsOwnFile) {
  UniqueBstr path;
  UniqueInterface<ITypeLib> library;
  ASSERT_EQ(S_OK, locateOwnTypeLibrary(TestServiceModule(), path.put(), library.put()));
  ASSERT_TRUE(path);
  EXPECT_EQ(ownPath().size(), SysStringLen(path.get()));

  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, library.get()->GetLibAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(kLibraryId, attributes->guid));
  EXPECT_EQ(0x409u, attributes->lcid);
  EXPECT_EQ(SYS_WIN32, attributes->syskind);
  EXPECT_EQ(1, attributes->wMajorVerNum);
  EXPECT_EQ(0, attributes->wMinorVerNum);
  library.get()->ReleaseTLibAttr(attributes);
}

TEST_F(TypeLibraryRegistrationTest, RegistrationWritesTheLibraryWithItsPathAndHelpDirectory) {
  ASSERT_EQ(S_OK, registerServerEntries(TestServiceModule(), TRUE));
  const std::string path = ownPath();
  EXPECT_EQ("KstvCardReader 1.0 Type Library", defaultValue(kVersionKey));
  EXPECT_EQ(path, defaultValue(std::string(kVersionKey) + "\\409\\win32"));
  EXPECT_EQ(path.substr(0, path.rfind('\\') + 1),
            defaultValue(std::string(kVersionKey) + "\\HELPDIR"));
  // The library was read from a file: LIBFLAG_FHASDISKIMAGE.
  EXPECT_EQ("8", defaultValue(std::string(kVersionKey) + "\\FLAGS"));
}

TEST_F(TypeLibraryRegistrationTest, UnregistrationRemovesTheLibraryAndAlwaysSucceeds) {
  ASSERT_EQ(S_OK, registerServerEntries(TestServiceModule(), TRUE));
  EXPECT_EQ(S_OK, unregisterServerEntries(TestServiceModule(), TRUE));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
  // Nothing left to remove: still S_OK.
  EXPECT_EQ(S_OK, unregisterServerEntries(TestServiceModule(), TRUE));
}

TEST_F(TypeLibraryRegistrationTest, TheRegisteredPathIsFoundOnlyWhileTheLibraryIsRegistered) {
  UniqueBstr path;
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, QueryPathOfRegTypeLib(kLibraryId, 1, 0, 0x409, path.put()));
  EXPECT_FALSE(path);
  ASSERT_EQ(S_OK, registerServerEntries(TestServiceModule(), TRUE));
  ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(kLibraryId, 1, 0, 0x409, path.put()));
  ASSERT_TRUE(path);
  EXPECT_EQ(ownPath().size(), SysStringLen(path.get()));
  path.reset();
  EXPECT_EQ(TYPE_E_LIBNOTREGISTERED, QueryPathOfRegTypeLib(kLibraryId, 2, 0, 0x409, path.put()))
      << "another major version is another library";
}

TEST_F(TypeLibraryRegistrationTest, RemovingTheRegistrationOfALibraryThatIsNotThereSucceeds) {
  // The platforms disagree on what UnRegisterTypeLib says then (Windows:
  // TYPE_E_REGISTRYACCESS, Wine: E_INVALIDARG); the removal asks first.
  EXPECT_EQ(S_OK, removeOwnTypeLibraryRegistration(TestServiceModule()));
  ASSERT_EQ(S_OK, registerServerEntries(TestServiceModule(), TRUE));
  EXPECT_EQ(S_OK, removeOwnTypeLibraryRegistration(TestServiceModule()));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

TEST_F(TypeLibraryRegistrationTest, WithoutTheTypeLibraryNothingIsRegistered) {
  EXPECT_EQ(S_OK, registerServerEntries(TestServiceModule(), FALSE));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

}  // namespace
}  // namespace kstv::test
