// The debug log and event-log reports on the emulated machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "diagnostics/DebugLog.h"
#include "platform/handles.h"
#include "tests/support/ServiceHarness.h"
#include "tests/support/TestServiceModule.h"

namespace kstv::test {
namespace {

class DebugLogTest : public ::testing::Test {
 protected:
  DebugLogTest() {
    module.Initialize(theClassTable, GetModuleHandleA(nullptr));
    module.debugLevel = 0;
    module.logFile = INVALID_HANDLE_VALUE;
    debuggerBefore_ = host::debuggerOutput().size();
    eventsBefore_ = host::eventLog().size();
    for (const char* folder :
         {"C:\\Program Files\\Kestrova", "C:\\Card Tools", "C:\\Tools Omega", "C:\\Tools ?mega"})
      std::filesystem::remove_all(host::hostPathOf(folder));
  }
  ~DebugLogTest() override {
    module.CloseDebugLog();
    InitializedTestServiceModule();
  }

  static void makeLogFolder() {
    std::filesystem::create_directories(
        host::hostPathOf("C:\\Program Files\\Kestrova\\MemoryCard"));
  }
  static std::string fileText(const std::string& windowsPath) {
    std::ifstream file(host::hostPathOf(windowsPath), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }
  static std::string logText(const std::string& suffix = "") { return fileText(kLogFile + suffix); }
  // The previous run's log, kept beside the log.
  static std::string previousLogText() { return logText(".1"); }
  std::vector<std::string> newDebuggerLines() const {
    auto all = host::debuggerOutput();
    return std::vector<std::string>(all.begin() + static_cast<long>(debuggerBefore_), all.end());
  }
  std::vector<host::Event> newEvents() const {
    auto all = host::eventLog();
    return std::vector<host::Event>(all.begin() + static_cast<long>(eventsBefore_), all.end());
  }

  CleanMachine machine;
  ServiceModule module{};

 private:
  std::size_t debuggerBefore_ = 0;
  std::size_t eventsBefore_ = 0;
};

TEST_F(DebugLogTest, LevelZeroOrNoValueWritesNothingAnywhere) {
  makeLogFolder();
  module.OpenDebugLog();  // no key at all
  module.DebugPrint("first %d\n", 1);
  setDebugLevel(0);
  module.OpenDebugLog();
  module.DebugPrint("second\n");
  EXPECT_EQ(0u, module.debugLevel);
  EXPECT_TRUE(newDebuggerLines().empty());
  EXPECT_FALSE(std::filesystem::exists(host::hostPathOf(kLogFile)));
}

TEST_F(DebugLogTest, LevelOneWritesToTheDebuggerOnly) {
  makeLogFolder();
  setDebugLevel(1);
  module.OpenDebugLog();
  module.DebugPrint("value %d\n", 42);
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: value 42\n"}, newDebuggerLines());
  EXPECT_EQ(INVALID_HANDLE_VALUE, module.logFile);
  EXPECT_FALSE(std::filesystem::exists(host::hostPathOf(kLogFile)));
}

TEST_F(DebugLogTest, LevelsTwoAndThreeAlsoWriteTheFile) {
  makeLogFolder();
  for (DWORD level : {2u, 3u}) {
    setDebugLevel(level);
    module.debugLevel = 0;
    module.OpenDebugLog(ServiceModule::LogStart::Empty);
    module.DebugPrint("level %u\n", static_cast<unsigned>(level));
    module.CloseDebugLog();
    EXPECT_EQ("KstvCardReader: level " + std::to_string(level) + "\n", logText());
  }
  EXPECT_EQ(2u, newDebuggerLines().size());
}

TEST_F(DebugLogTest, ARunsLogHoldsOnlyItsOwnLinesAfterAnOlderLongerOne) {
  makeLogFolder();
  std::ofstream(host::hostPathOf(kLogFile)) << "an older run wrote this much longer line\n";
  setDebugLevel(2);
  module.OpenDebugLog(ServiceModule::LogStart::Empty);
  module.DebugPrint("new\n");
  module.CloseDebugLog();
  EXPECT_EQ("KstvCardReader: new\n", logText());
}

TEST_F(DebugLogTest, ARunEmptiesTheLogThatAnEarlierOneLeft) {
  makeLogFolder();
  std::ofstream(host::hostPathOf(kLogFile)) << "an earlier run's line\n";
  std::ofstream(host::hostPathOf(kLogFile) + ".1") << "a run before it\n";
  setDebugLevel(2);
  registerAsService();
  // In-process, a run that cannot subscribe ends at once (its report on standard output).
  host::failCall("CoCreateInstance(UnsecuredApartment)", static_cast<DWORD>(REGDB_E_CLASSNOTREG));
  testing::internal::CaptureStdout();
  EXPECT_EQ(static_cast<int>(REGDB_E_CLASSNOTREG), ServiceRun().exitCode());
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("", logText());
  // The earlier run's log is kept beside it, in place of the one before.
  EXPECT_EQ("an earlier run's line\n", previousLogText());
}

// A registration that holds the log open while a run starts: the run keeps the previous
// log all the same, and the registration's later lines go on in it.
TEST_F(DebugLogTest, ARunStartingWhileARegistrationWritesTheLogStillKeepsThePreviousOne) {
  makeLogFolder();
  std::ofstream(host::hostPathOf(kLogFile)) << "the previous run's line\n";
  setDebugLevel(2);
  ServiceModule registration{};
  registration.logFile = INVALID_HANDLE_VALUE;
  registration.OpenDebugLog();
  module.OpenDebugLog(ServiceModule::LogStart::Empty);
  registration.DebugPrint("registration\n");
  module.DebugPrint("run\n");
  registration.CloseDebugLog();
  module.CloseDebugLog();
  EXPECT_EQ("KstvCardReader: run\n", logText());
  EXPECT_EQ("the previous run's line\nKstvCardReader: registration\n", previousLogText());
}

// Another program holds the log (or the kept one) without letting it be renamed or
// replaced: the run adds its lines to the log, and nothing is lost.
TEST_F(DebugLogTest, ALogThatCannotBeKeptAsideIsAddedToInstead) {
  makeLogFolder();
  std::ofstream(host::hostPathOf(kLogFile)) << "the previous run's line\n";
  std::ofstream(host::hostPathOf(kLogFile) + ".1") << "the one before\n";
  setDebugLevel(2);
  for (const char* held : {kLogFile, kPreviousLogFile}) {
    SCOPED_TRACE(held);
    UniqueFileHandle viewer(CreateFileA(held, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(viewer);
    module.OpenDebugLog(ServiceModule::LogStart::Empty);
    module.DebugPrint("run\n");
    module.CloseDebugLog();
  }
  EXPECT_EQ("the previous run's line\nKstvCardReader: run\nKstvCardReader: run\n", logText());
  EXPECT_EQ("the one before\n", previousLogText());
}

TEST_F(DebugLogTest, ARegistrationAddsItsLinesAfterThoseOfARunningServiceAndTearsNone) {
  makeLogFolder();
  setDebugLevel(2);
  module.OpenDebugLog(ServiceModule::LogStart::Empty);  // the service's run
  module.DebugPrint("service before\n");
  ServiceModule registration{};
  registration.logFile = INVALID_HANDLE_VALUE;
  registration.OpenDebugLog();  // a registration road, while the service runs
  registration.DebugPrint("registration\n");
  module.DebugPrint("service after\n");
  registration.CloseDebugLog();
  module.CloseDebugLog();
  EXPECT_EQ(
      "KstvCardReader: service before\nKstvCardReader: registration\n"
      "KstvCardReader: service after\n",
      logText());
}

TEST_F(DebugLogTest, TheLogCanBeReadByAnotherProgramWhileItIsOpen) {
  makeLogFolder();
  setDebugLevel(2);
  module.OpenDebugLog(ServiceModule::LogStart::Empty);
  ASSERT_NE(INVALID_HANDLE_VALUE, module.logFile);
  // As a viewer opens it: reading, and letting others read and write.
  UniqueFileHandle reader(CreateFileA(kLogFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(reader) << "error " << GetLastError();
}

TEST_F(DebugLogTest, ALevelValueLongerThanItsBufferLeavesTheLevelZero) {
  makeLogFolder();
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_ALL_ACCESS, key));
  std::string bytes(MAX_PATH + 1, '\0');
  bytes[0] = '\x03';
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "DebugLevel", 0, REG_BINARY,
                                          reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
  module.OpenDebugLog();
  module.DebugPrint("nothing\n");
  EXPECT_EQ(0u, module.debugLevel);
  EXPECT_TRUE(newDebuggerLines().empty());
  EXPECT_FALSE(std::filesystem::exists(host::hostPathOf(kLogFile)));

  bytes.resize(4);  // the same number in four bytes: read
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "DebugLevel", 0, REG_BINARY,
                                          reinterpret_cast<const BYTE*>(bytes.data()),
                                          static_cast<DWORD>(bytes.size())));
  module.OpenDebugLog();
  EXPECT_EQ(3u, module.debugLevel);
}

TEST_F(DebugLogTest, AMissingFolderLeavesTheFileClosedAndTheDebuggerWritten) {
  setDebugLevel(2);
  module.OpenDebugLog();
  EXPECT_EQ(INVALID_HANDLE_VALUE, module.logFile);
  module.DebugPrint("still here\n");
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: still here\n"}, newDebuggerLines());
}

// Only a number sets the level: a REG_DWORD, or four bytes of REG_BINARY. "reg add" writes a
// string unless told otherwise, and the bytes of "0" would read as 0x30, output on.
TEST_F(DebugLogTest, OnlyANumberOfFourBytesSetsTheLevel) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_ALL_ACCESS, key));
  struct Case {
    DWORD type;
    std::string bytes;
    DWORD level;
  } cases[] = {
      {REG_DWORD, std::string("\x03\x00\x00\x00", 4), 3},
      {REG_BINARY, std::string("\x02\x00\x00\x00", 4), 2},
      {REG_SZ, std::string("0\0", 2), 0},
      {REG_SZ, std::string("3\0", 2), 0},
      {REG_SZ, std::string("\x01\x00\x00\x00zz", 6), 0},
      {REG_EXPAND_SZ, std::string("\x02\x00\x00", 4), 0},
      {REG_BINARY, std::string("\x03", 1), 0},
      {REG_DWORD_BIG_ENDIAN, std::string("\x00\x00\x00\x02", 4), 0},
      {REG_QWORD, std::string("\x02\x00\x00\x00\x00\x00\x00\x00", 8), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << ", " << c.bytes.size() << " bytes");
    ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), "DebugLevel", c.bytes, c.type));
    module.debugLevel = 7;
    module.OpenDebugLog();
    EXPECT_EQ(c.level, module.debugLevel);
    EXPECT_EQ(c.level, ReadDebugLevel());
  }
}

