// RegistryKey on registry faults only the emulated machine can make.
#include <gtest/gtest.h>

#include "platform/host/control.h"
#include "registry/RegistryKey.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {
namespace {

class RegistryKeyFaultTest : public ::testing::Test {
 protected:
  ~RegistryKeyFaultTest() override {
    host::clearFailures();
    host::clearReadOnlyMarks();
  }
  ScratchKey scratch{"RegistryKeyFault"};
};

TEST_F(RegistryKeyFaultTest, DeleteTreeStopsAtTheFirstKeyItCannotDeleteAndKeepsWhatItDeleted) {
  // Subkeys enumerate in name order: "a" goes before "b" is reached.
  for (const char* path : {"Tree\\a\\a1", "Tree\\b\\locked"}) {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), path, KEY_ALL_ACCESS, key));
  }
  ASSERT_TRUE(host::markKeyReadOnly(scratch.get(), "Tree\\b\\locked"));
  const std::size_t handles = host::openRegistryHandleCount();

  EXPECT_EQ(ERROR_ACCESS_DENIED, RegistryKey::deleteTree(scratch.get(), "Tree"));
  EXPECT_FALSE(keyExists(scratch.get(), "Tree\\a"));
  EXPECT_TRUE(keyExists(scratch.get(), "Tree\\b\\locked"));
  EXPECT_EQ(handles, host::openRegistryHandleCount());
}

TEST_F(RegistryKeyFaultTest, DeleteTreeThatCannotOpenTheKeyDeletesNothing) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Tree\\child", KEY_ALL_ACCESS, key));
  host::failCall("RegOpenKeyExA", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegistryKey::deleteTree(scratch.get(), "Tree"));
  EXPECT_TRUE(keyExists(scratch.get(), "Tree\\child"));
}

TEST_F(RegistryKeyFaultTest, DeleteTreeLeavesAReadOnlyKeyAlone) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Tree", KEY_ALL_ACCESS, key));
  key.reset();
  // A read-only key refuses the 0x2001F open, so the tree is left alone.
  ASSERT_TRUE(host::markKeyReadOnly(scratch.get(), "Tree"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, RegistryKey::deleteTree(scratch.get(), "Tree"));
  EXPECT_EQ(0x2001Fu, kKeyDeleteTree);
}

TEST_F(RegistryKeyFaultTest, DeleteTreeEmptiesKeysThatDoNotLetTheirSecurityBeChanged) {
  // Every key grants what deleting a tree asks for (reading, creating and setting below
  // it, and its own deletion), but not WRITE_DAC or WRITE_OWNER, which full access
  // would ask for.
  const char* const paths[] = {"Tree", "Tree\\a", "Tree\\a\\a1", "Tree\\b"};
  for (const char* path : paths) {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), path, KEY_ALL_ACCESS, key));
  }
  for (const char* path : paths)
    ASSERT_TRUE(host::limitKeyAccess(scratch.get(), path, kKeyDeleteTree | DELETE)) << path;
  EXPECT_EQ(ERROR_SUCCESS, RegistryKey::deleteTree(scratch.get(), "Tree"));
  EXPECT_FALSE(keyExists(scratch.get(), "Tree"));
}

TEST_F(RegistryKeyFaultTest, CreateWhoseCloseOfTheHeldKeyFailsReportsThatButHoldsTheNewKey) {
  RegistryKey holder;
  ASSERT_EQ(ERROR_SUCCESS,
            holder.create(scratch.get(), "First", nullptr, 0, kKeyAllAccess, nullptr, nullptr));
  HKEY first = holder.handle();
  host::failCall("RegCloseKey", ERROR_INVALID_HANDLE, 1);
  EXPECT_EQ(ERROR_INVALID_HANDLE,
            holder.create(scratch.get(), "Second", nullptr, 0, kKeyAllAccess, nullptr, nullptr));
  EXPECT_NE(first, holder.handle());
  EXPECT_NE(nullptr, holder.handle());
  RegCloseKey(first);  // the injected failure left it open
}

}  // namespace
}  // namespace kstv::test
