// Opening a file that another handle holds open: the share modes decide, in both
// directions, as the debug log relies on (a reader may open the log while the service
// writes it); handles that may only append, as the debug log's are; and the owner and
// access list of a file and its folder, which -Service weighs; a file's type, which -Status
// asks of its standard output. Runs on the host layer and under Wine, in a folder of its
// own on drive C:.
#include <gtest/gtest.h>

#include <string>

#include "platform/handles.h"
#include "service/TokenSecurityDescriptor.h"

namespace kstv::test {
namespace {

constexpr char kFolder[] = "C:\\KstvFileApiTest";
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kSentinel = 0xdeadbeef;

class FileApiTest : public ::testing::Test {
 protected:
  FileApiTest() {
    removeFolder();  // what a crashed run left
    CreateDirectoryA(kFolder, nullptr);
  }
  ~FileApiTest() override { removeFolder(); }

  static std::string path(const char* name) { return std::string(kFolder) + "\\" + name; }

  // Opens the test's file; the last error is primed, so that a refusal's code is its own.
  static UniqueFileHandle open(DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING,
                               const char* name = "file.log") {
    SetLastError(kSentinel);
    return UniqueFileHandle(CreateFileA(path(name).c_str(), access, share, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  }

  // Renames file.log to file.log.1, the last error primed.
  static BOOL renameLog(DWORD flags) {
    SetLastError(kSentinel);
    return MoveFileExA(path("file.log").c_str(), path("file.log.1").c_str(), flags);
  }

 private:
  static void removeFolder() {
    DeleteFileA(path("file.log").c_str());
    DeleteFileA(path("file.log.1").c_str());
    RemoveDirectoryA(kFolder);
  }
};

// Whether a file is there, as the registration looks for the message file beside the
// program: a folder is none, and a missing file's code says whether its folder exists.
TEST_F(FileApiTest, GetFileAttributesTellsAFileFromAFolderAndFromNothing) {
  ASSERT_TRUE(open(GENERIC_WRITE, 0, CREATE_ALWAYS));
  const DWORD file = GetFileAttributesA(path("file.log").c_str());
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, file);
  EXPECT_EQ(0u, file & FILE_ATTRIBUTE_DIRECTORY);
  const DWORD folder = GetFileAttributesA(kFolder);
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, folder);
  EXPECT_NE(0u, folder & FILE_ATTRIBUTE_DIRECTORY);
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path("file.log.1").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path("none\\file.log").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
}

TEST_F(FileApiTest, AReaderOpensAFileThatItsWriterShares) {
  UniqueFileHandle writer = open(GENERIC_READ | GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS);
  ASSERT_TRUE(writer);
  UniqueFileHandle reader = open(GENERIC_READ, kShareReadWrite);
  EXPECT_TRUE(reader);
}

TEST_F(FileApiTest, AnOpenForAccessThatAnOpenHandleDoesNotShareIsRefused) {
  UniqueFileHandle writer = open(GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS);
  ASSERT_TRUE(writer);
  UniqueFileHandle reader = open(GENERIC_READ, kShareReadWrite);
  EXPECT_FALSE(reader);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  UniqueFileHandle otherWriter = open(GENERIC_WRITE, kShareReadWrite);
  EXPECT_TRUE(otherWriter);  // writing is shared
}

TEST_F(FileApiTest, AnOpenThatDoesNotShareAnOpenHandlesAccessIsRefused) {
  UniqueFileHandle reader = open(GENERIC_READ, kShareReadWrite, CREATE_ALWAYS);
  ASSERT_TRUE(reader);
  UniqueFileHandle writer = open(GENERIC_WRITE, FILE_SHARE_WRITE);
  EXPECT_FALSE(writer);
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  writer = open(GENERIC_WRITE, FILE_SHARE_READ);
  EXPECT_TRUE(writer);  // it shares reading, and the reader shares writing
}

TEST_F(FileApiTest, EveryDispositionOfAnExistingFileIsSubjectToItsSharing) {
  UniqueFileHandle writer = open(GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_TRUE(writer);
  for (DWORD disposition : {CREATE_ALWAYS, TRUNCATE_EXISTING, OPEN_ALWAYS}) {
    SCOPED_TRACE(disposition);
    UniqueFileHandle other = open(GENERIC_WRITE, kShareReadWrite, disposition);
    EXPECT_FALSE(other);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  }
}

TEST_F(FileApiTest, ANewFileOverAnUnsharedOneSaysThatItExists) {
  UniqueFileHandle exclusive = open(GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(exclusive);
  EXPECT_FALSE(open(GENERIC_READ, kShareReadWrite, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
}

TEST_F(FileApiTest, AFileOpensAgainOnceTheHandleThatDidNotShareItIsClosed) {
  UniqueFileHandle exclusive = open(GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(exclusive);
  EXPECT_FALSE(open(GENERIC_READ, kShareReadWrite));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  exclusive.reset();
  EXPECT_TRUE(open(GENERIC_READ | GENERIC_WRITE, 0));
}

TEST_F(FileApiTest, AnOpenForNoDataAtAllIsNeitherRefusedNorInTheWay) {
  UniqueFileHandle exclusive = open(GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(exclusive);
  EXPECT_TRUE(open(0, 0));
  exclusive.reset();
  UniqueFileHandle attributesOnly = open(0, 0);
  ASSERT_TRUE(attributesOnly);
  EXPECT_TRUE(open(GENERIC_READ | GENERIC_WRITE, 0));
}

TEST_F(FileApiTest, AnOpenFileIsDeletedOnlyWhenItsHandlesShareDeletion) {
  UniqueFileHandle writer = open(GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS);
  ASSERT_TRUE(writer);
  SetLastError(kSentinel);
  EXPECT_FALSE(DeleteFileA(path("file.log").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  writer.reset();
  writer = open(GENERIC_WRITE, kShareReadWrite | FILE_SHARE_DELETE);
  ASSERT_TRUE(writer);
  EXPECT_TRUE(DeleteFileA(path("file.log").c_str()));
}

void Write(HANDLE file, const std::string& text) {
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
  EXPECT_EQ(text.size(), written);
}

std::string ReadAll(HANDLE file) {
  char text[64] = {};
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, text, sizeof text - 1, &read, nullptr));
  return std::string(text, read);
}

// As a run keeps the previous run's log: the rename replaces an older copy only when asked
// to, and needs a source.
TEST_F(FileApiTest, ARenameReplacesAnExistingTargetOnlyWhenAskedTo) {
  EXPECT_FALSE(renameLog(MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  Write(open(GENERIC_WRITE, 0, CREATE_ALWAYS).get(), "newer\n");
  Write(open(GENERIC_WRITE, 0, CREATE_ALWAYS, "file.log.1").get(), "older\n");
  EXPECT_FALSE(renameLog(0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_TRUE(renameLog(MOVEFILE_REPLACE_EXISTING)) << GetLastError();
  EXPECT_FALSE(open(GENERIC_READ, kShareReadWrite));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ("newer\n",
            ReadAll(open(GENERIC_READ, kShareReadWrite, OPEN_EXISTING, "file.log.1").get()));
}

// A handle that does not share deletion keeps its file from being renamed; one that does
// goes on writing to the file under its new name.
TEST_F(FileApiTest, AnOpenFileIsRenamedOnlyWhenItsHandlesShareDeletionAndTheyFollowIt) {
  UniqueFileHandle writer = open(FILE_APPEND_DATA | SYNCHRONIZE, kShareReadWrite, CREATE_ALWAYS);
  ASSERT_TRUE(writer);
  Write(writer.get(), "one\n");
  EXPECT_FALSE(renameLog(MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  writer = open(FILE_APPEND_DATA | SYNCHRONIZE, kShareReadWrite | FILE_SHARE_DELETE);
  ASSERT_TRUE(writer);
  EXPECT_TRUE(renameLog(MOVEFILE_REPLACE_EXISTING)) << GetLastError();
  Write(writer.get(), "two\n");
  EXPECT_EQ("one\ntwo\n",
            ReadAll(open(GENERIC_READ, kShareReadWrite, OPEN_EXISTING, "file.log.1").get()));
  EXPECT_FALSE(open(GENERIC_READ, kShareReadWrite));
}

TEST_F(FileApiTest, AnOpenTargetIsNotReplaced) {
  Write(open(GENERIC_WRITE, 0, CREATE_ALWAYS).get(), "newer\n");
  UniqueFileHandle viewer =
      open(GENERIC_READ | GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS, "file.log.1");
  ASSERT_TRUE(viewer);
  EXPECT_FALSE(renameLog(MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(open(GENERIC_READ, kShareReadWrite));
}

TEST_F(FileApiTest, AHandleThatMayOnlyAppendWritesAtTheEndWhateverOthersWrote) {
  // As the debug log's handles do: the service's and a registration's, each appending.
  UniqueFileHandle first = open(FILE_APPEND_DATA | SYNCHRONIZE, kShareReadWrite, CREATE_ALWAYS);
  ASSERT_TRUE(first);
  UniqueFileHandle second = open(FILE_APPEND_DATA | SYNCHRONIZE, kShareReadWrite);
  ASSERT_TRUE(second);
  Write(first.get(), "one\n");
  Write(second.get(), "two\n");
  Write(first.get(), "three\n");
  UniqueFileHandle reader = open(GENERIC_READ, kShareReadWrite);
  ASSERT_TRUE(reader);
  char text[64] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(reader.get(), text, sizeof text - 1, &read, nullptr));
  EXPECT_EQ("one\ntwo\nthree\n", std::string(text, read));
}

// The entry of `list` that allows SYSTEM (S-1-5-18) anything; null when there is none.
const ACCESS_ALLOWED_ACE* SystemEntry(PACL list) {
  BYTE system[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  for (DWORD index = 0; index < list->AceCount; ++index) {
    ACCESS_ALLOWED_ACE* entry = nullptr;
    if (GetAce(list, index, reinterpret_cast<LPVOID*>(&entry)) &&
        entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && EqualSid(&entry->SidStart, system))
      return entry;
  }
  return nullptr;
}

// Wine keeps no access lists: it makes each answer from the Unix owner and mode. The
// owner is the Wine user (the process's own) for the user's files, ANONYMOUS LOGON for
// others'; SYSTEM and the owner get full control, Everyone what the mode gives others;
// SetNamedSecurityInfoA succeeds and keeps nothing. The host answers from what C:\ passes
// on (owned by TrustedInstaller). Both give SYSTEM full control of the file and the folder,
// the folder's entry passed on to what is made in it, and refuse a path that names nothing.
// What -Status asks of its standard output before it writes there.
TEST_F(FileApiTest, AFileIsADiskToGetFileTypeAndWhatIsNoHandleIsRefused) {
  UniqueFileHandle file = open(GENERIC_WRITE, kShareReadWrite, CREATE_ALWAYS);
  ASSERT_TRUE(file);
  SetLastError(kSentinel);
  EXPECT_EQ(FILE_TYPE_DISK, GetFileType(file.get()));
  SetLastError(kSentinel);
  EXPECT_EQ(FILE_TYPE_UNKNOWN,
            GetFileType(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0))));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  SetLastError(kSentinel);
  EXPECT_EQ(INVALID_HANDLE_VALUE, GetStdHandle(5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(FileApiTest, AFileAndItsFolderHaveAnOwnerAndAnAccessList) {
  ASSERT_TRUE(open(GENERIC_WRITE, 0, CREATE_ALWAYS));
  PSID runner = nullptr;
  ASSERT_EQ(S_OK, TokenSecurityDescriptor::CopyProcessIdentity(&runner, nullptr));
  for (const std::string& object : {std::string(kFolder), path("file.log")}) {
    SCOPED_TRACE(object);
    const bool folder = object == kFolder;
    PSID owner = nullptr;
    PACL list = nullptr;
    UniqueLocalMemory descriptor;
    ASSERT_EQ(static_cast<DWORD>(ERROR_SUCCESS),
              GetNamedSecurityInfoA(object.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &list, nullptr, descriptor.put()));
    ASSERT_TRUE(owner && list);
#ifdef _WIN32
    EXPECT_TRUE(EqualSid(owner, runner)) << "Wine: the Wine user owns the user's files";
#else
    BYTE trustedInstaller[] = {1,    6,    0,    0,    0,    0,    0,    5,    80,   0,    0,
                               0,    0xB5, 0x89, 0xFB, 0x38, 0x19, 0x84, 0xC2, 0xCB, 0x5C, 0x6C,
                               0x23, 0x6D, 0x57, 0x00, 0x77, 0x6E, 0xC0, 0x02, 0x64, 0x87};
    EXPECT_TRUE(EqualSid(owner, trustedInstaller)) << "the host: C:\\'s owner, passed on";
#endif
    const ACCESS_ALLOWED_ACE* system = SystemEntry(list);
    ASSERT_TRUE(system);
    EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_ALL_ACCESS), system->Mask);
    EXPECT_EQ(folder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0,
              system->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
  }
  HeapFree(GetProcessHeap(), 0, runner);
  PSID owner = nullptr;
  UniqueLocalMemory descriptor;
  EXPECT_EQ(
      static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
      GetNamedSecurityInfoA(path("none.log").c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                            &owner, nullptr, nullptr, nullptr, descriptor.put()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
            GetNamedSecurityInfoA(path("none\\file.log").c_str(), SE_FILE_OBJECT,
                                  OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                                  descriptor.put()));
}

}  // namespace
}  // namespace kstv::test