// The log lies in the program's own folder, wherever the program is installed, and so does
// the previous run's; a folder the ANSI calls cannot name gets none, not even in the
// folder whose name they would give instead.
TEST_F(DebugLogTest, TheLogLiesInTheProgramsOwnFolderWhereverThatIs) {
  makeLogFolder();
  std::filesystem::create_directories(host::hostPathOf("C:\\Card Tools"));
  std::ofstream(host::hostPathOf("C:\\Card Tools\\KstvCardReader.log")) << "the previous run\n";
  host::setModulePath("C:\\Card Tools\\KstvCardReader.exe");
  setDebugLevel(2);
  module.OpenDebugLog(ServiceModule::LogStart::Empty);
  module.DebugPrint("custom\n");
  module.CloseDebugLog();
  EXPECT_EQ("KstvCardReader: custom\n", fileText("C:\\Card Tools\\KstvCardReader.log"));
  EXPECT_EQ("the previous run\n", fileText("C:\\Card Tools\\KstvCardReader.log.1"));
  EXPECT_FALSE(std::filesystem::exists(host::hostPathOf(kLogFile)));

  for (const char* lookAlike : {"C:\\Tools Omega", "C:\\Tools ?mega"})
    std::filesystem::create_directories(host::hostPathOf(lookAlike));
  host::setModulePathUtf8("C:\\Tools \u03A9mega\\KstvCardReader.exe");
  module.OpenDebugLog(ServiceModule::LogStart::Empty);
  EXPECT_EQ(INVALID_HANDLE_VALUE, module.logFile);
  module.DebugPrint("no file\n");
  EXPECT_EQ("KstvCardReader: no file\n", newDebuggerLines().back());
  for (const char* lookAlike : {"C:\\Tools Omega", "C:\\Tools ?mega"})
    EXPECT_TRUE(std::filesystem::is_empty(host::hostPathOf(lookAlike))) << lookAlike;
}

