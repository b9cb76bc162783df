// -Status: the program's registration, part by part (the AppID keys, LocalService, the type
// library and the service entry with its state), and what the parts make together.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "module/ProgramFile.h"
#include "platform/handles.h"
#include "platform/text16.h"
#include "registrar/TypeLibraryRegistration.h"
#include "registry/RegistryKey.h"
#include "service/AppId.h"
#include "service/ProgramLocation.h"
#include "service/ServiceConfiguration.h"
#include "service/StatusParts.h"

namespace kstv {
namespace {

using State = RegistrationPart::State;

constexpr char kThisProgram[] = "this program";
constexpr char kAbsent[] = "absent";
constexpr char kNotApplicable[] = "-";

RegistrationPart Part(State state, std::string text = {}) { return {state, std::move(text)}; }

std::string PartText(const RegistrationPart& part) {
  switch (part.state) {
    case State::ThisProgram:
      return kThisProgram;
    case State::Absent:
      return kAbsent;
    case State::Other:
      return "names " + part.text;
    case State::Unread:
      return part.text;
  }
  return {};
}

// The string value `valueName` of HKCR\AppID\`keyName`, read as the run reads
// LocalService: this program's when it is `expected` (without regard to case), absent
// when the key is not there. A key without the value as a proper string is
// `withoutValue`: for LocalService no service, as the run takes it; for the others a key
// that names nothing.
RegistrationPart ReadAppIdString(const char* keyName, const char* valueName, const char* expected,
                                 State withoutValue = State::Other) {
  char path[96];
  std::snprintf(path, sizeof path, "%s\\%s", kAppIdKeyName, keyName);
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, kKeyRead, &opened);
  if (result == ERROR_FILE_NOT_FOUND) return Part(State::Absent);
  if (result != ERROR_SUCCESS) return Part(State::Unread, UnreadText(result));
  RegistryKey key;
  key.attach(opened);
  char value[MAX_PATH];
  DWORD size = sizeof value;
  result = key.queryString(value, valueName, &size);
  if (result == ERROR_INVALID_DATA) return Part(withoutValue, "no string");
  if (result == ERROR_MORE_DATA) return Part(State::Other, "a text too long to be this program's");
  if (result != ERROR_SUCCESS) return Part(State::Unread, UnreadText(result));
  if (lstrcmpiA(value, expected) == 0) return Part(State::ThisProgram);
  return Part(State::Other, std::string("\"") + value + "\"");
}

RegistrationPart ReadTypeLibraryPart(const ServiceModule& module, const char* programPath) {
  UniqueBstr path;
  const HRESULT result = registeredOwnTypeLibraryPath(module, path.put());
  if (result == TYPE_E_LIBNOTREGISTERED) return Part(State::Absent);
  if (FAILED(result)) {
    char text[40];
    std::snprintf(text, sizeof text, "unread (0x%08lX)", static_cast<unsigned long>(result));
    return Part(State::Unread, text);
  }
  const std::string registered = NarrowText(path.get());
  return SameFileName(registered.c_str(), programPath) ? Part(State::ThisProgram)
                                                       : Part(State::Other, registered);
}

const char* StartTypeText(DWORD startType) {
  switch (startType) {
    case SERVICE_BOOT_START:
      return "boot";
    case SERVICE_SYSTEM_START:
      return "system";
    case SERVICE_AUTO_START:
      return "automatic";
    case SERVICE_DEMAND_START:
      return "manual";
    case SERVICE_DISABLED:
      return "disabled";
  }
  return "unknown";
}

const char* StateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    case SERVICE_RUNNING:
      return "running";
  }
  return "unknown";
}

// "RPCSS, Other" from a list of names each ending in a NUL, ended by an empty one.
std::string DependenciesText(const char* list) {
  std::string text;
  for (const char* name = list; name && *name; name += std::strlen(name) + 1)
    text += (text.empty() ? "" : ", ") + std::string(name);
  return text.empty() ? "none" : text;
}

