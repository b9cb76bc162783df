// RegistryKey against the platform's registry; runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "registry/RegistryKey.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {
namespace {

constexpr DWORD kSentinel = 0xdeadbeef;

class RegistryKeyTest : public ::testing::Test {
 protected:
  LONG create(RegistryKey& holder, const char* name, DWORD* disposition = nullptr) {
    return holder.create(scratch.get(), name, nullptr, REG_OPTION_NON_VOLATILE, kKeyAllAccess,
                         nullptr, disposition);
  }

  LONG queryString(const char* valueName, char* buffer, DWORD* count) {
    RegistryKey holder;
    EXPECT_EQ(ERROR_SUCCESS, create(holder, nullptr));
    return holder.queryString(buffer, valueName, count);
  }

  ScratchKey scratch{"RegistryKey"};
};

// A handle that has been closed answers ERROR_INVALID_HANDLE.
bool isClosed(HKEY key) {
  DWORD subKeys = 0;
  return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_INVALID_HANDLE;
}

TEST_F(RegistryKeyTest, CreateHoldsTheNewKeyAndReportsItsDisposition) {
  RegistryKey holder;
  DWORD disposition = kSentinel;
  ASSERT_EQ(ERROR_SUCCESS, create(holder, "Made", &disposition));
  EXPECT_EQ(REG_CREATED_NEW_KEY, disposition);
  EXPECT_NE(nullptr, holder.handle());

  RegistryKey again;
  ASSERT_EQ(ERROR_SUCCESS, create(again, "MADE", &disposition));
  EXPECT_EQ(REG_OPENED_EXISTING_KEY, disposition);
}

TEST_F(RegistryKeyTest, CreateOnAHolderClosesTheKeyItHeldAndHoldsTheNewOne) {
  RegistryKey holder;
  ASSERT_EQ(ERROR_SUCCESS, create(holder, "First"));
  HKEY first = holder.handle();
  ASSERT_EQ(ERROR_SUCCESS, create(holder, "Second"));
  EXPECT_NE(first, holder.handle());
  EXPECT_TRUE(isClosed(first));
  EXPECT_FALSE(isClosed(holder.handle()));
}

TEST_F(RegistryKeyTest, AFailedCreateKeepsTheHeldKeyAndStillWritesTheDisposition) {
  UniqueKey doomed;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Doomed", KEY_ALL_ACCESS, doomed));
  ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(scratch.get(), "Doomed"));

  RegistryKey holder;
  ASSERT_EQ(ERROR_SUCCESS, create(holder, "Held"));
  HKEY held = holder.handle();
  DWORD disposition = kSentinel;
  EXPECT_EQ(ERROR_KEY_DELETED,
            holder.create(doomed.get(), "Child", nullptr, 0, kKeyAllAccess, nullptr, &disposition));
  EXPECT_EQ(0u, disposition);
  EXPECT_EQ(held, holder.handle());
  EXPECT_FALSE(isClosed(held));
}

TEST_F(RegistryKeyTest, CloseReleasesTheKeyAndMayBeCalledAgain) {
  RegistryKey holder;
  ASSERT_EQ(ERROR_SUCCESS, create(holder, "Closed"));
  HKEY key = holder.handle();
  holder.close();
  EXPECT_EQ(nullptr, holder.handle());
  EXPECT_TRUE(isClosed(key));
  holder.close();
  EXPECT_EQ(nullptr, holder.handle());
}

TEST_F(RegistryKeyTest, AttachTakesOwnershipAndClearsTheRawHandle) {
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(scratch.get(), nullptr, 0, KEY_READ, &raw));
  HKEY copy = raw;
  {
    RegistryKey holder;
    holder.attach(raw);
    EXPECT_EQ(nullptr, raw);
    EXPECT_EQ(copy, holder.handle());
  }
  EXPECT_TRUE(isClosed(copy));
}

TEST_F(RegistryKeyTest, QueryStringReadsATerminatedString) {
  ASSERT_EQ(ERROR_SUCCESS,
            setString(scratch.get(), "LocalService", std::string("KstvCardReader", 15)));
  char buffer[MAX_PATH];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_SUCCESS, queryString("LocalService", buffer, &count));
  EXPECT_EQ(15u, count);
  EXPECT_STREQ("KstvCardReader", buffer);
}

TEST_F(RegistryKeyTest, QueryStringAcceptsExpandableStrings) {
  ASSERT_EQ(ERROR_SUCCESS, setString(scratch.get(), "Path", std::string("%P%", 4), REG_EXPAND_SZ));
  char buffer[16];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_SUCCESS, queryString("Path", buffer, &count));
}

TEST_F(RegistryKeyTest, QueryStringOfAMissingValueIsInvalidDataNotFileNotFound) {
  char buffer[16];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("Missing", buffer, &count));
}

TEST_F(RegistryKeyTest, QueryStringRefusesOtherTypes) {
  const DWORD number = 7;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.get(), "Number", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&number), sizeof number));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(scratch.get(), "Binary", 0, REG_BINARY,
                                          reinterpret_cast<const BYTE*>("ab\0"), 3));
  char buffer[16];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("Number", buffer, &count));
  count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("Binary", buffer, &count));
}

