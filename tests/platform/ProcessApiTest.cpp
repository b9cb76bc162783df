// The process-level calls the entry relies on; runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>

#include "platform/win32.h"

namespace kstv::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

TEST(ProcessApiTest, TheLastErrorBelongsToEachThread) {
  std::atomic<bool> otherHasSetIt{false};
  std::atomic<bool> checked{false};
  DWORD seenByOther = 0;
  std::thread other([&] {
    SetLastError(ERROR_ACCESS_DENIED);
    seenByOther = GetLastError();
    otherHasSetIt = true;
    while (!checked) std::this_thread::yield();
  });
  SetLastError(kSentinel);  // after the thread's creation, which may set it
  while (!otherHasSetIt) std::this_thread::yield();
  EXPECT_EQ(kSentinel, GetLastError());
  checked = true;
  other.join();
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), seenByOther);
}

TEST(ProcessApiTest, GetModuleFileNameGivesTheProgramsFullPath) {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  ASSERT_GT(length, 0u);
  EXPECT_EQ(std::strlen(path), length);
  EXPECT_EQ(':', path[1]);  // a drive letter, a colon
  EXPECT_NE(nullptr, std::strrchr(path, '\\'));
  // The same path as the system keeps it, in UTF-16 (ASCII here, so unit for byte).
  WCHAR wide[MAX_PATH];
  ASSERT_EQ(length, GetModuleFileNameW(nullptr, wide, MAX_PATH));
  for (DWORD i = 0; i <= length; ++i) EXPECT_EQ(static_cast<WCHAR>(path[i]), wide[i]) << i;
}

TEST(ProcessApiTest, GetModuleFileNameCutsAPathThatDoesNotFitAndSaysSo) {
  char full[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, full, MAX_PATH), 5u);
  char path[8];
  std::memset(path, 0x55, sizeof path);
  SetLastError(kSentinel);
  EXPECT_EQ(5u, GetModuleFileNameA(nullptr, path, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  // Whether the last byte is a NUL differs between Windows versions; nothing relies on it.
  EXPECT_EQ(std::string(full, 4), std::string(path, 4));
  EXPECT_EQ(0x55, path[5]);
}

TEST(ProcessApiTest, TheCommandLineBeginsWithTheProgram) {
  const char* commandLine = GetCommandLineA();
  ASSERT_NE(nullptr, commandLine);
  char path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, path, MAX_PATH), 0u);
  const char* name = std::strrchr(path, '\\') + 1;
  std::string line(commandLine);
  // Windows gives the path as it was started, quoted or not, and not always in full.
  std::string lowerLine, lowerName(name);
  for (char c : line) lowerLine += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (char& c : lowerName) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string stem = lowerName.substr(0, lowerName.rfind('.'));
  EXPECT_NE(std::string::npos, lowerLine.find(stem)) << line;
}

TEST(ProcessApiTest, CoInitializeCountsItsCallsOnEachThread) {
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  EXPECT_EQ(S_FALSE, CoInitialize(nullptr));
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(S_OK, CoInitialize(nullptr));
  CoUninitialize();
}

// The answers the single-run check relies on: the first creation of a name makes the
// object, a later one opens it (another handle) and says ERROR_ALREADY_EXISTS, and the
// object goes with its last handle. Names are case-sensitive.
TEST(ProcessApiTest, ANamedMutexIsMadeOnceAndOpenedAfterwardsUntilItsLastHandleCloses) {
  constexpr char kName[] = "Global\\KstvCardReaderProcessApiTest";
  SetLastError(kSentinel);
  HANDLE first = CreateMutexA(nullptr, FALSE, kName);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  SetLastError(kSentinel);
  HANDLE second = CreateMutexA(nullptr, FALSE, kName);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  SetLastError(kSentinel);
  HANDLE otherCase = CreateMutexA(nullptr, FALSE, "Global\\kstvcardreaderprocessapitest");
  ASSERT_NE(nullptr, otherCase);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_TRUE(CloseHandle(otherCase));
  EXPECT_TRUE(CloseHandle(first));
  SetLastError(kSentinel);
  HANDLE third = CreateMutexA(nullptr, FALSE, kName);  // the second handle keeps it
  ASSERT_NE(nullptr, third);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(CloseHandle(third));
  SetLastError(kSentinel);
  HANDLE again = CreateMutexA(nullptr, FALSE, kName);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_TRUE(CloseHandle(again));
}

// The claim of one run per machine is a section, which a user cannot make in the global
// namespace; objects of every kind share the names there, so a name another kind holds is
// refused (ERROR_INVALID_HANDLE) rather than opened.
TEST(ProcessApiTest, ANamedSectionIsMadeOnceAndItsNameIsRefusedToAnotherKindOfObject) {
  constexpr char kName[] = "Global\\KstvCardReaderProcessApiTestSection";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
      "D:P(A;;GA;;;SY)(A;;GA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  SetLastError(kSentinel);
  HANDLE section =
      CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READONLY, 0, 1, kName);
  ASSERT_NE(nullptr, section);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  SetLastError(kSentinel);
  HANDLE again = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READONLY, 0, 1, kName);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(CloseHandle(again));
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, kName));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(CloseHandle(section));
  LocalFree(descriptor);

  HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
  ASSERT_NE(nullptr, mutex);
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, 1, kName));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(ProcessApiTest, ANameBelowANamespaceThatDoesNotExistIsRefused) {
  SetLastError(kSentinel);
  EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, "NoSuchNamespace\\KstvCardReader"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

}  // namespace
}  // namespace kstv::test

namespace kstv::test {
namespace {

// Where a message box may be shown: the flags of the process's window station. A test
// program started by a user (or CI) runs on a station that the user sees.
TEST(ProcessApiTest, TheProcessWindowStationSaysWhetherAUserSeesIt) {
  HWINSTA station = GetProcessWindowStation();
  ASSERT_NE(nullptr, station);
  USEROBJECTFLAGS flags;
  std::memset(&flags, 0x55, sizeof flags);
  DWORD needed = kSentinel;
  SetLastError(kSentinel);
  ASSERT_TRUE(GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed));
  EXPECT_EQ(sizeof flags, needed);
  EXPECT_EQ(static_cast<DWORD>(WSF_VISIBLE), flags.dwFlags & WSF_VISIBLE);

  // Too small a buffer: the size it needs, and nothing copied. (No error code is
  // documented: the host gives ERROR_INSUFFICIENT_BUFFER, Wine ERROR_BUFFER_OVERFLOW.)
  USEROBJECTFLAGS untouched;
  std::memset(&untouched, 0x55, sizeof untouched);
  needed = kSentinel;
  EXPECT_FALSE(
      GetUserObjectInformationA(station, UOI_FLAGS, &untouched, sizeof untouched - 1, &needed));
  EXPECT_EQ(sizeof flags, needed);
  EXPECT_EQ(0x55555555u, untouched.dwFlags);
}

}  // namespace
}  // namespace kstv::test
