// What the emulated machine asks of a caller that opens a volume, as Windows documents
// it: sharing with other readers and writers, and an existing device; and how an empty
// slot and a failing card answer.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/handles.h"
#include "tests/support/EmulatedVolumes.h"

namespace kstv::test {
namespace {

HANDLE OpenVolume(DWORD shareMode, DWORD disposition, DWORD access = GENERIC_READ | GENERIC_WRITE) {
  SetLastError(0xdeadbeef);
  return CreateFileA("\\\\.\\E:", access, shareMode, nullptr, disposition, 0, nullptr);
}

constexpr DWORD kShared = FILE_SHARE_READ | FILE_SHARE_WRITE;

// One device control without buffers (the medium checks); its last error, 0 on success.
DWORD Control(HANDLE volume, DWORD code) {
  DWORD returned = 0;
  SetLastError(0xdeadbeef);
  return DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr) ? 0
                                                                                   : GetLastError();
}

bool QueryHeader(HANDLE volume) {
  STORAGE_PROPERTY_QUERY query{};
  STORAGE_DESCRIPTOR_HEADER header{};
  DWORD returned = 0;
  return DeviceIoControl(volume, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &header,
                         sizeof header, &returned, nullptr) != 0;
}

TEST(HostVolumesTest, AVolumeOpensOnlyWhenSharedForReadingAndWriting) {
  OnlySystemDiskAfterwards volumes;
  host::addVolume(cardVolume('E', "SDHC Reader"));
  for (DWORD share : {0ul, FILE_SHARE_READ, FILE_SHARE_WRITE}) {
    SCOPED_TRACE(share);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenVolume(share, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  }
  UniqueFileHandle opened(OpenVolume(FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  EXPECT_TRUE(opened);
}

TEST(HostVolumesTest, AVolumeIsOpenedOnlyAsAnExistingDevice) {
  OnlySystemDiskAfterwards volumes;
  host::addVolume(cardVolume('E', "SDHC Reader"));
  for (DWORD disposition : {CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
    SCOPED_TRACE(disposition);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenVolume(FILE_SHARE_READ | FILE_SHARE_WRITE, disposition));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
}

// The reader answers for an empty slot, but an open that would mount a file system fails,
// and so does the medium check, the one that needs read access already on a handle
// without rights (FILE_READ_ACCESS in its code).
TEST(HostVolumesTest, AnEmptySlotOpensOnlyWithoutRightsAndHasNoMedium) {
  OnlySystemDiskAfterwards volumes;
  host::Volume empty = cardVolume('E', "SDHC Reader");
  empty.noMedium = true;
  host::addVolume(empty);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenVolume(kShared, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  UniqueFileHandle opened(OpenVolume(kShared, OPEN_EXISTING, 0));
  ASSERT_TRUE(opened);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY),
            Control(opened.get(), IOCTL_STORAGE_CHECK_VERIFY2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
            Control(opened.get(), IOCTL_STORAGE_CHECK_VERIFY));
  EXPECT_TRUE(QueryHeader(opened.get()));

  host::addVolume(cardVolume('E', "SDHC Reader"));  // a card goes in
  EXPECT_EQ(0u, Control(opened.get(), IOCTL_STORAGE_CHECK_VERIFY2));
  UniqueFileHandle reading(OpenVolume(kShared, OPEN_EXISTING, GENERIC_READ));
  ASSERT_TRUE(reading);
  EXPECT_EQ(0u, Control(reading.get(), IOCTL_STORAGE_CHECK_VERIFY));
}

// A failing card takes its time for every answer and for a mount, not for an open that
// asks for no rights.
TEST(HostVolumesTest, ASlowVolumeTakesItsTimeForEachAnswerAndForAMount) {
  OnlySystemDiskAfterwards volumes;
  host::Volume slow = cardVolume('E', "SDHC Reader");
  slow.answerMilliseconds = 100;
  host::addVolume(slow);
  auto timed = [](auto step) {
    const auto start = std::chrono::steady_clock::now();
    step();
    return std::chrono::steady_clock::now() - start;
  };
  UniqueFileHandle opened;
  EXPECT_LT(timed([&] { opened.reset(OpenVolume(kShared, OPEN_EXISTING, 0)); }),
            std::chrono::milliseconds(50));
  ASSERT_TRUE(opened);
  EXPECT_GE(timed([&] { EXPECT_TRUE(QueryHeader(opened.get())); }), std::chrono::milliseconds(100));
  EXPECT_GE(timed([&] { EXPECT_EQ(0u, Control(opened.get(), IOCTL_STORAGE_CHECK_VERIFY2)); }),
            std::chrono::milliseconds(100));
  EXPECT_GE(timed([] { UniqueFileHandle mounted(OpenVolume(kShared, OPEN_EXISTING)); }),
            std::chrono::milliseconds(100));
}

TEST(HostVolumesTest, UnderChaosTheStoragePropertyQueryIsSlow) {
  OnlySystemDiskAfterwards volumes;
  host::addVolume(cardVolume('E', "SDHC Reader"));
  UniqueFileHandle opened(OpenVolume(FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  ASSERT_TRUE(opened);
  auto tenQueries = [&] {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
      STORAGE_PROPERTY_QUERY query{};
      STORAGE_DESCRIPTOR_HEADER header{};
      DWORD returned = 0;
      EXPECT_TRUE(DeviceIoControl(opened.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                                  &header, sizeof header, &returned, nullptr));
    }
    return std::chrono::steady_clock::now() - start;
  };
  EXPECT_LT(tenQueries(), std::chrono::milliseconds(100));
  host::setChaos(3);
  const auto slow = tenQueries();  // 0 to 200 ms each
  host::setChaos(std::nullopt);
  EXPECT_GE(slow, std::chrono::milliseconds(300));
  EXPECT_LE(slow, std::chrono::milliseconds(2000 + 500));
}

}  // namespace
}  // namespace kstv::test