std::string DescriptionText(SC_HANDLE service) {
  HeapBuffer buffer = ReadOptionalServiceConfiguration(service, SERVICE_CONFIG_DESCRIPTION);
  if (!buffer) return "none";
  const char* text = reinterpret_cast<const SERVICE_DESCRIPTIONA*>(buffer.get())->lpDescription;
  return text && *text ? text : "none";
}

// "restart after 60000 ms, restart after 60000 ms, none; reset after 86400 s; stops with
// an exit code count".
std::string RecoveryText(SC_HANDLE service) {
  HeapBuffer actions = ReadOptionalServiceConfiguration(service, SERVICE_CONFIG_FAILURE_ACTIONS);
  const auto* recovery = reinterpret_cast<const SERVICE_FAILURE_ACTIONSA*>(actions.get());
  if (!recovery || recovery->cActions == 0 || !recovery->lpsaActions) return "none";
  std::string text;
  for (DWORD i = 0; i < recovery->cActions; ++i) {
    const SC_ACTION& action = recovery->lpsaActions[i];
    if (!text.empty()) text += ", ";
    switch (action.Type) {
      case SC_ACTION_NONE:
        text += "none";
        continue;
      case SC_ACTION_RESTART:
        text += "restart";
        break;
      case SC_ACTION_REBOOT:
        text += "reboot";
        break;
      case SC_ACTION_RUN_COMMAND:
        text += "run a command";
        break;
    }
    text += " after " + std::to_string(action.Delay) + " ms";
  }
  text += "; reset after " + std::to_string(recovery->dwResetPeriod) + " s";
  HeapBuffer flag = ReadOptionalServiceConfiguration(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
  const auto* onExitCodes = reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(flag.get());
  if (onExitCodes && onExitCodes->fFailureActionsOnNonCrashFailures)
    text += "; stops with an exit code count";
  return text;
}

// The service entry's lines, from its image path to its state, asking the manager only
// for what a user may ask.
RegistrationPart ReadServiceEntry(const ServiceModule& module, RegistrationFindings& findings,
                                  StatusReport& report) {
  const char* startType = kNotApplicable;
  std::string dependencies = kNotApplicable, description = kNotApplicable;
  std::string recovery = kNotApplicable, state = kNotApplicable;
  RegistrationPart part;
  UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  UniqueServiceHandle service(manager ? OpenServiceA(manager.get(), module.serviceName,
                                                     SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                                      : nullptr);
  DWORD code = service ? ERROR_SUCCESS : GetLastError();
  HeapBuffer config = service ? ReadServiceConfiguration(service.get(), code) : HeapBuffer();
  if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
    part = Part(State::Absent);
  } else if (!config) {
    part = Part(State::Unread, UnreadText(code));
    state = part.text;
  } else {
    const auto* entry = reinterpret_cast<const QUERY_SERVICE_CONFIGA*>(config.get());
    char quoted[MAX_PATH + 2];
    const char* imagePath = entry->lpBinaryPathName ? entry->lpBinaryPathName : "";
    part = QuotedProgramPath(quoted) && SameFileName(imagePath, quoted)
               ? Part(State::ThisProgram)
               : Part(State::Other, imagePath);
    startType = StartTypeText(entry->dwStartType);
    dependencies = DependenciesText(entry->lpDependencies);
    description = DescriptionText(service.get());
    recovery = RecoveryText(service.get());
    SERVICE_STATUS status{};
    findings.stateRead = QueryServiceStatus(service.get(), &status) != FALSE;
    if (findings.stateRead) {
      findings.state = status.dwCurrentState;
      state = StateText(status.dwCurrentState);
      if (status.dwCurrentState == SERVICE_STOPPED && status.dwWin32ExitCode != ERROR_SUCCESS)
        state += " (exit code " +
                 std::to_string(status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR
                                    ? status.dwServiceSpecificExitCode
                                    : status.dwWin32ExitCode) +
                 ")";
    } else {
      state = UnreadText(GetLastError());
    }
  }
  findings.stateText = state;
  AddStatusLine(report, "Service entry", PartText(part));
  AddStatusLine(report, "Service start type", startType);
  AddStatusLine(report, "Service dependencies", dependencies);
  AddStatusLine(report, "Service description", description);
  AddStatusLine(report, "Service recovery", recovery);
  AddStatusLine(report, "Service state", state);
  return part;
}

struct NamedPart {
  const char* name;
  const RegistrationPart& part;
};

// What a whole registration holds: -Service's, -RegServer's, or none's.
constexpr State kAsService[] = {State::ThisProgram, State::ThisProgram, State::ThisProgram,
                                State::ThisProgram, State::ThisProgram};
constexpr State kWithoutService[] = {State::ThisProgram, State::ThisProgram, State::ThisProgram,
                                     State::Absent, State::Absent};
constexpr State kNone[] = {State::Absent, State::Absent, State::Absent, State::Absent,
                           State::Absent};

// A part that could not be read may be anything.
bool Fits(const NamedPart (&parts)[5], const State (&pattern)[5]) {
  for (int i = 0; i < 5; ++i)
    if (parts[i].part.state != State::Unread && parts[i].part.state != pattern[i]) return false;
  return true;
}

// The parts that keep a half registration from being whole: measured against -Service's
// when anything of a service is there, else against -RegServer's.
std::string HalfReason(const NamedPart (&parts)[5]) {
  const bool service = parts[3].part.state != State::Absent || parts[4].part.state != State::Absent;
  const State(&pattern)[5] = service ? kAsService : kWithoutService;
  std::string reason;
  for (int i = 0; i < 5; ++i) {
    if (parts[i].part.state == State::Unread || parts[i].part.state == pattern[i]) continue;
    reason +=
        (reason.empty() ? "" : "; ") + std::string(parts[i].name) + " " + PartText(parts[i].part);
  }
  return reason;
}

}  // namespace

