// The registrar on faults only the emulated machine can make: allocations that fail,
// keys that open for reading only, the double-byte code page; and nothing left behind.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "platform/host/control.h"
#include "platform/text16.h"
#include "registrar/RegistrarParser.h"
#include "registrar/ReplacementMap.h"
#include "tests/support/ScriptRunner.h"

namespace kstv::test {
namespace {

class RegistrarFaultTest : public ::testing::Test {
 protected:
  RegistrarFaultTest()
      : handles_(host::openRegistryHandleCount()),
        heap_(host::liveHeapAllocations()),
        task_(host::liveTaskAllocations()) {}
  ~RegistrarFaultTest() override {
    host::clearFailures();
    host::clearReadOnlyMarks();
    host::setAnsiCodePage(1252);
  }

  void expectNothingLeft() {
    EXPECT_EQ(handles_, host::openRegistryHandleCount()) << "a registry key was left open";
    EXPECT_EQ(heap_, host::liveHeapAllocations()) << "a heap block was not freed";
    EXPECT_EQ(task_, host::liveTaskAllocations()) << "a task-allocator block was not freed";
  }

 private:
  std::size_t handles_, heap_, task_;
};

// A reference of 7 bytes to a replacement of 650: the expansion buffer, 16 bytes at
// first, doubles six times on the way.
constexpr char kShortReferenceToALongText[] = "%Long%x";

WideString LongReplacement() {
  WideString text;
  for (int i = 0; i < 50; ++i) text += KSTV_W("C:\\Apps\\x.exe");
  return text;
}

TEST_F(RegistrarFaultTest, TheExpansionBufferGrowsByReallocation) {
  {
    ReplacementMap map;
    ASSERT_EQ(S_OK, map.add(KSTV_W("Long"), LongReplacement().c_str()));
    RegistrarParser parser(map);
    host::resetCallCounts();
    LPSTR expanded = nullptr;
    ASSERT_EQ(S_OK, parser.expandReplacements(kShortReferenceToALongText, &expanded));
    CoTaskMemFree(expanded);
    EXPECT_EQ(6u, host::callCount("CoTaskMemRealloc"));
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, AFailedGrowthOfTheExpansionIsOutOfMemoryAndFreesTheBuffer) {
  {
    ReplacementMap map;
    ASSERT_EQ(S_OK, map.add(KSTV_W("Long"), LongReplacement().c_str()));
    RegistrarParser parser(map);
    host::failCall("CoTaskMemRealloc", 0, 1, 2);  // the third growth
    LPSTR expanded = reinterpret_cast<LPSTR>(&map);
    EXPECT_EQ(E_OUTOFMEMORY, parser.expandReplacements(kShortReferenceToALongText, &expanded));
    EXPECT_EQ(nullptr, expanded);
    host::failCall("CoTaskMemRealloc", 0, 1, 2);
    EXPECT_EQ(E_OUTOFMEMORY, parser.runScript("HKCU { %Long% }", TRUE));
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, AFailedGrowthLeavesTheMapAsItWas) {
  {
    ReplacementMap map;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(S_OK, map.add(KSTV_W("Old"), KSTV_W("value")));
    host::failCall("HeapReAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(E_OUTOFMEMORY, map.add(KSTV_W("New"), KSTV_W("lost")));
    EXPECT_EQ(10, map.count());
    EXPECT_EQ(10, map.capacity());
    EXPECT_EQ(nullptr, map.lookup("New"));
    EXPECT_EQ(S_OK, map.add(KSTV_W("New"), KSTV_W("kept")));
    EXPECT_EQ(20, map.capacity());
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, APairThatCannotBeCopiedIsNotAdded) {
  {
    ReplacementMap map;
    host::failCall("CoTaskMemAlloc", 0, 1, 1);  // the value's copy
    EXPECT_EQ(E_OUTOFMEMORY, map.add(KSTV_W("Name"), KSTV_W("value")));
    host::failCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);  // the pair itself
    EXPECT_EQ(E_OUTOFMEMORY, map.add(KSTV_W("Name"), KSTV_W("value")));
    EXPECT_EQ(0, map.count());
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, AMapWithoutItsFirstSlotsRefusesEveryPair) {
  host::failCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
  ReplacementMap map;
  EXPECT_EQ(0, map.capacity());
  EXPECT_EQ(E_OUTOFMEMORY, map.add(KSTV_W("a"), KSTV_W("b")));
}

TEST_F(RegistrarFaultTest, EveryAllocationFailureIsReportedAndCleanedUp) {
  {
    ScriptRunner script("RegistrarFault");
    script.map.add(KSTV_W("Module"), KSTV_W("C:\\x.exe"));
    const std::string body =
        "LocalServer32 = s '%Module%' { val B = b 00FF val D = d 3 } K { Inner }";
    // Fail the n-th allocation of each kind in turn until a run gets through.
    for (const char* call :
         {"HeapAlloc", "CoTaskMemAlloc", "CoTaskMemRealloc", "MultiByteToWideChar"}) {
      for (unsigned skip = 0;; ++skip) {
        SCOPED_TRACE(std::string(call) + " after " + std::to_string(skip));
        host::failCall(call, ERROR_NOT_ENOUGH_MEMORY, 1, skip);
        HRESULT result = script.run(body, TRUE);
        bool injected = host::callCount(call) > skip;
        host::clearFailures();
        host::resetCallCounts();
        if (!injected) {
          EXPECT_EQ(S_OK, result);
          break;
        }
        // A failed allocation is reported: E_FAIL only where the byte buffer of a
        // binary value is missing.
        EXPECT_TRUE(result == E_OUTOFMEMORY || result == E_FAIL) << std::hex << result;
        ASSERT_LT(skip, 200u);
      }
    }
    EXPECT_EQ(S_OK, script.run(body, FALSE));
    EXPECT_FALSE(script.exists("K"));
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, ANameThatCannotBeRememberedAtUnregistrationIsOutOfMemory) {
  {
    ScriptRunner script("RegistrarFaultUnregister");
    const std::string body = "K { Inner } Other";
    ASSERT_EQ(S_OK, script.run(body, TRUE));
    // The first allocation is the token buffer; each block's first key entry then takes a
    // buffer for the names it remembers. Fail each in turn until a run gets through.
    unsigned skip = 0;
    for (;; ++skip) {
      SCOPED_TRACE("HeapAlloc after " + std::to_string(skip));
      host::failCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1, skip);
      HRESULT result = script.run(body, FALSE);
      bool injected = host::callCount("HeapAlloc") > skip;
      host::clearFailures();
      host::resetCallCounts();
      if (!injected) {
        EXPECT_EQ(S_OK, result);
        break;
      }
      EXPECT_EQ(E_OUTOFMEMORY, result) << std::hex << result;
      ASSERT_LT(skip, 50u);
    }
    // The scratch key's three blocks and the two below it.
    EXPECT_EQ(6u, skip);
    EXPECT_FALSE(script.exists("K"));
    EXPECT_FALSE(script.exists("Other"));
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, ANumberOnAKeyThatOpensOnlyForReadingIsSkipped) {
  ScriptRunner script("RegistrarReadOnly");
  ASSERT_EQ(S_OK, script.run("Locked = d '1'", TRUE));
  ASSERT_TRUE(host::markKeyReadOnly(script.key(), "Locked"));
  EXPECT_EQ(S_OK, script.run("Locked = d '5'", TRUE));
  EXPECT_EQ("1", script.value("Locked", nullptr));
  host::clearReadOnlyMarks();
}

TEST_F(RegistrarFaultTest, UnregistrationThatCannotOpenTheKeyOfANamedValueFails) {
  {
    ScriptRunner script("RegistrarNoWrite");
    ASSERT_EQ(S_OK, script.run("Owner { Child val V = s 'v' }", TRUE));
    ASSERT_TRUE(host::markKeyReadOnly(script.key(), "Owner"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
              script.run("Owner { Child val V = s 'v' }", FALSE));
    host::clearReadOnlyMarks();
  }
  expectNothingLeft();
}

TEST_F(RegistrarFaultTest, ADoubleByteCharacterMayNotStraddleTheTokenLimit) {
  host::setAnsiCodePage(932);
  ReplacementMap map;
  RegistrarParser parser(map);
  char token[RegistrarParser::kTokenCapacity];
  // 4094 bytes and a two-byte character would end on the 4096th byte: refused.
  std::string text = std::string(4094, 'x') + "\x95\x5C";
  parser.setReadPosition(text.c_str());
  EXPECT_EQ(DISP_E_EXCEPTION, parser.readToken(token));
  // 4093 bytes and the character make 4095: accepted, whole.
  text = std::string(4093, 'x') + "\x95\x5C";
  parser.setReadPosition(text.c_str());
  ASSERT_EQ(S_OK, parser.readToken(token));
  EXPECT_EQ(4095u, std::string(token).size());
}

TEST_F(RegistrarFaultTest, ATrailByteIsNeverTakenForAQuoteOrABlank) {
  host::setAnsiCodePage(932);
  ReplacementMap map;
  RegistrarParser parser(map);
  char token[RegistrarParser::kTokenCapacity];
  const std::string text = "'\x81\x27' \x95\x5C\x81\x20";  // 0x27 and 0x20 as trail bytes
  parser.setReadPosition(text.c_str());
  ASSERT_EQ(S_OK, parser.readToken(token));
  EXPECT_STREQ("\x81\x27", token);
  ASSERT_EQ(S_OK, parser.readToken(token));
  EXPECT_STREQ("\x95\x5C\x81\x20", token);
}

// 150 double-byte characters: a legal name of 300 bytes, and a sibling that holds the
// first 129 of them (258 bytes), both made under the script's key with `others`.
struct LongNameAndSibling {
  std::string named;
  std::string sibling;
};

LongNameAndSibling makeLongNameAndSibling(ScriptRunner& script,
                                          std::initializer_list<std::string> others = {}) {
  LongNameAndSibling names;
  for (int i = 0; i < 150; ++i) names.named += "\x82\xA0";
  names.sibling = names.named.substr(0, 258);
  std::vector<std::string> all(others);
  all.push_back(names.named);
  all.push_back(names.sibling);
  for (const std::string& name : all) {
    UniqueKey key;
    EXPECT_EQ(ERROR_SUCCESS, createKey(script.key(), name.c_str(), KEY_ALL_ACCESS, key)) << name;
  }
  return names;
}

TEST_F(RegistrarFaultTest, UnregistrationDeletesTheKeyOfTheWholeDoubleByteName) {
  host::setAnsiCodePage(932);
  ScriptRunner script("RegistrarLongName");
  const LongNameAndSibling names = makeLongNameAndSibling(script);
  EXPECT_EQ(S_OK, script.run("'" + names.named + "'", FALSE));
  EXPECT_FALSE(script.exists(names.named));
  EXPECT_TRUE(script.exists(names.sibling));
}

TEST_F(RegistrarFaultTest, ALongNameAfterAShortOneInTheSameBlockIsRememberedWhole) {
  host::setAnsiCodePage(932);
  ScriptRunner script("RegistrarLongNameAfterShort");
  const LongNameAndSibling names = makeLongNameAndSibling(script, {"Short"});
  // The first entry's name fits the buffer the block keeps; the second needs a larger one.
  EXPECT_EQ(S_OK, script.run("Short '" + names.named + "'", FALSE));
  EXPECT_FALSE(script.exists("Short"));
  EXPECT_FALSE(script.exists(names.named));
  EXPECT_TRUE(script.exists(names.sibling));
}

}  // namespace
}  // namespace kstv::test
