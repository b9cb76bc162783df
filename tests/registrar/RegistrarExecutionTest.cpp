// What registrar scripts do to the registry, in both modes. Runs on the host layer and
// under Wine, on Wine's registry.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/support/ExpectedScript.h"
#include "tests/support/ScriptRunner.h"

namespace kstv::test {
namespace {

class RegistrarExecutionTest : public ::testing::Test {
 protected:
  RegistrarExecutionTest() { script.map.add(KSTV_W("Module"), KSTV_W("C:\\Program Files\\x.exe")); }

  // Registers `key = s '<text>'` and gives the stored default value.
  std::string localServerValue(const std::string& keyName, const std::string& text) {
    EXPECT_EQ(S_OK, script.run(keyName + " = s '" + text + "'", TRUE));
    return script.value(keyName, nullptr);
  }

  ScriptRunner script{"Registrar"};
};

TEST_F(RegistrarExecutionTest, KeysAndValuesOfEveryTypeAreWritten) {
  ASSERT_EQ(S_OK, script.run("Outer = s 'default' {\r\n"
                             "  val Text = s 'text'\r\n"
                             "  val Number = d '4294967295'\r\n"
                             "  val Bytes = b 0aFF\r\n"
                             "  val LowF = b 0f\r\n"
                             "  val LowFF = b ff\r\n"
                             "  val Empty = b ''\r\n"
                             "  val Odd = B G1\r\n"
                             "  Inner { Deepest }\r\n"
                             "}",
                             TRUE));
  EXPECT_EQ("default", script.value("Outer", nullptr));
  EXPECT_EQ("text", script.value("Outer", "Text"));
  EXPECT_EQ("4294967295", script.value("Outer", "Number"));
  EXPECT_EQ("hex:0AFF", script.value("Outer", "Bytes"));
  EXPECT_EQ("hex:0F", script.value("Outer", "LowF"));  // a lower-case f is 15 as well
  EXPECT_EQ("hex:FF", script.value("Outer", "LowFF"));
  EXPECT_EQ("hex:", script.value("Outer", "Empty"));
  EXPECT_EQ("hex:01", script.value("Outer", "Odd"));  // a non-hex digit counts as 0
  EXPECT_TRUE(script.exists("Outer\\Inner\\Deepest"));
}

TEST_F(RegistrarExecutionTest, RegisteringTwiceGivesTheSameRegistry) {
  const std::string body = "A = s 'x' { val V = d 7 B { C = s 'c' } }";
  ASSERT_EQ(S_OK, script.run(body, TRUE));
  const std::string once = script.exported();
  ASSERT_EQ(S_OK, script.run(body, TRUE));
  EXPECT_EQ(once, script.exported());
}

TEST_F(RegistrarExecutionTest, UnregistrationRemovesWhatTheScriptListsAndNothingElse) {
  const std::string body = "A { val V = s 'v' B = s 'b' }";
  ASSERT_EQ(S_OK, script.run(body, TRUE));
  UniqueKey other;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Other", KEY_ALL_ACCESS, other));
  ASSERT_EQ(S_OK, script.run(body, FALSE));
  EXPECT_FALSE(script.exists("A"));
  EXPECT_TRUE(script.exists("Other"));
  // A second unregistration finds nothing and reads the script in recovery mode.
  EXPECT_EQ(S_OK, script.run(body, FALSE));
}

TEST_F(RegistrarExecutionTest, AFailedRootEntryIsUndoneAndTheOnesBeforeItStay) {
  const std::string text =
      script.wrap("First") + script.wrap("Second { Bad = x 'y' }") + script.wrap("Third");
  EXPECT_EQ(DISP_E_EXCEPTION, script.runScript(text, TRUE));
  EXPECT_TRUE(script.exists("First"));
  EXPECT_FALSE(script.exists("Second"));
  EXPECT_FALSE(script.exists("Third"));
}

TEST_F(RegistrarExecutionTest, ForceRemoveAndDeleteNeverRemoveAProtectedKeyInAnyCase) {
  UniqueKey old;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Fresh\\Old", KEY_ALL_ACCESS, old));
  for (const char* kept : {"CLSID\\Kept", "TypeLib\\Kept", "clsid\\Kept2", "TYPELIB\\Kept2"})
    ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), kept, KEY_ALL_ACCESS, old));
  old.reset();
  ASSERT_EQ(S_OK, script.run("ForceRemove Fresh { New } ForceRemove CLSID { Added }"
                             " ForceRemove typelib { Added } Delete tYpElIb Delete Clsid",
                             TRUE));
  EXPECT_FALSE(script.exists("Fresh\\Old"));
  EXPECT_TRUE(script.exists("Fresh\\New"));
  for (const char* kept : {"CLSID\\Kept", "CLSID\\Kept2", "CLSID\\Added", "TypeLib\\Kept",
                           "TypeLib\\Kept2", "TypeLib\\Added"})
    EXPECT_TRUE(script.exists(kept)) << kept;
}

