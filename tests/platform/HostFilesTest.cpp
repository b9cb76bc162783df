// Files of the emulated drive C: where only the host's own view of the file shows what a
// call did: a refused open leaves the file's bytes as they were; the descriptor a folder
// is given is the one reported, and what is made in it gets what it passes on.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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
  ~HostFilesTest() override {
    std::filesystem::remove_all(host::hostPathOf(kFolder));
    host::resetFileSecurity();
  }

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

struct EntrySeen {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  std::string sid;  // its bytes
  bool operator==(const EntrySeen&) const = default;
};

std::string SidText(const void* sid) {
  return std::string(static_cast<const char*>(sid), GetLengthSid(const_cast<void*>(sid)));
}

// The owner and the entries GetNamedSecurityInfoA reports for `path`.
std::pair<std::string, std::vector<EntrySeen>> Reported(const char* path) {
  PSID owner = nullptr;
  PACL list = nullptr;
  UniqueLocalMemory descriptor;
  std::vector<EntrySeen> entries;
  if (GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                            &list, nullptr, descriptor.put()) != ERROR_SUCCESS)
    return {};
  for (DWORD index = 0; list && index < list->AceCount; ++index) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    GetAce(list, index, reinterpret_cast<LPVOID*>(&entry));
    entries.push_back(
        {entry->Header.AceType, entry->Header.AceFlags, entry->Mask, SidText(&entry->SidStart)});
  }
  return {SidText(owner), entries};
}

TEST_F(HostFilesTest, AFolderReportsItsOwnDescriptorAndPassesItsEntriesOnAsWindowsDoes) {
  const std::string bu("\x01\x02\0\0\0\0\0\x05\x20\0\0\0\x21\x02\0\0", 16);
  const std::string ba("\x01\x02\0\0\0\0\0\x05\x20\0\0\0\x20\x02\0\0", 16);
  const std::string sy("\x01\x01\0\0\0\0\0\x05\x12\0\0\0", 12);
  ASSERT_TRUE(host::setFileSecurity(
      kFolder,
      "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;;0x1200a9;;;BU)(A;OICIIO;GW;;;BU)(D;CINP;SD;;;BU)"));
  ASSERT_TRUE(std::filesystem::create_directories(host::hostPathOf(kFolder) + "/sub"));
  std::ofstream(host::hostPathOf(kFile)) << "x";
  using Seen = std::vector<EntrySeen>;
  EXPECT_EQ(std::make_pair(ba, Seen{{0, 0x3, FILE_ALL_ACCESS, sy},
                                    {0, 0x0, 0x1200a9, bu},
                                    {0, 0xB, GENERIC_WRITE, bu},
                                    {1, 0x6, DELETE, bu}}),
            Reported(kFolder));
  // The file: what applies to files, generic rights mapped.
  EXPECT_EQ(
      std::make_pair(ba, Seen{{0, 0x10, FILE_ALL_ACCESS, sy}, {0, 0x10, FILE_GENERIC_WRITE, bu}}),
      Reported(kFile));
  // The folder: what applies to folders and is passed on, and the rest passed on unapplied;
  // an entry that goes no further applies here only.
  EXPECT_EQ(std::make_pair(ba, Seen{{0, 0x13, FILE_ALL_ACCESS, sy},
                                    {0, 0x10, FILE_GENERIC_WRITE, bu},
                                    {0, 0x1B, GENERIC_WRITE, bu},
                                    {1, 0x10, DELETE, bu}}),
            Reported("C:\\KstvHostFilesTest\\sub"));
  for (const char* text : {"O:XYD:", "D:(A;;FA;;;SY", "D:(Q;;FA;;;SY)", "D:(A;;ZZ;;;SY)",
                           "D:(A;;FA;;;S-1-5-x)", "D:PAI(A;OICI;FA;;;SY)junk"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(host::setFileSecurity(kFolder, text)) << "not SDDL";
  }
  EXPECT_FALSE(host::setFileSecurity("D:\\Tools", "O:BA")) << "not on drive C:";
}

}  // namespace
}  // namespace kstv::test
