// Checks of the resources a module carries, for the program's own module and, under
// Wine, for KstvCardReader.exe loaded as data.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "platform/win32.h"
#include "tests/support/ExpectedScript.h"

namespace kstv::test {

inline std::string_view resourceBytes(HMODULE module, LPCSTR name, LPCSTR type) {
  HRSRC found = FindResourceA(module, name, type);
  if (!found) return {};
  HGLOBAL loaded = LoadResource(module, found);
  if (!loaded) return {};
  return std::string_view(static_cast<const char*>(LockResource(loaded)),
                          SizeofResource(module, found));
}

inline void expectProductResources(HMODULE module) {
  EXPECT_EQ(kRegistrationScript, resourceBytes(module, MAKEINTRESOURCEA(100), "REGISTRY"));

  std::string_view typeLibrary = resourceBytes(module, MAKEINTRESOURCEA(1), "TYPELIB");
  ASSERT_GT(typeLibrary.size(), 4u);
  EXPECT_EQ("MSFT", typeLibrary.substr(0, 4));

  std::string_view manifest = resourceBytes(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
  EXPECT_NE(
      std::string_view::npos,
      manifest.find("<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>"));

  char name[64];
  std::memset(name, 0x55, sizeof name);
  EXPECT_EQ(14, LoadStringA(module, 100, name, sizeof name));
  EXPECT_STREQ("KstvCardReader", name);
}

}  // namespace kstv::test