TEST_F(RegistrarExecutionTest, DeleteRemovesAKeyAtRegistrationAndIsAKeyEntryAtUnregistration) {
  UniqueKey doomed;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Doomed\\Below", KEY_ALL_ACCESS, doomed));
  doomed.reset();
  ASSERT_EQ(S_OK, script.run("Delete Doomed = s 'ignored' Kept", TRUE));
  EXPECT_FALSE(script.exists("Doomed"));
  EXPECT_TRUE(script.exists("Kept"));
  ASSERT_EQ(S_OK, script.run("Delete Kept", FALSE));
  EXPECT_FALSE(script.exists("Kept"));
}

TEST_F(RegistrarExecutionTest, NoRemoveStaysInForceForTheRestOfTheBlock) {
  const std::string body = "NoRemove A { } B = s 'x'";
  ASSERT_EQ(S_OK, script.run(body, TRUE));
  ASSERT_EQ(S_OK, script.run(body, FALSE));
  EXPECT_TRUE(script.exists("A"));
  EXPECT_TRUE(script.exists("B"));
}

TEST_F(RegistrarExecutionTest, AMissingKeyPutsTheRestOfItsBlockInRecoveryMode) {
  ASSERT_EQ(S_OK, script.run("Holder { Present }", TRUE));
  ASSERT_EQ(S_OK, script.run("Holder { Missing Present }", FALSE));
  EXPECT_TRUE(script.exists("Holder\\Present"));
}

TEST_F(RegistrarExecutionTest, RecoveryEndsWithTheBlockOfTheMissingKey) {
  ASSERT_EQ(S_OK, script.run("Holder { After }", TRUE));
  ASSERT_EQ(S_OK, script.run("Holder { Missing { Inner } After }", FALSE));
  EXPECT_FALSE(script.exists("Holder"));  // After was removed, and then the empty Holder
}

TEST_F(RegistrarExecutionTest, AnEmptyKeyFollowedByABlockIsDeletedAndTheNextItemHandled) {
  ASSERT_EQ(S_OK, script.run("Empty Next", TRUE));
  ASSERT_EQ(S_OK, script.run("Empty { Inner = s 'i' } Next", FALSE));
  EXPECT_FALSE(script.exists("Empty"));
  EXPECT_FALSE(script.exists("Next"));
}

TEST_F(RegistrarExecutionTest, AKeyWithValuesButNoSubkeysIsDeletedWithThem) {
  ASSERT_EQ(S_OK, script.run("Valued { val One = s '1' val Two = s '2' } Next", TRUE));
  ASSERT_EQ(S_OK, script.run("Valued Next", FALSE));
  EXPECT_FALSE(script.exists("Valued"));
  EXPECT_FALSE(script.exists("Next"));
}

TEST_F(RegistrarExecutionTest, AKeyThatKeepsSubkeysStaysAtUnregistration) {
  ASSERT_EQ(S_OK, script.run("Shared { Listed }", TRUE));
  UniqueKey foreign;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Shared\\Foreign", KEY_ALL_ACCESS, foreign));
  foreign.reset();
  ASSERT_EQ(S_OK, script.run("Shared { Listed }", FALSE));
  EXPECT_FALSE(script.exists("Shared\\Listed"));
  EXPECT_TRUE(script.exists("Shared\\Foreign"));
}

TEST_F(RegistrarExecutionTest, AKeyThatKeepsSubkeysKeepsASubkeyOfItsOwnName) {
  ASSERT_EQ(S_OK, script.run("Shared { Listed }", TRUE));
  UniqueKey precious;
  ASSERT_EQ(ERROR_SUCCESS,
            createKey(script.key(), "Shared\\Shared\\Precious", KEY_ALL_ACCESS, precious));
  precious.reset();
  ASSERT_EQ(S_OK, script.run("Shared { Listed }", FALSE));
  EXPECT_FALSE(script.exists("Shared\\Listed"));
  EXPECT_TRUE(script.exists("Shared\\Shared\\Precious"));
}

