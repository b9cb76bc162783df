// Windows build: the event source's message file turns each event the program reports
// (identifier 0, one insertion string) into exactly that string, as the event viewer
// formats it.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"
#include "tests/support/WinePaths.h"

namespace kstv::test {
namespace {

constexpr DWORD kEventIdentifier = 0;

TEST(MessageFileTest, EveryReportedEventIsShownAsItsOwnTextAlone) {
  const std::string path = windowsPathOfUnixFile(KSTV_MESSAGES_UNIX_PATH);
  HMODULE messages = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(nullptr, messages) << path << ": " << GetLastError();
  for (const char* text :
       {"Service is not applicable for this OS.", "Handler not installed", "Bad service request",
        "Couldn't subscribe to disk events (0x80040154)"}) {
    SCOPED_TRACE(text);
    DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(text)};
    char shown[512] = {};
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages,
                       kEventIdentifier, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), shown,
                       sizeof shown, reinterpret_cast<va_list*>(arguments));
    ASSERT_NE(0u, length) << GetLastError();
    EXPECT_EQ(std::string(text), std::string(shown, length));
  }
  // No other message is there to be shown instead.
  char other[64];
  EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                               messages, 1, 0, other, sizeof other, nullptr));
  FreeLibrary(messages);
}

}  // namespace
}  // namespace kstv::test
