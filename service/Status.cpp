#include "service/Status.h"

#include <cstdio>

#include "diagnostics/DebugLog.h"
#include "module/ProgramFile.h"
#include "platform/com_apartment.h"
#include "service/ProgramLocation.h"
#include "service/StatusParts.h"

namespace kstv {
namespace {

constexpr char kProgramVersion[] = KSTV_PROGRAM_VERSION;
// A line stays readable whatever a registry value or a device says.
constexpr std::size_t kLongestValue = 300;

std::string DebugLevelText(DWORD level) {
  const char* meaning = level == 0      ? "off"
                        : (level & 0x2) ? "debugger channel and log file"
                                        : "debugger channel";
  return std::to_string(level) + " (" + meaning + ")";
}

std::string Letters(const std::vector<char>& letters) {
  std::string text;
  for (char letter : letters) text += (text.empty() ? "" : ", ") + std::string(1, letter) + ":";
  return text;
}

// The first problem, in the fixed order, gives the exit code and the verdict.
void Judge(const RegistrationFindings& registration, const DriveFindings& drives,
           StatusReport& report) {
  const bool asService = registration.kind == RegistrationKind::AsService;
  std::string unread;
  if (registration.kind == RegistrationKind::Unknown) unread = "the registration";
  if (asService && !registration.stateRead)
    unread += (unread.empty() ? "" : ", ") + std::string("the service's state");
  if (drives.listUnread) unread += (unread.empty() ? "" : ", ") + std::string("the drives");
  if (!drives.undetermined.empty())
    unread += (unread.empty() ? "" : ", ") + std::string("drives ") + Letters(drives.undetermined);

  std::string verdict;
  if (registration.kind == RegistrationKind::Half) {
    report.exitCode = kStatusHalfRegistration;
    verdict = "half a registration (" + registration.halfReason + ")";
  } else if (asService && registration.stateRead && registration.state != SERVICE_RUNNING) {
    report.exitCode = kStatusServiceNotRunning;
    verdict = "the service is registered but not running (" + registration.stateText + ")";
  } else if (!drives.staleBadges.empty()) {
    report.exitCode = kStatusStaleBadge;
    verdict = "stale badge of this program on " + Letters(drives.staleBadges);
  } else if (!drives.cardsWithoutBadge.empty()) {
    report.exitCode = kStatusCardWithoutBadge;
    verdict = "card without its badge on " + Letters(drives.cardsWithoutBadge) +
              " while the service runs";
  } else if (registration.kind == RegistrationKind::None) {
    report.exitCode = kStatusNotRegistered;
    verdict = "not registered";
  } else if (!unread.empty()) {
    report.exitCode = kStatusNotAllRead;
    verdict = "not all could be read (" + unread + ")";
  } else {
    report.exitCode = kStatusConsistent;
    verdict = asService ? "consistent, registered as a service and running"
                        : "consistent, registered without a service";
  }
  AddStatusLine(report, "Verdict",
                verdict + " (exit code " + std::to_string(report.exitCode) + ")");
}

}  // namespace

void AddStatusLine(StatusReport& report, const std::string& name, const std::string& value) {
  std::string line = name + ": ";
  for (std::size_t i = 0; i < value.size() && i < kLongestValue; ++i) {
    const unsigned char byte = static_cast<unsigned char>(value[i]);
    line += byte < 0x20 || byte == 0x7F ? '?' : value[i];
  }
  if (value.size() > kLongestValue) line += "...";
  report.lines.push_back(line);
}

std::string UnreadText(DWORD code) { return "unread (error " + std::to_string(code) + ")"; }

StatusReport ReadStatus(ServiceModule& module) {
  StatusReport report;
  // The type library is read through OLE Automation.
  ComApartment apartment;
  char programPath[MAX_PATH] = {};
  const DWORD pathRead = ProgramFilePath(programPath);
  AddStatusLine(report, "Program",
                pathRead == ERROR_SUCCESS ? std::string(programPath) : UnreadText(pathRead));
  AddStatusLine(report, "Version", kProgramVersion);
  const RegistrationFindings registration = ReadRegistrationStatus(module, report);
  AddStatusLine(report, "Debug level", DebugLevelText(ReadDebugLevel()));
  char folder[MAX_PATH];
  char logPath[MAX_PATH];
  const DWORD folderRead = ProgramFolder(folder);
  AddStatusLine(report, "Log file",
                folderRead != ERROR_SUCCESS     ? UnreadText(folderRead)
                : DebugLogPath(folder, logPath) ? std::string(logPath)
                                                : UnreadText(ERROR_FILENAME_EXCED_RANGE));
  FindModuleFolder(module.moduleFolder);
  const bool monitoring = registration.kind == RegistrationKind::AsService &&
                          registration.stateRead && registration.state == SERVICE_RUNNING;
  const DriveFindings drives = ReadDriveStatus(module, monitoring, report);
  Judge(registration, drives, report);
  return report;
}

int ShowStatus(ServiceModule& module) {
  const StatusReport report = ReadStatus(module);
  WriteStatus(report);
  return report.exitCode;
}

}  // namespace kstv