TEST_F(RegistrarExecutionTest, NoRemoveWithoutABlockDeletesNothingBelowTheKey) {
  UniqueKey precious;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Foo\\Foo\\Precious", KEY_ALL_ACCESS, precious));
  precious.reset();
  ASSERT_EQ(S_OK, script.run("NoRemove Foo", FALSE));
  EXPECT_TRUE(script.exists("Foo\\Foo\\Precious"));
}

TEST_F(RegistrarExecutionTest, NamedValuesGoAtUnregistrationAndAMissingOneIsNoFailure) {
  UniqueKey kept;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Keeps\\Child", KEY_ALL_ACCESS, kept));
  kept.reset();
  ASSERT_EQ(S_OK, script.run("Keeps { val V = s 'v' }", TRUE));
  ASSERT_EQ(S_OK, script.run("Keeps { val V = s 'v' val Never = d 1 }", FALSE));
  EXPECT_EQ("<none>", script.value("Keeps", "V"));
  EXPECT_TRUE(script.exists("Keeps\\Child"));
}

TEST_F(RegistrarExecutionTest, TheModulePathOfALocalServer32IsPutInQuotes) {
  EXPECT_EQ("\"C:\\Program Files\\x.exe\"", localServerValue("LocalServer32", "%Module%"));
  EXPECT_EQ("\"C:\\Program Files\\x.exe\" -a", localServerValue("localserver32", "%Module% -a"));
  EXPECT_EQ("run \"C:\\Program Files\\x.exe\"", localServerValue("LocalServer32", "run %Module%"));
  EXPECT_EQ("\"C:\\Program Files\\x.exe\"", localServerValue("LocalServer32", "\"%Module%\""));
  EXPECT_EQ("C:\\Program Files\\x.exe", localServerValue("Other", "%Module%"));
}

TEST_F(RegistrarExecutionTest, ANamedValueOfALocalServer32IsNotQuoted) {
  ASSERT_EQ(S_OK, script.run("LocalServer32 { val Path = s '%Module%' }", TRUE));
  EXPECT_EQ("C:\\Program Files\\x.exe", script.value("LocalServer32", "Path"));
}

TEST_F(RegistrarExecutionTest, AModulePathWithAnApostropheIsNotFoundInTheValue) {
  ScriptRunner apostrophe("RegistrarApostrophe");
  apostrophe.map.add(KSTV_W("Module"), KSTV_W("C:\\it''s\\x.exe"));  // as the program escapes it
  ASSERT_EQ(S_OK, apostrophe.run("LocalServer32 = s '%Module%'", TRUE));
  EXPECT_EQ("C:\\it's\\x.exe", apostrophe.value("LocalServer32", nullptr));
}

TEST_F(RegistrarExecutionTest, ALocalServer32ValueOf4095BytesIsRefusedAndElsewhereStored) {
  const std::string text(4095, 'v');
  EXPECT_EQ(E_FAIL, script.run("LocalServer32 = s '" + text + "'", TRUE));
  EXPECT_EQ(S_OK, script.run("Plain = s '" + text + "'", TRUE));
  EXPECT_EQ(text, script.value("Plain", nullptr));
}

TEST_F(RegistrarExecutionTest, AModulePathThatQuotedWouldNotFitIsRefusedUnwritten) {
  const std::string path = "C:\\Program Files\\x.exe";
  // 4094 bytes holding the path: with its quotes it would need 4096 bytes and the NUL.
  const std::string full = std::string(4094 - path.size(), 'p') + path;
  EXPECT_EQ(E_FAIL, script.run("LocalServer32 = s '" + full + "'", TRUE));
  EXPECT_FALSE(script.exists("LocalServer32"));  // the failed entry is undone
  // One byte less fits exactly: 4095 bytes and the NUL.
  const std::string fits = std::string(4093 - path.size(), 'p') + path;
  EXPECT_EQ(S_OK, script.run("LocalServer32 = s '" + fits + "'", TRUE));
  EXPECT_EQ(std::string(4093 - path.size(), 'p') + '"' + path + '"',
            script.value("LocalServer32", nullptr));
}

TEST_F(RegistrarExecutionTest, ForceRemoveIsAPlainKeyEntryAtUnregistration) {
  UniqueKey other;
  ASSERT_EQ(S_OK, script.run("ForceRemove K { val V = s 'v' }", TRUE));
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "K\\Other", KEY_ALL_ACCESS, other));
  other.reset();
  ASSERT_EQ(S_OK, script.run("ForceRemove K { val V = s 'v' }", FALSE));
  EXPECT_TRUE(script.exists("K\\Other"));
  EXPECT_EQ("<none>", script.value("K", "V"));
}

