// -Status on the emulated machine: the lines and the exit code of a consistent machine and
// of each problem made on purpose, what a user without administrator rights sees, that it
// changes nothing, and where it writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "service/Entry.h"
#include "service/Status.h"
#include "tests/support/Badges.h"
#include "tests/support/EmulatedVolumes.h"
#include "tests/support/FakeService.h"
#include "tests/support/ServiceHarness.h"
#include "tools/kstvreg/RegExport.h"

namespace kstv::test {
namespace {

constexpr char kFolder[] = "C:\\Program Files\\Kestrova\\MemoryCard\\";
constexpr char kServiceName[] = "KstvCardReader";

std::string ownIcon(const char* relative) { return std::string(kFolder) + relative; }

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    EXPECT_TRUE(!line.empty() && line.back() == '\r') << "not ended by CR LF: " << line;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A registration road of the program, its output dropped.
int road(const char* word) {
  host::setCommandLine(quotedProgramPath() + " " + word);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int code = Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
  testing::internal::GetCapturedStderr();
  testing::internal::GetCapturedStdout();
  return code;
}

class StatusTest : public ::testing::Test {
 protected:
  StatusTest() {
    host::resetServiceManager();
    host::clearMessageBoxes();
    registryHandles_ = host::openRegistryHandleCount();
  }
  ~StatusTest() override {
    EXPECT_EQ(registryHandles_, host::openRegistryHandleCount()) << "a registry handle leaked";
    EXPECT_EQ(0u, host::openServiceHandleCount()) << "a service handle leaked";
    EXPECT_EQ(0, host::comInitializationDepth());
    host::refuseServiceManagerFullAccess(false);
    host::resetServiceManager();
  }

  // -Status as the program runs it: its exit code, and its lines as standard output holds
  // them.
  int status() {
    host::setCommandLine(quotedProgramPath() + " -Status");
    testing::internal::CaptureStdout();
    const int code = Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
    lines_ = linesOf(testing::internal::GetCapturedStdout());
    return code;
  }
  // The value of the line `name`, if there is one.
  std::optional<std::string> line(const std::string& name) const {
    for (const std::string& line : lines_)
      if (line.rfind(name + ": ", 0) == 0) return line.substr(name.size() + 2);
    return std::nullopt;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    for (const std::string& line : lines_) names.push_back(line.substr(0, line.find(": ")));
    return names;
  }
  static void setImagePath(const char* imagePath) {
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
    ASSERT_TRUE(ChangeServiceConfigA(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                     SERVICE_NO_CHANGE, imagePath, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr));
  }
  static void deleteEntry() {
    UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    UniqueServiceHandle service(OpenServiceA(manager.get(), kServiceName, DELETE));
    ASSERT_TRUE(DeleteService(service.get()));
  }

  CleanMachine machine;
  CleanBadges badges;
  OnlySystemDiskAfterwards volumes;
  std::vector<std::string> lines_;

