// The emulated registry's control surface: access limits and read-only marks, handle counts, and
// what the host layer decides where Wine cannot show Windows' answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/host/control.h"
#include "registry/RegistryKey.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {
namespace {

class HostRegistryTest : public ::testing::Test {
 protected:
  ~HostRegistryTest() override { host::clearReadOnlyMarks(); }
  ScratchKey scratch{"HostRegistry"};
};

TEST_F(HostRegistryTest, AKeyMarkedReadOnlyOpensOnlyForReading) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Locked", KEY_ALL_ACCESS, key));
  key.reset();
  ASSERT_TRUE(host::markKeyReadOnly(scratch.get(), "Locked"));

  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), "Locked", 0, KEY_READ, key.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(scratch.get(), "Locked", 0, KEY_WRITE, key.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, createKey(scratch.get(), "Locked", KEY_ALL_ACCESS, key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, createKey(scratch.get(), "Locked\\Child", KEY_READ, key));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(scratch.get(), "Locked"));
  EXPECT_TRUE(keyExists(scratch.get(), "Locked"));
}

TEST_F(HostRegistryTest, AKeyGrantsOnlyTheRightsItsLimitGives) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Limited\\Child", KEY_ALL_ACCESS, key));
  key.reset();
  ASSERT_TRUE(host::limitKeyAccess(scratch.get(), "Limited", KEY_READ | KEY_SET_VALUE));
  ASSERT_TRUE(host::limitKeyAccess(scratch.get(), "Limited\\Child", KEY_READ | DELETE));

  EXPECT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(scratch.get(), "Limited", 0, KEY_READ | KEY_SET_VALUE, key.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegOpenKeyExA(scratch.get(), "Limited", 0, WRITE_DAC, key.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, createKey(scratch.get(), "Limited\\New", KEY_READ, key));
  // Deleting asks the key itself for DELETE, whatever its parent grants.
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(scratch.get(), "Limited\\Child"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegDeleteKeyA(scratch.get(), "Limited"));
  EXPECT_TRUE(keyExists(scratch.get(), "Limited"));
  host::clearReadOnlyMarks();
  EXPECT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), "Limited", 0, KEY_ALL_ACCESS, key.put()));
}

TEST_F(HostRegistryTest, MarkingAMissingKeyFails) {
  EXPECT_FALSE(host::markKeyReadOnly(scratch.get(), "Missing"));
}

TEST_F(HostRegistryTest, CreatingASubkeyNeedsTheRightToCreateInTheParent) {
  UniqueKey readOnly, child;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, readOnly.put()));
  EXPECT_EQ(ERROR_ACCESS_DENIED, createKey(readOnly.get(), "New", KEY_ALL_ACCESS, child));
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Existing", KEY_ALL_ACCESS, child));
  EXPECT_EQ(ERROR_SUCCESS, createKey(readOnly.get(), "Existing", KEY_READ, child));
}

TEST_F(HostRegistryTest, OpenHandlesAreCountedUntilClosed) {
  const std::size_t before = host::openRegistryHandleCount();
  {
    UniqueKey a, b;
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "a", KEY_ALL_ACCESS, a));
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), "a", 0, KEY_READ, b.put()));
    EXPECT_EQ(before + 2, host::openRegistryHandleCount());
  }
  EXPECT_EQ(before, host::openRegistryHandleCount());
}

TEST_F(HostRegistryTest, AScratchScopeUndoesEveryChangeMadeWithinIt) {
  UniqueKey kept, key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Kept", KEY_ALL_ACCESS, kept));
  ASSERT_EQ(ERROR_SUCCESS, setString(kept.get(), "Data", "before"));
  {
    host::ScratchScope scope;
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Made\\Deeper", KEY_ALL_ACCESS, key));
    key.reset();
    ASSERT_EQ(ERROR_SUCCESS, setString(kept.get(), "Data", "during"));
    ASSERT_EQ(ERROR_SUCCESS, setString(kept.get(), "Added", "x"));
    // Calls inside the scope see one another's changes.
    EXPECT_TRUE(keyExists(scratch.get(), "Made\\Deeper"));
    kept.reset();
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(scratch.get(), "Kept"));
    EXPECT_FALSE(keyExists(scratch.get(), "Kept"));
  }
  EXPECT_FALSE(keyExists(scratch.get(), "Made"));
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), "Kept", 0, KEY_READ, kept.put()));
  char data[16] = {};
  DWORD size = sizeof data;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(kept.get(), "Data", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(data), &size));
  EXPECT_STREQ("before", data);
  EXPECT_EQ(ERROR_FILE_NOT_FOUND,
            RegQueryValueExA(kept.get(), "Added", nullptr, nullptr, nullptr, nullptr));
}

FILETIME lastWriteTime(HKEY key) {
  FILETIME written{};
  EXPECT_EQ(ERROR_SUCCESS, RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, &written));
  return written;
}

