// The debug log (debugger channel, and the log file when bit 1 of DebugLevel is set) and
// reports to the NT event log.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "module/ServiceModule.h"
#include "platform/handles.h"
#include "platform/locks.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

constexpr char kSettingsKey[] = "SOFTWARE\\Kestrova\\KstvCardReader";
constexpr char kDebugLevelValue[] = "DebugLevel";
constexpr char kLogFilePath[] = "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log";
// The previous run's log, kept beside the new one.
constexpr char kPreviousLogFilePath[] =
    "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log.1";
// Lines carry the program's fixed name, not the service name.
constexpr char kProgramName[] = "KstvCardReader";
constexpr DWORD kDebugToFile = 0x2;
// Other programs may read the log, and other roads of this one write it, while it is open;
// and a run may keep it as the previous run's log while another road holds it.
constexpr DWORD kLogShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int kMessageCapacity = 256;
constexpr int kLineCapacity = 1024;

// The run thread closes the file while the control handler's thread may still write a
// line: both go through this lock, so that no line is written to a closed handle.
SRWLOCK logFileLock = SRWLOCK_INIT;

// The level is set by the run thread and read by the control handler's thread.
std::atomic_ref<DWORD> LevelOf(ServiceModule& module) {
  return std::atomic_ref<DWORD>(module.debugLevel);
}

}  // namespace

DWORD ServiceModule::ReadDebugLevel() const {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, kKeyRead, &opened) != ERROR_SUCCESS)
    return 0;
  RegistryKey settings;
  settings.attach(opened);
  // Cleared first, so that a value shorter than four bytes still gives a defined level.
  BYTE buffer[MAX_PATH] = {};
  DWORD type = REG_NONE;
  DWORD size = sizeof buffer;
  if (RegQueryValueExA(settings.handle(), kDebugLevelValue, nullptr, &type, buffer, &size) !=
      ERROR_SUCCESS)
    return 0;
  DWORD level;
  std::memcpy(&level, buffer, sizeof level);  // the first four bytes, little-endian
  return level;
}

const char* ServiceModule::DebugLogPath() const { return kLogFilePath; }

void ServiceModule::OpenDebugLog(LogStart start) {
  const DWORD level = ReadDebugLevel();
  if (level == 0) return;  // the level stays as the caller set it: 0
  LevelOf(*this).store(level);

  ExclusiveLock guard(logFileLock);
  if ((level & kDebugToFile) && logFile == INVALID_HANDLE_VALUE) {
    // A run starts a log of its own and keeps the previous run's beside it (replacing an
    // older one), so that the lines that explain a failure outlive the restart after it.
    // When the log cannot be moved (another program holds it, or the kept one, without
    // letting it be renamed or replaced), the run adds its lines to it: nothing is lost.
    if (start == LogStart::Empty)
      MoveFileExA(DebugLogPath(), kPreviousLogFilePath, MOVEFILE_REPLACE_EXISTING);
    // Only appending: every line lands at the end, after those of another process that
    // writes the same log (a registration while the service runs), never over them.
    logFile = CreateFileA(DebugLogPath(), FILE_APPEND_DATA | SYNCHRONIZE, kLogShareMode, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
}

void ServiceModule::CloseDebugLog() {
  ExclusiveLock guard(logFileLock);
  if (logFile == INVALID_HANDLE_VALUE) return;
  CloseHandle(logFile);
  logFile = INVALID_HANDLE_VALUE;
}

void ServiceModule::ResetDebugLog() {
  LevelOf(*this).store(0);
  ExclusiveLock guard(logFileLock);
  logFile = INVALID_HANDLE_VALUE;
}

void ServiceModule::DebugPrint(const char* format, ...) {
  const DWORD level = LevelOf(*this).load();
  if (level == 0) return;
  char message[kMessageCapacity];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);  // cut to fit
  va_end(arguments);
  char line[kLineCapacity];
  std::snprintf(line, sizeof line, "%s: %s", kProgramName, message);
  OutputDebugStringA(line);
  if (level & kDebugToFile) {
    ExclusiveLock guard(logFileLock);
    DWORD written = 0;
    WriteFile(logFile, line, static_cast<DWORD>(std::strlen(line)), &written,
              nullptr);  // failures ignored
  }
}

namespace {

// One event of the program's source: category 0, identifier 0, the message as its one
// insertion string. Skipped when the source cannot be registered.
void PrintLine(const char* message) {
  std::printf("%s\n", message);
  std::fflush(stdout);
}

}  // namespace

void ServiceModule::ReportToEventLog(WORD type, const char* format, ...) {
  char message[kMessageCapacity];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  if (!serviceMode) {
    PrintLine(message);
    return;
  }
  WriteEvent(type, message);
}

void ServiceModule::WriteEvent(WORD type, const char* message) {
  // Event 0 of the source named after the service, the message its one insertion string.
  if (HANDLE source = RegisterEventSourceA(nullptr, serviceName)) {
    LPCSTR strings[] = {message};
    ReportEventA(source, type, 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
  }
  DebugPrint("%s\n", message);
}

void ServiceModule::ReportToEventLogAlways(WORD type, const char* format, ...) {
  char message[kMessageCapacity];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  WriteEvent(type, message);
  if (!serviceMode) PrintLine(message);
}

}  // namespace kstv
