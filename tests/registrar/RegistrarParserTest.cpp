// The registrar script language: replacement expansion, tokens, root keys and value
// types. Runs on the host layer and under Wine.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/handles.h"
#include "platform/text16.h"
#include "registrar/RegistrarParser.h"

namespace kstv::test {
namespace {

class RegistrarParserTest : public ::testing::Test {
 protected:
  RegistrarParserTest() {
    map.add(KSTV_W("MODULE"), KSTV_W("C:\\Apps\\x.exe"));
    map.add(KSTV_W("Loop"), KSTV_W("%Module%"));
    map.add(KSTV_W("N31_aaaaaaaaaaaaaaaaaaaaaaaaaaa"), KSTV_W("thirty-one"));  // 31 bytes
  }

  // The expansion of `text`, or the failure's code as text.
  std::string expand(const char* text) {
    LPSTR expanded = nullptr;
    HRESULT result = parser.expandReplacements(text, &expanded);
    if (FAILED(result)) {
      EXPECT_EQ(nullptr, expanded);
      return "failed " + std::to_string(static_cast<unsigned long>(static_cast<DWORD>(result)));
    }
    UniqueTaskMemory owner(expanded);
    return expanded;
  }

  // The tokens of `text`, separated by '|', and then the failure if one ends the reading.
  std::string tokens(const std::string& text) {
    script = text;
    parser.setReadPosition(script.c_str());
    std::string read;
    for (;;) {
      parser.skipBlanks();
      if (!parser.readPosition()[0]) return read + "<end>";
      if (FAILED(parser.readToken(token))) return read + "<failed>";
      read += std::string(token) + "|";
    }
  }

  static std::string failed(HRESULT result) {
    return "failed " + std::to_string(static_cast<unsigned long>(static_cast<DWORD>(result)));
  }

