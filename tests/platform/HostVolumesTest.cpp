// What the emulated machine asks of a caller that opens a volume, as Windows documents
// it: sharing with other readers and writers, and an existing device.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/handles.h"
#include "tests/support/EmulatedVolumes.h"

namespace kstv::test {
namespace {

HANDLE OpenVolume(DWORD shareMode, DWORD disposition) {
  SetLastError(0xdeadbeef);
  return CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, shareMode, nullptr, disposition, 0,
                     nullptr);
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