 private:
  std::size_t registryHandles_ = 0;
};

// Registered with -Service, its service running, cards in E: and F: badged as a run
// badges them, a USB stick in G: and a DVD drive in D:.
struct ConsistentMachine {
  ConsistentMachine() {
    EXPECT_EQ(0, road("-Service"));
    host::addVolume(cardVolume('E', "SDHC Reader"));
    host::addVolume(cardVolume('F', "MSPro Duo"));
    host::addVolume(plainVolume('G'));
    host::addVolume(plainVolume('D', DRIVE_CDROM));
    BuildBadgeIconPaths(kFolder);
    PublishDriveBadge(KSTV_W("E:"), CardType::SD);
    PublishDriveBadge(KSTV_W("F:"), CardType::MS);
    service.emplace();
  }
  ~ConsistentMachine() {
    service.reset();
    RemoveRecordedDriveBadges();
  }
  std::optional<FakeService> service;
};

TEST_F(StatusTest, AConsistentMachineExitsZeroWithTheDocumentedLinesInTheirOrder) {
  ConsistentMachine consistent;
  EXPECT_EQ(kStatusConsistent, status());
  EXPECT_EQ((std::vector<std::string>{"Program",
                                      "Version",
                                      "AppID",
                                      "AppID of KstvCardReader.EXE",
                                      "LocalService",
                                      "Type library",
                                      "Service entry",
                                      "Service start type",
                                      "Service dependencies",
                                      "Service description",
                                      "Service recovery",
                                      "Service state",
                                      "Registration",
                                      "Debug level",
                                      "Log file",
                                      "Drive C",
                                      "Drive D",
                                      "Drive E",
                                      "Drive F",
                                      "Drive G",
                                      "Verdict"}),
            names());
  EXPECT_EQ(host::kDefaultModulePath, line("Program"));
  EXPECT_EQ(KSTV_VERSION, line("Version"));
  for (const char* part :
       {"AppID", "AppID of KstvCardReader.EXE", "LocalService", "Type library", "Service entry"})
    EXPECT_EQ("this program", line(part)) << part;
  EXPECT_EQ("automatic", line("Service start type"));
  EXPECT_EQ("RPCSS", line("Service dependencies"));
  EXPECT_EQ(
      "restart after 60000 ms, restart after 60000 ms, none; reset after 86400 s; stops with an "
      "exit code count",
      line("Service recovery"));
  EXPECT_EQ("running", line("Service state"));
  EXPECT_EQ("as a service", line("Registration"));
  EXPECT_EQ("0 (off)", line("Debug level"));
  EXPECT_EQ(ownIcon("KstvCardReader.log"), line("Log file"));
  EXPECT_EQ("fixed, badge none", line("Drive C"));
  EXPECT_EQ("CD-ROM, badge none", line("Drive D"));
  EXPECT_EQ(
      "removable, vendor \"Kestrova\", product \"SDHC Reader\", card SD, badge this program's",
      line("Drive E"));
  EXPECT_EQ("removable, vendor \"Kestrova\", product \"MSPro Duo\", card MS, badge this program's",
            line("Drive F"));
  EXPECT_EQ("removable, vendor \"Generic\", product \"USB Flash Disk\", no card, badge none",
            line("Drive G"));
  EXPECT_EQ("consistent, registered as a service and running (exit code 0)", line("Verdict"));
}

// Each problem, made on purpose on an otherwise consistent machine, gives its code and is
// named in the verdict and in its own line.
TEST_F(StatusTest, EachProblemGivesItsCodeAndIsNamed) {
  struct Case {
    const char* what;
    std::function<void(ConsistentMachine&)> make;
    int code;
    const char* verdict;
    const char* lineName;
    const char* lineValue;
  } cases[] = {
      {"the AppID without its service entry",
       [](ConsistentMachine& m) {
         m.service.reset();  // an entry goes once its service has stopped
         deleteEntry();
       },
       kStatusHalfRegistration, "half a registration (service entry absent)", "Service entry",
       "absent"},
      {"a service entry naming another path",
       [](ConsistentMachine&) { setImagePath("\"C:\\Other\\KstvCardReader.exe\""); },
       kStatusHalfRegistration,
       "half a registration (service entry names \"C:\\Other\\KstvCardReader.exe\")",
       "Service entry", "names \"C:\\Other\\KstvCardReader.exe\""},
      {"the program's own path, unquoted",
       [](ConsistentMachine&) { setImagePath(host::kDefaultModulePath); }, kStatusHalfRegistration,
       "half a registration (service entry names C:\\", "Registration",
       "half (service entry names C:\\Program Files"},
      {"a type library of another path",
       [](ConsistentMachine&) {
         UniqueKey key;
         ASSERT_EQ(ERROR_SUCCESS,
                   createKey(HKEY_CLASSES_ROOT,
                             "TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}\\1.0\\409\\win32",
                             KEY_ALL_ACCESS, key));
         ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), nullptr, std::string("C:\\x.exe") + '\0'));
       },
       kStatusHalfRegistration, "half a registration (type library names C:\\x.exe)",
       "Type library", "names C:\\x.exe"},
      {"a stopped service", [](ConsistentMachine& m) { m.service.reset(); },
       kStatusServiceNotRunning, "the service is registered but not running (stopped)",
       "Service state", "stopped"},
      {"a badge of this program left on a letter whose card is gone",
       [](ConsistentMachine&) { plantBadge('K', ownIcon("XD\\KICXD.ICO")); }, kStatusStaleBadge,
       "stale badge of this program on K:", "Drive K",
       "no drive, badge this program's (stale: no card)"},
      {"a badge of this program on a drive holding a USB stick",
       [](ConsistentMachine&) { plantBadge('G', ownIcon("SD\\kicsd.ico")); }, kStatusStaleBadge,
       "stale badge of this program on G:", "Drive G",
       "removable, vendor \"Generic\", product \"USB Flash Disk\", no card, badge this "
       "program's (stale: no card)"},
      {"a badge of this program on an empty slot of the reader",
       [](ConsistentMachine&) {
         host::Volume empty = cardVolume('H', "SDHC Reader");
         empty.noMedium = true;
         host::addVolume(empty);
         plantBadge('H', ownIcon("SD\\kicsd.ico"));
       },
       kStatusStaleBadge, "stale badge of this program on H:", "Drive H",
       "removable, empty (no medium), badge this program's (stale: no card)"},
      {"a stale badge while the service is stopped: the stopped service comes first",
       [](ConsistentMachine& m) {
         m.service.reset();
         plantBadge('K', ownIcon("XD\\KICXD.ICO"));
       },
       kStatusServiceNotRunning, "the service is registered but not running (stopped)", "Drive K",
       "no drive, badge this program's (stale: no card)"},
      {"a card without its badge while the service runs",
       [](ConsistentMachine&) { host::addVolume(cardVolume('H', "MMCplus")); },
       kStatusCardWithoutBadge, "card without its badge on H: while the service runs", "Drive H",
       "removable, vendor \"Kestrova\", product \"MMCplus\", card MMC, badge none (card "
       "without its badge)"},
      {"another program's badge on the USB stick",
       [](ConsistentMachine&) { plantBadge('G', "C:\\Other Reader\\SD\\kicsd.ico"); },
       kStatusConsistent, "consistent", "Drive G",
       "removable, vendor \"Generic\", product \"USB Flash Disk\", no card, badge another "
       "program's"},
      {"a drive whose descriptor a user may not read, while the service runs",
       [](ConsistentMachine&) {
         host::Volume locked = cardVolume('H', "SDHC Reader");
         locked.openError = ERROR_ACCESS_DENIED;
         host::addVolume(locked);
       },
       kStatusNotAllRead, "not all could be read (drives H:)", "Drive H",
       "removable, descriptor unread (error 5), badge none"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      ConsistentMachine machine;
      c.make(machine);
      EXPECT_EQ(c.code, status());
      ASSERT_TRUE(line("Verdict"));
      EXPECT_EQ(0u, line("Verdict")->rfind(c.verdict, 0)) << *line("Verdict");
      EXPECT_EQ(0u, line(c.lineName).value_or("(none)").rfind(c.lineValue, 0))
          << line(c.lineName).value_or("(none)");
    }
    removeTree(HKEY_CLASSES_ROOT, kDrivesKey);
    for (char letter : {'E', 'F', 'G', 'H', 'D'}) host::removeVolume(letter);
    road("-UnregServer");
    host::resetServiceManager();
    host::clearServiceReports();  // the next run's are the ones waited for
  }
}

