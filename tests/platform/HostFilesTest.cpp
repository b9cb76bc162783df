// Files of the emulated drive C: where only the host's own view of the file shows what a
// call did: a refused open leaves the file's bytes as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/handles.h"
#include "platform/host/control.h"

namespace kstv::test {
namespace {

constexpr char kFolder[] = "C:\\KstvHostFilesTest";
constexpr char kFile[] = "C:\\KstvHostFilesTest\\file.log";

class HostFilesTest : public ::testing::Test {
 protected:
  HostFilesTest() {
    std::filesystem::remove_all(host::hostPathOf(kFolder));
    std::filesystem::create_directories(host::hostPathOf(kFolder));
  }
  ~HostFilesTest() override { std::filesystem::remove_all(host::hostPathOf(kFolder)); }

  static std::string text() {
    std::ifstream file(host::hostPathOf(kFile), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
  }
};

TEST_F(HostFilesTest, AnOpenRefusedForItsSharingEmptiesNothing) {
  UniqueFileHandle writer(CreateFileA(kFile, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writer.get(), "kept", 4, &written, nullptr));
  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING}) {
    SCOPED_TRACE(disposition);
    UniqueFileHandle other(CreateFileA(kFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_FALSE(other);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
    EXPECT_EQ("kept", text());
  }
}

}  // namespace
}  // namespace kstv::test
