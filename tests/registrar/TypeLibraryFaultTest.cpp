// Type-library registration on the emulated machine: where the library is looked for,
// module paths that do not fit or cannot be read, and the platform failing at each step.
// Every library, string and attribute block is released on every path.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "module/ServiceModule.h"
#include "platform/handles.h"
#include "platform/host/control.h"
#include "registrar/TypeLibraryRegistration.h"
#include "tests/support/ModuleResources.h"
#include "tests/support/RegistryValues.h"
#include "tests/support/ScratchKey.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

constexpr char kLibraryKey[] = "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}";
constexpr char kVersionKey[] = "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}\\1.0";
constexpr HRESULT kCannotLoad = TYPE_E_CANTLOADLIBRARY;

std::string text(BSTR value) {
  std::string result;
  for (UINT i = 0; i < SysStringLen(value); ++i) result += static_cast<char>(value[i]);
  return result;
}

class TypeLibraryFaultTest : public ::testing::Test {
 protected:
  TypeLibraryFaultTest() : bstrs_(host::liveBstrCount()), objects_(host::liveComObjectCount()) {
    InitializedTestServiceModule();
  }
  ~TypeLibraryFaultTest() override {
    host::clearFailures();
    host::setAnsiCodePage(1252);
    host::setModulePath(host::kDefaultModulePath);
    removeTree(HKEY_CLASSES_ROOT, kLibraryKey);
    for (const std::string& file : files_) std::filesystem::remove(host::hostPathOf(file));
    EXPECT_EQ(bstrs_, host::liveBstrCount()) << "a path string leaked";
    EXPECT_EQ(objects_, host::liveComObjectCount()) << "a library leaked";
    EXPECT_EQ(0u, host::liveTypeLibraryAttributes());
    EXPECT_EQ(0u, host::loadedLibraries()) << "oleaut32.dll stayed loaded";
  }

  // The program's library as a separate file on drive C:.
  void placeLibraryFile(const std::string& windowsPath) {
    std::string_view bytes = resourceBytes(nullptr, MAKEINTRESOURCEA(1), "TYPELIB");
    ASSERT_FALSE(bytes.empty());
    std::filesystem::path file = host::hostPathOf(windowsPath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<long>(bytes.size()));
    files_.push_back(windowsPath);
  }

  // The program's own file carries no library: its first LoadTypeLib fails.
  static void withoutEmbeddedLibrary() { host::failCall("LoadTypeLib", kCannotLoad, 1); }

  HRESULT locate(std::string& path) {
    UniqueBstr found;
    UniqueInterface<ITypeLib> library;
    HRESULT result = locateOwnTypeLibrary(TestServiceModule(), found.put(), library.put());
    EXPECT_EQ(SUCCEEDED(result), static_cast<bool>(found));
    EXPECT_EQ(SUCCEEDED(result), static_cast<bool>(library));
    path = found ? text(found.get()) : "";
    return result;
  }

 private:
  std::size_t bstrs_, objects_;
  std::vector<std::string> files_;
};

TEST_F(TypeLibraryFaultTest, TheOwnFileIsRegisteredWithItsFolderAsHelpDirectory) {
  host::setModulePath("C:\\Apps\\KstvCardReader.exe");
  ASSERT_EQ(S_OK, registerOwnTypeLibrary(TestServiceModule()));
  EXPECT_EQ("C:\\Apps\\KstvCardReader.exe",
            defaultValue(std::string(kVersionKey) + "\\409\\win32"));
  EXPECT_EQ("C:\\Apps\\", defaultValue(std::string(kVersionKey) + "\\HELPDIR"));
}