TEST_F(RegistrarExecutionTest, ABlockAfterAValueItemIsASyntaxErrorInBothModes) {
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("J { val V = s 'v' { Inner } }", TRUE));
  EXPECT_FALSE(script.exists("J\\Inner"));
  ASSERT_EQ(S_OK, script.run("K { val V = s 'v' }", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("K { val V = s 'v' { Inner } }", FALSE));
  EXPECT_TRUE(script.exists("K"));  // the error ends the run before K's own removal
}

TEST_F(RegistrarExecutionTest, ValueTextsThatAreNotValid) {
  EXPECT_EQ(E_FAIL, script.run("Odd = b abc", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("Typed = m 'x'", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("Number = d 'abc'", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("val NoEquals s 'x'", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("'Back\\slash'", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("'Back\\slash'", FALSE));
}

TEST_F(RegistrarExecutionTest, AnEmptyKeyNameIsASyntaxErrorThatDeletesNothing) {
  // An empty name stands for the enclosing key itself: never deleted through it.
  script.map.add(KSTV_W("Nothing"), KSTV_W(""));
  UniqueKey kept;
  ASSERT_EQ(ERROR_SUCCESS, createKey(script.key(), "Kept", KEY_ALL_ACCESS, kept));
  kept.reset();
  for (BOOL doRegister : {TRUE, FALSE}) {
    SCOPED_TRACE(doRegister ? "registration" : "unregistration");
    for (const char* body :
         {"ForceRemove ''", "Delete ''", "NoRemove ''", "''", "ForceRemove '%Nothing%'",
          "Delete '%Nothing%' = s 'x'", "Sub { ForceRemove '' }"}) {
      SCOPED_TRACE(body);
      EXPECT_EQ(DISP_E_EXCEPTION, script.run(body, doRegister));
      EXPECT_TRUE(script.exists("Kept"));
    }
  }
}

TEST_F(RegistrarExecutionTest, KeywordsCompareAsThePlatformsLocaleDoes) {
  // A soft hyphen weighs nothing in the locale's comparison: this is the keyword.
  ASSERT_EQ(S_OK, script.run("K { v\xAD"
                             "al V = s 'x' }",
                             TRUE));
  EXPECT_EQ("x", script.value("K", "V"));
  EXPECT_FALSE(
      script.exists("K\\v\xAD"
                    "al"));
}

TEST_F(RegistrarExecutionTest, ABlockMayOnlyFollowAKeyEntry) {
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("K val V = s 'v' { Inner }", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("Delete K { Inner }", TRUE));
  EXPECT_FALSE(script.exists("K\\Inner"));
}

TEST_F(RegistrarExecutionTest, AValueNameMustFitItsBuffer) {
  EXPECT_EQ(S_OK, script.run("K { val " + std::string(259, 'n') + " = s 'v' }", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, script.run("K { val " + std::string(260, 'n') + " = s 'v' }", TRUE));
}

TEST_F(RegistrarExecutionTest, TheSystemScriptRegistersAndUnregistersTheAppId) {
  RegistrarParser parser(script.map);
  const std::string text(kRegistrationScript);
  ASSERT_EQ(S_OK, parser.runScript(text.c_str(), TRUE));
  const char kGuidKey[] = "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_CLASSES_ROOT, kGuidKey, 0, KEY_ALL_ACCESS, key.put()));
  char data[64];
  DWORD size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), nullptr, nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(data), &size));
  EXPECT_STREQ("KstvCardReader", data);
  // Installation adds a named value; the key still goes, having no subkeys.
  ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), "LocalService", std::string("KstvCardReader", 15)));
  key.reset();
  size = sizeof data;
  ASSERT_EQ(ERROR_SUCCESS,
            RegOpenKeyExA(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE", 0, KEY_READ, key.put()));
  ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExA(key.get(), "AppID", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(data), &size));
  EXPECT_STREQ("{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}", data);
  key.reset();

  EXPECT_EQ(S_OK, parser.runScript(text.c_str(), FALSE));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, kGuidKey));
  EXPECT_FALSE(keyExists(HKEY_CLASSES_ROOT, "AppID\\KstvCardReader.EXE"));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "AppID"));
  EXPECT_EQ(S_OK, parser.runScript(text.c_str(), FALSE));
}