RegistrationFindings ReadRegistrationStatus(ServiceModule& module, StatusReport& report) {
  RegistrationFindings findings;
  char programPath[MAX_PATH] = {};
  if (ProgramFilePath(programPath) != ERROR_SUCCESS) programPath[0] = '\0';

  const RegistrationPart appId = ReadAppIdString(kAppIdGuidKeyName, nullptr, kAppIdName);
  const RegistrationPart executable =
      ReadAppIdString(kAppIdExecutableKeyName, kAppIdValueName, kAppIdGuidKeyName);
  const RegistrationPart localService =
      ReadAppIdString(kAppIdGuidKeyName, kLocalServiceValueName, kLocalServiceValue, State::Absent);
  const RegistrationPart library = ReadTypeLibraryPart(module, programPath);
  AddStatusLine(report, "AppID", PartText(appId));
  AddStatusLine(report, std::string("AppID of ") + kAppIdExecutableKeyName, PartText(executable));
  AddStatusLine(report, "LocalService", PartText(localService));
  AddStatusLine(report, "Type library", PartText(library));
  const RegistrationPart entry = ReadServiceEntry(module, findings, report);

  const NamedPart parts[5] = {{"AppID", appId},
                              {kAppIdExecutableKeyName, executable},
                              {"type library", library},
                              {"LocalService", localService},
                              {"service entry", entry}};
  bool unread = false;
  for (const NamedPart& named : parts) unread |= named.part.state == State::Unread;
  const char* text = "unknown";
  if (!Fits(parts, kAsService) && !Fits(parts, kWithoutService) && !Fits(parts, kNone)) {
    findings.kind = RegistrationKind::Half;
    findings.halfReason = HalfReason(parts);
    text = nullptr;
  } else if (!unread) {
    findings.kind = Fits(parts, kAsService)        ? RegistrationKind::AsService
                    : Fits(parts, kWithoutService) ? RegistrationKind::WithoutService
                                                   : RegistrationKind::None;
    text = findings.kind == RegistrationKind::AsService        ? "as a service"
           : findings.kind == RegistrationKind::WithoutService ? "without a service"
                                                               : "none";
  }
  AddStatusLine(report, "Registration", text ? text : "half (" + findings.halfReason + ")");
  return findings;
}

}  // namespace kstv