TEST_F(HostRegistryTest, AScopeInsideAnotherUndoesItsOwnChangesOnly) {
  UniqueKey kept, doomed;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Kept", KEY_ALL_ACCESS, kept));
  ASSERT_EQ(ERROR_SUCCESS, setString(kept.get(), "Data", "before"));
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Doomed", KEY_ALL_ACCESS, doomed));
  ASSERT_EQ(ERROR_SUCCESS, setString(doomed.get(), "Inside", "kept with its key"));
  doomed.reset();
  host::ScratchScope outer;
  ASSERT_EQ(ERROR_SUCCESS, setString(kept.get(), "Outer", "stays"));
  const FILETIME writtenInOuter = lastWriteTime(kept.get());
  {
    host::ScratchScope inner;
    const DWORD number = 7;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(kept.get(), "Data", 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&number), sizeof number));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(kept.get(), "Outer"));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(scratch.get(), "Doomed"));
    UniqueKey made;
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Made", KEY_ALL_ACCESS, made));
  }
  EXPECT_FALSE(keyExists(scratch.get(), "Made"));
  char data[32] = {};
  DWORD type = 0, size = sizeof data;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(kept.get(), "Data", nullptr, &type,
                                            reinterpret_cast<BYTE*>(data), &size));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_STREQ("before", data);
  EXPECT_EQ(ERROR_SUCCESS,
            RegQueryValueExA(kept.get(), "Outer", nullptr, nullptr, nullptr, nullptr));
  const FILETIME writtenAfter = lastWriteTime(kept.get());
  EXPECT_EQ(writtenInOuter.dwLowDateTime, writtenAfter.dwLowDateTime);
  EXPECT_EQ(writtenInOuter.dwHighDateTime, writtenAfter.dwHighDateTime);
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), "Doomed", 0, KEY_READ, doomed.put()));
  size = sizeof data;
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(doomed.get(), "Inside", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(data), &size));
  EXPECT_STREQ("kept with its key", data);
}

TEST_F(HostRegistryTest, AScratchScopeListsTheKeysWrittenWithinItAndNoOthers) {
  UniqueKey key;
  for (const char* name : {"Written", "Parent", "Removed", "Untouched"})
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), name, KEY_ALL_ACCESS, key));
  auto identity = [&](const char* name) {
    return *host::registryKeyIdentity(HKEY_CURRENT_USER, (scratch.path() + "\\" + name).c_str());
  };
  const std::int64_t written = identity("Written"), parent = identity("Parent"),
                     removed = identity("Removed"), untouched = identity("Untouched");
  host::ScratchScope scope;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Written", KEY_ALL_ACCESS, key));
  ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), "v", "x"));
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Parent\\Child", KEY_ALL_ACCESS, key));
  key.reset();
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(scratch.get(), "Removed"));
  std::vector<std::int64_t> touched = scope.touchedKeys();
  auto has = [&](std::int64_t id) {
    return std::find(touched.begin(), touched.end(), id) != touched.end();
  };
  EXPECT_TRUE(has(written));
  EXPECT_TRUE(has(parent));
  EXPECT_TRUE(has(removed));
  EXPECT_FALSE(has(untouched));
}

TEST_F(HostRegistryTest, ClassesRootIsTheMachineClassRegistration) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, "KstvTestClass", KEY_ALL_ACCESS, key));
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, "Software\\Classes\\KstvTestClass"));
  key.reset();
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CLASSES_ROOT, "KstvTestClass"));
}

TEST_F(HostRegistryTest, ANameInTheDoubleByteCodePageKeepsItsCharacters) {
  host::setAnsiCodePage(932);
  const char name[] =
      "\x95\x5C\x8E\xA6";  // two double-byte characters, the first with a 0x5C trail
  UniqueKey key;
  EXPECT_EQ(ERROR_SUCCESS, createKey(scratch.get(), name, KEY_ALL_ACCESS, key));
  char found[16];
  DWORD length = sizeof found;
  EXPECT_EQ(ERROR_SUCCESS,
            RegEnumKeyExA(scratch.get(), 0, found, &length, nullptr, nullptr, nullptr, nullptr));
  EXPECT_STREQ(name, found);
  host::setAnsiCodePage(1252);
}

TEST_F(HostRegistryTest, ATreeWhoseChildNameOutgrowsTheBufferIsNotReportedDeleted) {
  host::setAnsiCodePage(932);
  // 200 double-byte characters: within the 255-character limit, 400 bytes in ANSI, so
  // the enumeration's 256-byte buffer cannot take the name.
  std::string child = "Tree\\";
  for (int i = 0; i < 200; ++i) child += "\x82\xA0";
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), child.c_str(), KEY_ALL_ACCESS, key));
  key.reset();
  EXPECT_NE(ERROR_SUCCESS, RegistryKey::deleteTree(scratch.get(), "Tree"));
  EXPECT_TRUE(keyExists(scratch.get(), child.c_str()));
  host::setAnsiCodePage(1252);
}

}  // namespace
}  // namespace kstv::test