  ReplacementMap map;
  RegistrarParser parser{map};
  std::string script;
  char token[RegistrarParser::kTokenCapacity];
};

TEST_F(RegistrarParserTest, ReferencesExpandWithoutRegardToCaseAndOnlyOnce) {
  EXPECT_EQ("run C:\\Apps\\x.exe now", expand("run %module% now"));
  EXPECT_EQ("%Module%", expand("%LOOP%"));  // the inserted text is not expanded again
  EXPECT_EQ("thirty-one", expand("%n31_AAAAAAAAAAAAAAAAAAAAAAAAAAA%"));
}

TEST_F(RegistrarParserTest, APercentSignIsWrittenTwice) {
  EXPECT_EQ("%", expand("%%"));
  EXPECT_EQ("100%", expand("100%%"));
  EXPECT_EQ("a%b%c", expand("a%%b%%c"));
}

TEST_F(RegistrarParserTest, BadReferencesFail) {
  EXPECT_EQ(failed(DISP_E_EXCEPTION), expand("abc%"));
  EXPECT_EQ(failed(DISP_E_EXCEPTION), expand("%Module"));
  EXPECT_EQ(failed(DISP_E_EXCEPTION), expand("%Unknown%"));
  EXPECT_EQ(failed(E_FAIL), expand("%N32_aaaaaaaaaaaaaaaaaaaaaaaaaaaa%"));  // 32 bytes
  EXPECT_EQ(failed(E_POINTER), expand(nullptr));
  EXPECT_EQ(E_POINTER, parser.expandReplacements("x", nullptr));
}

TEST_F(RegistrarParserTest, ExpansionGrowsAsFarAsTheTextNeeds) {
  // "%Module%x" is 9 bytes, so the buffer starts at 20: 50 module paths (650 bytes) need
  // it grown six times, each growth keeping what was already written.
  const std::string text = "%Module%x";
  std::string module;
  WideString wideModule;
  for (int i = 0; i < 50; ++i) {
    module += "C:\\Apps\\x.exe";
    wideModule += KSTV_W("C:\\Apps\\x.exe");
  }
  ReplacementMap longMap;
  ASSERT_EQ(S_OK, longMap.add(KSTV_W("Module"), wideModule.c_str()));
  RegistrarParser longParser(longMap);
  LPSTR expanded = nullptr;
  ASSERT_EQ(S_OK, longParser.expandReplacements(text.c_str(), &expanded));
  UniqueTaskMemory owner(expanded);
  EXPECT_EQ(module + "x", std::string(expanded));
  EXPECT_EQ("", expand(""));
}

TEST_F(RegistrarParserTest, TokensAreSeparatedByTheFourBlanksOnly) {
  EXPECT_EQ("HKCR|{|a=s|}|<end>", tokens("HKCR\r\n{\ta=s }\n"));
  EXPECT_EQ("a\vb|c\fd|<end>", tokens("a\vb c\fd"));
}

TEST_F(RegistrarParserTest, QuotedTokens) {
  EXPECT_EQ("it's|<end>", tokens("'it''s'"));
  EXPECT_EQ("a b|c|<end>", tokens("'a b'c"));
  EXPECT_EQ("|x|<end>", tokens("'' x"));
  EXPECT_EQ("<failed>", tokens("'abc"));
  EXPECT_EQ("ab'c|<end>", tokens("ab'c"));  // a quote inside an unquoted token is a character
}

TEST_F(RegistrarParserTest, ATokenHoldsAtMost4095Bytes) {
  EXPECT_EQ(std::string(4095, 'x') + "|<end>", tokens(std::string(4095, 'x')));
  EXPECT_EQ("<failed>", tokens(std::string(4096, 'x')));
  EXPECT_EQ(std::string(4095, 'q') + "|<end>", tokens("'" + std::string(4095, 'q') + "'"));
  EXPECT_EQ("<failed>", tokens("'" + std::string(4096, 'q') + "'"));
}

TEST_F(RegistrarParserTest, DiscardAssignmentStepsOverTypeAndValue) {
  script = "= s 'a value' next";
  parser.setReadPosition(script.c_str());
  ASSERT_EQ(S_OK, parser.readToken(token));
  ASSERT_EQ(S_OK, parser.discardAssignment(token));
  EXPECT_STREQ("next", token);
  ASSERT_EQ(S_OK, parser.discardAssignment(token));  // not an assignment: nothing read
  EXPECT_STREQ("next", token);
}

TEST_F(RegistrarParserTest, RootKeysInShortAndLongFormsInAnyCase) {
  EXPECT_EQ(HKEY_CLASSES_ROOT, RegistrarParser::rootKeyFromName("hkcr"));
  EXPECT_EQ(HKEY_CURRENT_USER, RegistrarParser::rootKeyFromName("HKEY_CURRENT_USER"));
  EXPECT_EQ(HKEY_LOCAL_MACHINE, RegistrarParser::rootKeyFromName("HKLM"));
  EXPECT_EQ(HKEY_USERS, RegistrarParser::rootKeyFromName("HKU"));
  EXPECT_EQ(HKEY_PERFORMANCE_DATA, RegistrarParser::rootKeyFromName("HKPD"));
  EXPECT_EQ(HKEY_DYN_DATA, RegistrarParser::rootKeyFromName("HKDD"));
  EXPECT_EQ(HKEY_CURRENT_CONFIG, RegistrarParser::rootKeyFromName("hkey_current_config"));
  EXPECT_EQ(nullptr, RegistrarParser::rootKeyFromName("HKCR{"));
  EXPECT_EQ(nullptr, RegistrarParser::rootKeyFromName("HKEY_LOCAL"));
}

TEST_F(RegistrarParserTest, ValueTypesAreThreeLettersInAnyCase) {
  DWORD type = 0;
  EXPECT_TRUE(RegistrarParser::valueTypeFromLetter("s", type));
  EXPECT_EQ(REG_SZ, type);
  EXPECT_TRUE(RegistrarParser::valueTypeFromLetter("D", type));
  EXPECT_EQ(REG_DWORD, type);
  EXPECT_TRUE(RegistrarParser::valueTypeFromLetter("b", type));
  EXPECT_EQ(REG_BINARY, type);
  EXPECT_FALSE(RegistrarParser::valueTypeFromLetter("m", type));
  EXPECT_FALSE(RegistrarParser::valueTypeFromLetter("x", type));
  EXPECT_FALSE(RegistrarParser::valueTypeFromLetter("sz", type));
}

// Subkeys and values of a root, to see that a script left it as it was.
std::pair<DWORD, DWORD> Contents(HKEY root) {
  DWORD subKeys = 0, values = 0;
  RegQueryInfoKeyA(root, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                   nullptr, nullptr, nullptr);
  return {subKeys, values};
}

TEST_F(RegistrarParserTest, ScriptsThatChangeNothing) {
  const auto classes = Contents(HKEY_CLASSES_ROOT);
  const auto user = Contents(HKEY_CURRENT_USER);
  EXPECT_EQ(S_OK, parser.runScript("", TRUE));
  EXPECT_EQ(S_OK, parser.runScript(" \r\n\t", TRUE));
  EXPECT_EQ(S_OK, parser.runScript("HKCR { }", TRUE));
  EXPECT_EQ(S_OK, parser.runScript("HKCR {x }", TRUE));  // "{x" opens the block
  EXPECT_EQ(S_OK, parser.runScript("HKCR { }", FALSE));
  EXPECT_EQ(S_OK, parser.runScript("HKCU { } HKCR { }", FALSE));
  EXPECT_EQ(classes, Contents(HKEY_CLASSES_ROOT));
  EXPECT_EQ(user, Contents(HKEY_CURRENT_USER));
}

TEST_F(RegistrarParserTest, MalformedScriptsFail) {
  EXPECT_EQ(DISP_E_EXCEPTION, parser.runScript("HKCR{ }", TRUE));  // an unknown root
  EXPECT_EQ(DISP_E_EXCEPTION, parser.runScript("HKCR x", TRUE));   // no block
  EXPECT_EQ(DISP_E_EXCEPTION, parser.runScript("HKCR {", TRUE));   // no end of block
  EXPECT_EQ(DISP_E_EXCEPTION, parser.runScript("HKXX { }", TRUE));
  EXPECT_EQ(DISP_E_EXCEPTION, parser.runScript("HKCR { '", TRUE));
  EXPECT_EQ(E_POINTER, parser.runScript(nullptr, TRUE));
}

}  // namespace
}  // namespace kstv::test