TEST_F(TypeLibraryFaultTest, TheHelpDirectoryEndsAtTheLastBackslashSlashOrColon) {
  struct Case {
    const char* program;
    const char* helpDirectory;
  } cases[] = {{"C:KstvCardReader.exe", "C:"},
               {"C:\\Apps/Tools\\Kstv:Reader.exe", "C:\\Apps/Tools\\Kstv:"},
               {"C:/Apps/KstvCardReader.exe", "C:/Apps/"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    host::setModulePath(c.program);
    ASSERT_EQ(S_OK, registerOwnTypeLibrary(TestServiceModule()));
    EXPECT_EQ(c.program, defaultValue(std::string(kVersionKey) + "\\409\\win32"));
    EXPECT_EQ(c.helpDirectory, defaultValue(std::string(kVersionKey) + "\\HELPDIR"));
  }
}

TEST_F(TypeLibraryFaultTest, WithoutAnEmbeddedLibraryTheTlbBesideTheProgramIsRegistered) {
  host::setModulePath("C:\\Apps\\KstvCardReader.exe");
  placeLibraryFile("C:\\Apps\\KstvCardReader.tlb");
  withoutEmbeddedLibrary();
  ASSERT_EQ(S_OK, registerOwnTypeLibrary(TestServiceModule()));
  EXPECT_EQ("C:\\Apps\\KstvCardReader.tlb",
            defaultValue(std::string(kVersionKey) + "\\409\\win32"));
}

TEST_F(TypeLibraryFaultTest, TheTlbNameReplacesOnlyTheLastComponentsLastExtension) {
  struct Case {
    const char* program;
    const char* library;
  } cases[] = {{"C:\\app.d\\prog", "C:\\app.d\\prog.tlb"},
               {"C:\\x\\a.b.exe", "C:\\x\\a.b.tlb"},
               {"C:\\x/y.d/prog", "C:\\x/y.d/prog.tlb"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program);
    host::setModulePath(c.program);
    placeLibraryFile(c.library);
    withoutEmbeddedLibrary();
    std::string path;
    EXPECT_EQ(S_OK, locate(path));
    EXPECT_EQ(c.library, path);
  }
}

TEST_F(TypeLibraryFaultTest, ADoubleByteCharacterWhoseTrailIsABackslashKeepsTheExtension) {
  host::setAnsiCodePage(932);
  // 0x95 0x5C is one character; its trail byte is no separator.
  host::setModulePath("C:\\x\\a.b\x95\x5C");
  placeLibraryFile("C:\\x\\a.tlb");
  withoutEmbeddedLibrary();
  std::string path;
  EXPECT_EQ(S_OK, locate(path));
}

TEST_F(TypeLibraryFaultTest, WhenNeitherFileHoldsTheLibraryTheSecondErrorIsReported) {
  host::failCall("LoadTypeLib", static_cast<DWORD>(E_ACCESSDENIED), 1);
  std::string path;
  EXPECT_EQ(kCannotLoad, locate(path));  // no .tlb beside the program
  host::failCall("LoadTypeLib", static_cast<DWORD>(E_ACCESSDENIED), 1);
  EXPECT_EQ(kCannotLoad, registerOwnTypeLibrary(TestServiceModule()));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

TEST_F(TypeLibraryFaultTest, ATlbNameThatWouldNotFitIsRefused) {
  // The extension starts at offset 255: 255 + ".tlb" + NUL = 260 still fits.
  host::setModulePath("C:\\" + std::string(252, 'p'));
  withoutEmbeddedLibrary();
  std::string path;
  EXPECT_EQ(kCannotLoad, locate(path));
  // One more byte: 261 would be needed.
  host::setModulePath("C:\\" + std::string(253, 'p'));
  withoutEmbeddedLibrary();
  EXPECT_EQ(E_FAIL, locate(path));
}

TEST_F(TypeLibraryFaultTest, ModulePathsThatDoNotFitOrCannotBeReadAreTheirErrors) {
  std::string path;
  host::setModulePath("C:\\" + std::string(300, 'p') + ".exe");
  EXPECT_EQ(static_cast<HRESULT>(0x8007006F), locate(path));
  host::setModulePath(host::kDefaultModulePath);
  host::failCall("GetModuleFileNameA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(static_cast<HRESULT>(0x80070005), locate(path));
  // A failure that leaves no error is still a failure, never a success without a path.
  host::failCall("GetModuleFileNameA", ERROR_SUCCESS, 1);
  EXPECT_EQ(E_FAIL, locate(path));
}

TEST_F(TypeLibraryFaultTest, APathThatCannotBeConvertedIsOutOfMemory) {
  host::failCall("MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION, 1);
  std::string path;
  EXPECT_EQ(E_OUTOFMEMORY, locate(path));
}

TEST_F(TypeLibraryFaultTest, APathStringThatCannotBeMadeReleasesTheLibrary) {
  host::failCall("SysAllocString", ERROR_OUTOFMEMORY, 1);
  std::string path;
  EXPECT_EQ(E_OUTOFMEMORY, locate(path));
}

TEST_F(TypeLibraryFaultTest, AFailedRegistrationIsItsResult) {
  host::failCall("RegisterTypeLib", static_cast<DWORD>(TYPE_E_REGISTRYACCESS));
  EXPECT_EQ(TYPE_E_REGISTRYACCESS, registerServerEntries(TestServiceModule(), TRUE));
}

TEST_F(TypeLibraryFaultTest, WithoutItsEntryPointNothingIsUnregisteredAndAllIsWell) {
  ASSERT_EQ(S_OK, registerOwnTypeLibrary(TestServiceModule()));
  host::failCall("LoadLibraryA", 126, 1);
  EXPECT_EQ(S_OK, unregisterOwnTypeLibrary(TestServiceModule()));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kVersionKey));
  host::failCall("GetProcAddress", 127, 1);
  EXPECT_EQ(S_OK, unregisterOwnTypeLibrary(TestServiceModule()));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kVersionKey));
  EXPECT_EQ(S_OK, unregisterOwnTypeLibrary(TestServiceModule()));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kLibraryKey));
}

TEST_F(TypeLibraryFaultTest, UnregistrationFailuresAreReportedButUnregisterServerEntriesSucceeds) {
  ASSERT_EQ(S_OK, registerOwnTypeLibrary(TestServiceModule()));
  host::failCall("ITypeLib::GetLibAttr", static_cast<DWORD>(E_OUTOFMEMORY), 1);
  EXPECT_EQ(E_OUTOFMEMORY, unregisterOwnTypeLibrary(TestServiceModule()));
  EXPECT_EQ(0u, host::callCount("LoadLibraryA"));
  host::failCall("UnRegisterTypeLib", static_cast<DWORD>(TYPE_E_REGISTRYACCESS), 1);
  EXPECT_EQ(TYPE_E_REGISTRYACCESS, unregisterOwnTypeLibrary(TestServiceModule()));
  host::failCall("LoadTypeLib", kCannotLoad, 2);
  EXPECT_EQ(S_OK, unregisterServerEntries(TestServiceModule(), TRUE));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, kVersionKey));
}

}  // namespace
}  // namespace kstv::test