TEST_F(DebugLogTest, AnOverLongMessageIsCutToItsBuffer) {
  setDebugLevel(1);
  module.OpenDebugLog();
  module.DebugPrint("%s\n", std::string(400, 'm').c_str());
  auto lines = newDebuggerLines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("KstvCardReader: " + std::string(255, 'm'), lines[0]);
}

TEST_F(DebugLogTest, InServiceModeAReportGoesToTheEventLogAndTheDebugLog) {
  setDebugLevel(1);
  module.OpenDebugLog();
  module.serviceMode = TRUE;
  module.ReportToEventLog(EVENTLOG_WARNING_TYPE, "Bad %s", "service request");
  auto events = newEvents();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("KstvCardReader", events[0].source);
  EXPECT_EQ(EVENTLOG_WARNING_TYPE, events[0].type);
  EXPECT_EQ(0, events[0].category);
  EXPECT_EQ(0u, events[0].eventId);
  EXPECT_EQ(std::vector<std::string>{"Bad service request"}, events[0].strings);
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: Bad service request\n"}, newDebuggerLines());
}

TEST_F(DebugLogTest, InProcessAReportGoesToStandardOutputOnly) {
  setDebugLevel(1);
  module.OpenDebugLog();
  module.serviceMode = FALSE;
  testing::internal::CaptureStdout();
  module.ReportToEventLog(EVENTLOG_ERROR_TYPE, "Service is not applicable for this OS.");
  EXPECT_EQ("Service is not applicable for this OS.\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(newEvents().empty());
  EXPECT_TRUE(newDebuggerLines().empty());
}

TEST_F(DebugLogTest, AnEventSourceThatCannotBeRegisteredStillLeavesTheDebugLine) {
  setDebugLevel(1);
  module.OpenDebugLog();
  module.serviceMode = TRUE;
  host::failCall("RegisterEventSourceA", ERROR_ACCESS_DENIED, 1);
  module.ReportToEventLog(EVENTLOG_ERROR_TYPE, "Handler not installed");
  EXPECT_TRUE(newEvents().empty());
  EXPECT_EQ(std::vector<std::string>{"KstvCardReader: Handler not installed\n"},
            newDebuggerLines());
}

}  // namespace
}  // namespace kstv::test
