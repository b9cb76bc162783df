// Where the program may lie to run as the system: each case gives files and folders of
// the emulated drive C: their descriptors, and the check of the program's path says
// which file or folder, if any, others than the administrators may change.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "module/ProgramFile.h"
#include "platform/host/control.h"
#include "service/ProgramLocation.h"

namespace kstv::test {
namespace {

// The package's lock: the administrators' own, not inherited, users read and run.
constexpr char kLocked[] = "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";
constexpr char kSomeUser[] = "S-1-5-21-1-2-3-1001";

struct LocationCase {
  const char* name;
  const char* program;
  std::vector<std::pair<std::string, std::string>> descriptors;  // path, SDDL
  DWORD code;
  const char* where;  // the file or folder named, for a refusal
};

class ProgramLocationTest : public ::testing::Test {
 protected:
  ProgramLocationTest() : localBlocks_(host::liveLocalAllocations()) { host::resetFileSecurity(); }
  ~ProgramLocationTest() override {
    EXPECT_EQ(localBlocks_, host::liveLocalAllocations()) << "a descriptor was not freed";
    host::resetFileSecurity();
    host::setModulePath(host::kDefaultModulePath);
    host::setAnsiCodePage(1252);
  }

 private:
  std::size_t localBlocks_;
};

TEST_F(ProgramLocationTest, OnlyAFolderThatNoneButTheAdministratorsMayChangeHoldsTheProgram) {
  const std::string runner = "S-1-22-1-" + std::to_string(getuid());
  const LocationCase cases[] = {
      {"the default install folder below C:\\Program Files",
       host::kDefaultModulePath,
       {},
       ERROR_SUCCESS,
       ""},
      {"a folder made by hand below C:\\, where users may change what is made",
       "C:\\Tools\\KstvCardReader.exe",
       {},
       kProgramChangeableByOthers,
       "C:\\Tools"},
      {"locked folders, but below one that users may rename two levels up",
       "C:\\Tools\\Card Reader\\Bin\\KstvCardReader.exe",
       {{"C:\\Tools\\Card Reader", kLocked}},
       kProgramChangeableByOthers,
       "C:\\Tools"},
      {"a folder that a user owns, whatever its list says",
       host::kDefaultModulePath,
       {{"C:\\Program Files\\Kestrova\\MemoryCard",
         std::string("O:") + kSomeUser + "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}},
       kProgramChangeableByOthers,
       "C:\\Program Files\\Kestrova\\MemoryCard"},
      {"the package's lock right below C:\\, where users may only make folders",
       "C:\\Card Reader\\KstvCardReader.exe",
       {{"C:\\Card Reader", kLocked}},
       ERROR_SUCCESS,
       ""},
      {"the drive's root itself: its files are the users' to change",
       "C:\\KstvCardReader.exe",
       {},
       kProgramChangeableByOthers,
       "C:\\KstvCardReader.exe"},
      {"a drive root that users may modify, DELETE included, cannot be renamed",
       "C:\\Card Reader\\KstvCardReader.exe",
       {{"C:\\", "O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;AU)"},
        {"C:\\Card Reader", kLocked}},
       ERROR_SUCCESS,
       ""},
      {"an entry passed on to subfolders only applies to neither the folder nor the program",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CIIO;FA;;;BU)"}},
       ERROR_SUCCESS,
       ""},
      {"generic write on the program",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", kLocked}, {"C:\\Apps\\KstvCardReader.exe", "O:BAD:P(A;;FA;;;BA)(A;;GW;;;BU)"}},
       kProgramChangeableByOthers,
       "C:\\Apps\\KstvCardReader.exe"},
      {"deleting what its folder holds",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;;DT;;;BU)"}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"adding a file beside the program",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;;DC;;;BU)"}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"adding a folder beside the program changes nothing that runs",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;;LC;;;BU)"}},
       ERROR_SUCCESS,
       ""},
      {"rewriting the list of a folder above",
       "C:\\Apps\\Bin\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;;WD;;;BU)"}, {"C:\\Apps\\Bin", kLocked}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"deleting the folder below through a folder above",
       "C:\\Apps\\Bin\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;;DT;;;BU)"}, {"C:\\Apps\\Bin", kLocked}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"a denying entry grants nothing",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(D;;FA;;;BU)(A;OICI;FA;;;BA)"}},
       ERROR_SUCCESS,
       ""},
      {"a folder without an access list",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:NO_ACCESS_CONTROL"}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"the account that runs the check owns it (an administrator's Downloads)",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:" + runner + "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"the account that runs the check may write it",
       "C:\\Apps\\KstvCardReader.exe",
       {{"C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;" + runner + ")"}},
       kProgramChangeableByOthers,
       "C:\\Apps"},
      {"a share's root is its own: \\\\server\\share\\ is read first",
       "\\\\server\\share\\KstvCardReader.exe",
       {},
       ERROR_PATH_NOT_FOUND,
       "\\\\server\\share\\"},
  };
  for (const LocationCase& c : cases) {
    SCOPED_TRACE(c.name);
    host::resetFileSecurity();
    for (const auto& [path, sddl] : c.descriptors) ASSERT_TRUE(host::setFileSecurity(path, sddl));
    host::setModulePath(c.program);
    char where[MAX_PATH] = "";
    EXPECT_EQ(c.code, CheckProgramLocation(c.program, where));
    if (c.code != ERROR_SUCCESS) {
      EXPECT_STREQ(c.where, where);
    }
  }
}