TEST_F(RegistryKeyTest, QueryStringRefusesAStringWithoutItsTerminator) {
  ASSERT_EQ(ERROR_SUCCESS, setString(scratch.get(), "Bare", "abc"));
  char buffer[16];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("Bare", buffer, &count));
  EXPECT_EQ(3u, count);
}

TEST_F(RegistryKeyTest, QueryStringRefusesAnEmptyString) {
  ASSERT_EQ(ERROR_SUCCESS, setString(scratch.get(), "Empty", ""));
  char buffer[16];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("Empty", buffer, &count));
}

TEST_F(RegistryKeyTest, QueryStringOfAValueLongerThanTheBufferFailsWithMoreData) {
  const std::string text(MAX_PATH, 'x');  // 260 characters and the NUL: 261 bytes
  ASSERT_EQ(ERROR_SUCCESS,
            setString(scratch.get(), "Long", std::string(text.c_str(), text.size() + 1)));
  char buffer[MAX_PATH];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_MORE_DATA, queryString("Long", buffer, &count));
  EXPECT_EQ(261u, count);
}

TEST_F(RegistryKeyTest, QueryStringChecksBothTerminatorsOfAMultiString) {
  ASSERT_EQ(ERROR_SUCCESS,
            setString(scratch.get(), "Good", std::string("a\0b\0\0", 5), REG_MULTI_SZ));
  ASSERT_EQ(ERROR_SUCCESS,
            setString(scratch.get(), "OneNul", std::string("ab\0", 3), REG_MULTI_SZ));
  ASSERT_EQ(ERROR_SUCCESS, setString(scratch.get(), "OneByte", std::string("\0", 1), REG_MULTI_SZ));
  char buffer[16];
  DWORD count = sizeof buffer;
  EXPECT_EQ(ERROR_SUCCESS, queryString("Good", buffer, &count));
  count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("OneNul", buffer, &count));
  count = sizeof buffer;
  EXPECT_EQ(ERROR_INVALID_DATA, queryString("OneByte", buffer, &count));
}

TEST_F(RegistryKeyTest, QueryStringWithoutABufferChecksOnlyTheType) {
  ASSERT_EQ(ERROR_SUCCESS, setString(scratch.get(), "Text", std::string("abc", 4)));
  DWORD count = 0;
  EXPECT_EQ(ERROR_SUCCESS, queryString("Text", nullptr, &count));
  EXPECT_EQ(4u, count);
}

TEST_F(RegistryKeyTest, DeleteTreeOfAMissingKeyFailsWithFileNotFound) {
  UniqueKey sibling;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Sibling", KEY_ALL_ACCESS, sibling));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegistryKey::deleteTree(scratch.get(), "Missing"));
  EXPECT_TRUE(keyExists(scratch.get(), "Sibling"));
}

TEST_F(RegistryKeyTest, DeleteTreeRemovesTheWholeSubtreeAndNothingBeside) {
  for (const char* path : {"Tree\\a\\a1\\deepest", "Tree\\a\\a2", "Tree\\b", "Beside"}) {
    UniqueKey key;
    ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), path, KEY_ALL_ACCESS, key));
    ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), "v", std::string("x", 2)));
  }
  RegistryKey parent;
  ASSERT_EQ(ERROR_SUCCESS, create(parent, nullptr));
  EXPECT_EQ(ERROR_SUCCESS, RegistryKey::deleteTree(parent, "tree"));
  EXPECT_FALSE(keyExists(scratch.get(), "Tree"));
  EXPECT_TRUE(keyExists(scratch.get(), "Beside"));
}

TEST_F(RegistryKeyTest, DeleteTreeRemovesKeysWithNamesOfTheLongestLength) {
  const std::string longest(255, 'n');
  UniqueKey tree, child, grandchild;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Tree", KEY_ALL_ACCESS, tree));
  ASSERT_EQ(ERROR_SUCCESS, createKey(tree.get(), longest.c_str(), KEY_ALL_ACCESS, child));
  ASSERT_EQ(ERROR_SUCCESS, createKey(child.get(), longest.c_str(), KEY_ALL_ACCESS, grandchild));
  tree.reset();
  child.reset();
  grandchild.reset();
  EXPECT_EQ(ERROR_SUCCESS, RegistryKey::deleteTree(scratch.get(), "Tree"));
  EXPECT_FALSE(keyExists(scratch.get(), "Tree"));
}

TEST_F(RegistryKeyTest, DeleteTreeWithoutASubKeyNameDeletesNothing) {
  // An empty name would open the parent itself and take it with everything below it.
  UniqueKey child;
  ASSERT_EQ(ERROR_SUCCESS, createKey(scratch.get(), "Child", KEY_ALL_ACCESS, child));
  child.reset();
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegistryKey::deleteTree(scratch.get(), ""));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, RegistryKey::deleteTree(scratch.get(), nullptr));
  EXPECT_TRUE(keyExists(scratch.get(), "Child"));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, scratch.path().c_str()));
}

}  // namespace
}  // namespace kstv::test