// What each whole registration, or none, reports without a problem of its drives.
TEST_F(StatusTest, NoRegistrationAndARegistrationWithoutServiceAreNoHalfRegistration) {
  EXPECT_EQ(kStatusNotRegistered, status());
  for (const char* part :
       {"AppID", "AppID of KstvCardReader.EXE", "LocalService", "Type library", "Service entry"})
    EXPECT_EQ("absent", line(part)) << part;
  EXPECT_EQ("-", line("Service state"));
  EXPECT_EQ("not registered (exit code 5)", line("Verdict"));

  ASSERT_EQ(0, road("-RegServer"));
  EXPECT_EQ(kStatusConsistent, status());
  EXPECT_EQ("absent", line("LocalService"));
  EXPECT_EQ("absent", line("Service entry"));
  EXPECT_EQ("without a service", line("Registration"));
  EXPECT_EQ("consistent, registered without a service (exit code 0)", line("Verdict"));
  road("-UnregServer");
}

TEST_F(StatusTest, AUserWithoutAdministratorRightsReadsWhatTheManagerLetsUsersRead) {
  ConsistentMachine consistent;
  host::refuseServiceManagerFullAccess(true);
  EXPECT_EQ(kStatusConsistent, status());
  EXPECT_EQ("running", line("Service state"));

  host::failCall("OpenSCManagerA", ERROR_ACCESS_DENIED);
  EXPECT_EQ(kStatusNotAllRead, status());
  EXPECT_EQ("unread (error 5)", line("Service entry"));
  EXPECT_EQ("unread (error 5)", line("Service state"));
  EXPECT_EQ("unknown", line("Registration"));
  EXPECT_EQ("not all could be read (the registration) (exit code 6)", line("Verdict"));
}