// Keys below HKEY_CLASSES_ROOT that a test makes: a crashed run's leftovers go first, and
// the keys go again when the test ends.
class ClassesRootKeys {
 public:
  explicit ClassesRootKeys(std::string path) : path_(std::move(path)) {
    removeTree(HKEY_CLASSES_ROOT, path_);
  }
  ~ClassesRootKeys() { removeTree(HKEY_CLASSES_ROOT, path_); }
  ClassesRootKeys(const ClassesRootKeys&) = delete;
  ClassesRootKeys& operator=(const ClassesRootKeys&) = delete;

 private:
  std::string path_;
};

TEST(RegistrarClassesRootTest, TheSystemScriptsUnregistrationKeepsAKeyAppIdBelowAppId) {
  const ClassesRootKeys made("AppID\\AppID");
  UniqueKey precious;
  ASSERT_EQ(ERROR_SUCCESS,
            createKey(HKEY_CLASSES_ROOT, "AppID\\AppID\\Precious", KEY_ALL_ACCESS, precious));
  precious.reset();
  ReplacementMap map;
  RegistrarParser parser(map);
  const std::string text(kRegistrationScript);
  ASSERT_EQ(S_OK, parser.runScript(text.c_str(), TRUE));
  ASSERT_EQ(S_OK, parser.runScript(text.c_str(), FALSE));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "AppID\\AppID\\Precious"));
}

TEST(RegistrarClassesRootTest, NoRemoveOfARootsKeyDeletesNothingBelowIt) {
  const ClassesRootKeys made("KstvTestsFoo");
  UniqueKey precious;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, "KstvTestsFoo\\KstvTestsFoo\\Precious",
                                     KEY_ALL_ACCESS, precious));
  precious.reset();
  ReplacementMap map;
  RegistrarParser parser(map);
  ASSERT_EQ(S_OK, parser.runScript("HKCR { NoRemove KstvTestsFoo }", FALSE));
  EXPECT_TRUE(keyExists(HKEY_CLASSES_ROOT, "KstvTestsFoo\\KstvTestsFoo\\Precious"));
}

}  // namespace
}  // namespace kstv::test

namespace kstv::test {
namespace {

// "HKCU { K { K { ... } } }" with `depth` blocks, the root block included.
std::string NestedScript(int depth) {
  std::string text = "HKCU {";
  for (int i = 1; i < depth; ++i) text += " K {";
  for (int i = 0; i < depth; ++i) text += " }";
  return text;
}

TEST(RegistrarDepthTest, AFailedRegistrationTooDeepLeavesNoKeyItMade) {
  ScriptRunner script("RegistrarDepth");
  // The scratch key's entry is four blocks deep; below it, keys down to one block past
  // the limit.
  const int below = RegistrarParser::kMaxBlockDepth + 1 - 4;
  std::string body;
  for (int i = 0; i < below; ++i) body += "K { ";
  for (int i = 0; i < below; ++i) body += "} ";
  EXPECT_EQ(DISP_E_EXCEPTION, script.run(body, TRUE));
  // The undo pass reads past the block that registration refused, and so removes every
  // key that registration made before it failed.
  EXPECT_FALSE(script.exists("K"));
}

TEST(RegistrarDepthTest, UnregistrationReadsPastBlocksDeeperThanTheLimit) {
  ReplacementMap map;
  RegistrarParser parser(map);
  // Keys that are not there: the blocks are read without touching anything, at any depth
  // and without recursion.
  EXPECT_EQ(S_OK, parser.runScript(NestedScript(RegistrarParser::kMaxBlockDepth).c_str(), FALSE));
  EXPECT_EQ(S_OK,
            parser.runScript(NestedScript(RegistrarParser::kMaxBlockDepth + 1).c_str(), FALSE));
  EXPECT_EQ(S_OK, parser.runScript(NestedScript(100000).c_str(), FALSE));
  // What is past the limit is still read as items: a missing end or a bad name fails.
  const std::string unclosed = NestedScript(100000);
  EXPECT_EQ(DISP_E_EXCEPTION,
            parser.runScript(unclosed.substr(0, unclosed.size() - 2).c_str(), FALSE));
  std::string badName = NestedScript(600);
  badName.insert(badName.find('}'), "'' ");
  EXPECT_EQ(DISP_E_EXCEPTION, parser.runScript(badName.c_str(), FALSE));
}

}  // namespace
}  // namespace kstv::test