TEST_F(ProgramLocationTest, ANameEndingInATrailByteThatIsABackslashIsOneName) {
  host::setAnsiCodePage(932);  // katakana "so": lead byte 0x83, trail byte 0x5C
  const char inFolder[] = "C:\\\x83\x5C\\KstvCardReader.exe";
  host::setModulePath(inFolder);
  ASSERT_TRUE(host::setFileSecurity("C:\\\x83\x5C", kLocked));
  char where[MAX_PATH] = "";
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), CheckProgramLocation(inFolder, where)) << where;
  // The program's folder is the one before its name, and users may add files to it.
  const char named[] = "C:\\Apps\\\x83\x5C";
  host::setModulePath(named);
  ASSERT_TRUE(host::setFileSecurity("C:\\Apps", "O:BAD:PAI(A;OICI;FA;;;BA)(A;;DC;;;BU)"));
  EXPECT_EQ(kProgramChangeableByOthers, CheckProgramLocation(named, where));
  EXPECT_STREQ("C:\\Apps", where);
}

// Windows set to use UTF-8 as its ANSI code page: every name is held, so a folder that
// code page 1252 could not name is the program's folder, in UTF-8, and no refusal.
TEST_F(ProgramLocationTest, UnderTheUtf8CodePageEveryFolderNameIsTheProgramsOwn) {
  host::setAnsiCodePage(CP_UTF8);
  host::setModulePathUtf8("C:\\Tools \xCE\xA9mega\\KstvCardReader.exe");
  char path[MAX_PATH];
  char folder[MAX_PATH];
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ProgramFilePath(path));
  EXPECT_STREQ("C:\\Tools \xCE\xA9mega\\KstvCardReader.exe", path);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), ProgramFolder(folder));
  EXPECT_STREQ("C:\\Tools \xCE\xA9mega\\", folder);
}

TEST_F(ProgramLocationTest, RightsThatCannotBeReadAreTheResultWithTheirPath) {
  host::failCall("GetNamedSecurityInfoA", ERROR_NOT_SUPPORTED, 1, 1);  // after C:\ is read
  char where[MAX_PATH] = "";
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED),
            CheckProgramLocation(host::kDefaultModulePath, where));
  EXPECT_STREQ("C:\\Program Files", where);
}

}  // namespace
}  // namespace kstv::test