TEST_F(StatusTest, ItChangesNothingInTheRegistryTheLogTheServiceManagerOrTheBadges) {
  ConsistentMachine consistent;
  plantBadge('K', ownIcon("SD\\kicsd.ico"));  // stale: the run's start would remove it
  setDebugLevel(2);  // a run or a registration would make the log in its folder
  const std::string log = host::hostPathOf(kLogFile);
  std::filesystem::create_directories(std::filesystem::path(log).parent_path());
  std::filesystem::remove(log);
  std::string before;
  ASSERT_TRUE(ExportKey(HKEY_LOCAL_MACHINE, "HKLM", "", before));
  const std::size_t reports = host::serviceStatusReports().size();
  const std::size_t events = host::eventLog().size();
  host::resetCallCounts();

  EXPECT_EQ(kStatusStaleBadge, status());
  EXPECT_EQ("2 (debugger channel and log file)", line("Debug level"));

  std::string after;
  ASSERT_TRUE(ExportKey(HKEY_LOCAL_MACHINE, "HKLM", "", after));
  EXPECT_EQ(before, after);
  EXPECT_TRUE(host::serviceControlsSent().empty());
  EXPECT_EQ(reports, host::serviceStatusReports().size());
  EXPECT_EQ(events, host::eventLog().size());
  EXPECT_TRUE(host::messageBoxes().empty());
  EXPECT_FALSE(std::filesystem::exists(log)) << "the log was opened";
  EXPECT_EQ(0u, host::callCount("CreateFileMappingA")) << "the card monitor was claimed";
}

// A pseudo-terminal whose screen side stands in for a command prompt's console.
class PromptConsole {
 public:
  PromptConsole() {
    terminal_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal_ < 0 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0) return;
    screen_ = open(ptsname(terminal_), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(screen_, &raw);
    cfmakeraw(&raw);
    tcsetattr(screen_, TCSANOW, &raw);
    fcntl(terminal_, F_SETFL, fcntl(terminal_, F_GETFL) | O_NONBLOCK);
  }
  ~PromptConsole() {
    if (screen_ >= 0) close(screen_);
    if (terminal_ >= 0) close(terminal_);
  }
  bool ready() const { return terminal_ >= 0 && screen_ >= 0; }
  int screen() const { return screen_; }
  // What the console shows so far.
  std::string shown() const {
    char text[256] = {};
    const ssize_t length = read(terminal_, text, sizeof text - 1);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
  }

 private:
  int terminal_ = -1;
  int screen_ = -1;
};

// Points a standard descriptor elsewhere for as long as it lives.
class RedirectedDescriptor {
 public:
  RedirectedDescriptor(int descriptor, int to) : descriptor_(descriptor), saved_(dup(descriptor)) {
    std::fflush(nullptr);
    dup2(to, descriptor);
  }
  ~RedirectedDescriptor() {
    std::fflush(nullptr);
    dup2(saved_, descriptor_);
    close(saved_);
  }

 private:
  int descriptor_;
  int saved_;
};

StatusReport TwoLineReport() {
  StatusReport report;
  report.lines = {"Program: C:\\Cartes\\Caf\xE9\\KstvCardReader.exe", "Verdict: consistent"};
  return report;
}

// Standard output a terminal, as in a command prompt: the program, which has no console of
// its own, writes to its parent's for as long as it writes, and lets it go again.
TEST_F(StatusTest, StartedFromAConsoleItWritesToTheParentsConsole) {
  PromptConsole console;
  ASSERT_TRUE(console.ready());
  {
    RedirectedDescriptor output(STDOUT_FILENO, console.screen());
    EXPECT_EQ(nullptr, GetStdHandle(STD_OUTPUT_HANDLE));  // a GUI program's, from a console
    WriteStatus(TwoLineReport());
  }
  // In the console's own text: the code page's é as UTF-16, which the terminal shows as UTF-8.
  EXPECT_EQ("Program: C:\\Cartes\\Caf\xC3\xA9\\KstvCardReader.exe\r\nVerdict: consistent\r\n",
            console.shown());
  EXPECT_TRUE(AttachConsole(ATTACH_PARENT_PROCESS) || GetLastError() != ERROR_ACCESS_DENIED)
      << "the console was not let go";
  FreeConsole();
}

// "KstvCardReader -Status > nul" in a command prompt: standard output is a device, which
// takes the lines; the prompt's console shows none of them.
TEST_F(StatusTest, OutputRedirectedToADeviceGoesThereAndNotToTheConsole) {
  PromptConsole console;
  ASSERT_TRUE(console.ready());
  const int nul = open("/dev/null", O_WRONLY);
  ASSERT_GE(nul, 0);
  {
    RedirectedDescriptor errors(STDERR_FILENO, console.screen());  // the prompt's console
    RedirectedDescriptor output(STDOUT_FILENO, nul);
    ASSERT_EQ(FILE_TYPE_CHAR, GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)));
    host::resetCallCounts();
    WriteStatus(TwoLineReport());
    EXPECT_GE(host::callCount("WriteFile"), 1u) << "the device was given the lines";
  }
  close(nul);
  EXPECT_EQ("", console.shown());
}

}  // namespace
}  // namespace kstv::test
