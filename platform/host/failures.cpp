#include "platform/host/detail/failures.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/host/control.h"

namespace kstv::host {
namespace {

// Every call that can be made to fail, by the name its failure is injected under, in
// order. A name that is not here fails nothing, which KSTV_FAIL_CALLS says.
constexpr std::string_view kCallsThatCanFail[] = {
    "AttachConsole",
    "ChangeServiceConfig2A",
    "ChangeServiceConfigA",
    "CloseHandle",
    "CoCreateInstance(UnsecuredApartment)",
    "CoCreateInstance(WbemLocator)",
    "CoInitialize",
    "CoInitializeEx",
    "CoInitializeSecurity",
    "CoSetProxyBlanket",
    "CoTaskMemAlloc",
    "CoTaskMemRealloc",
    "ConnectServer",
    "ControlService",
    "ConvertStringSecurityDescriptorToSecurityDescriptorA",
    "CopySid",
    "CreateFileA",
    "CreateFileMappingA",
    "CreateMutexA",
    "CreateObjectStub",
    "CreateServiceA",
    "DeleteFileA",
    "DeleteService",
    "DeviceIoControl",
    "ExecNotificationQueryAsync",
    "FindResourceA",
    "GetFileAttributesA",
    "GetLogicalDriveStringsW",
    "GetMessageA",
    "GetModuleFileNameA",
    "GetModuleFileNameW",
    "GetNamedSecurityInfoA",
    "GetProcAddress",
    "GetTokenInformation",
    "GetVersionExA",
    "HeapAlloc",
    "HeapReAlloc",
    "ITypeLib::GetLibAttr",
    "InitializeSecurityDescriptor",
    "LoadLibraryA",
    "LoadLibraryExA",
    "LoadResource",
    "LoadStringA",
    "LoadTypeLib",
    "LocalAlloc",
    "MoveFileExA",
    "MultiByteToWideChar",
    "OpenProcessToken",
    "OpenSCManagerA",
    "OpenServiceA",
    "OpenThreadToken",
    "PostThreadMessageA",
    "QueryPathOfRegTypeLib",
    "QueryServiceConfig2A",
    "QueryServiceConfigA",
    "QueryServiceStatus",
    "ReadFile",
    "RegCloseKey",
    "RegCreateKeyExA",
    "RegDeleteKeyA",
    "RegDeleteValueA",
    "RegEnumKeyExA",
    "RegEnumValueA",
    "RegOpenKeyExA",
    "RegQueryInfoKeyA",
    "RegQueryValueExA",
    "RegSetValueExA",
    "RegisterEventSourceA",
    "RegisterServiceCtrlHandlerExA",
    "RegisterTypeLib",
    "ReportEventA",
    "SetSecurityDescriptorGroup",
    "SetSecurityDescriptorOwner",
    "SetServiceStatus",
    "SetTimer",
    "StartServiceA",
    "SysAllocString",
    "UnRegisterTypeLib",
    "WideCharToMultiByte",
    "WriteConsoleW",
    "WriteFile"};

static_assert(std::is_sorted(std::begin(kCallsThatCanFail), std::end(kCallsThatCanFail)));

bool CanFail(std::string_view call) {
  return std::binary_search(std::begin(kCallsThatCanFail), std::end(kCallsThatCanFail), call);
}

struct Injection {
  DWORD code;
  unsigned times;
  unsigned after;
};

std::mutex& injectionsLock() {
  // Never destroyed, as every table here: a thread may still call the platform while the
  // process ends.
  static std::mutex* const lock = new std::mutex;
  return *lock;
}

std::map<std::string, Injection, std::less<>>& injections() {
  static auto* const table = new std::map<std::string, Injection, std::less<>>;
  return *table;
}

struct CallAction {
  std::function<void()> action;
  unsigned after;
};

std::map<std::string, CallAction, std::less<>>& actions() {
  static auto* const table = new std::map<std::string, CallAction, std::less<>>;
  return *table;
}

// Looked up on every platform call: hashed, and by the caller's text without a copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>()(name);
  }
};

std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>>& calls() {
  static auto* const table =
      new std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>>;
  return *table;
}

// The count of each call by the address of the name its caller passes, a literal that
// stays put: found without hashing the text. Cleared with the counts.
std::unordered_map<const char*, std::size_t*>& countsBySite() {
  static auto* const table = new std::unordered_map<const char*, std::size_t*>;
  return *table;
}

void count(const char* call) {
  std::size_t*& site = countsBySite()[call];
  if (!site) {
    assert(CanFail(call) && "a call that can fail is missing from kCallsThatCanFail");
    site = &calls().try_emplace(call, 0).first->second;
  }
  ++*site;
}

// KSTV_FAIL_CALLS="NAME=CODE[,NAME=CODE...]" (CODE decimal or 0x hex) makes those calls
// fail for the whole process, for a program that a scenario runs. An item that names no
// call, or is no NAME=CODE, is said on standard error: it would fail nothing.
void InjectFailuresFromEnvironment() {
  const char* text = std::getenv("KSTV_FAIL_CALLS");
  if (!text) return;
  std::string_view list(text);
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      std::fprintf(stderr, "KSTV_FAIL_CALLS: '%.*s' is not NAME=CODE; it fails nothing\n",
                   static_cast<int>(item.size()), item.data());
      continue;
    }
    if (!CanFail(item.substr(0, equals))) {
      std::fprintf(stderr, "KSTV_FAIL_CALLS: no call is named '%.*s'; it fails nothing\n",
                   static_cast<int>(equals), item.data());
      continue;
    }
    const std::string code(item.substr(equals + 1));
    injections()[std::string(item.substr(0, equals))] =
        Injection{static_cast<DWORD>(std::strtoul(code.c_str(), nullptr, 0)), kAlways, 0};
  }
}

}  // namespace

void failCall(const std::string& call, DWORD code, unsigned times, unsigned after) {
  std::lock_guard guard(injectionsLock());
  if (times == 0) {
    injections().erase(call);
    return;
  }
  injections()[call] = Injection{code, times, after};
}

void clearFailures() {
  std::lock_guard guard(injectionsLock());
  injections().clear();
  actions().clear();
}

void onCall(const std::string& call, std::function<void()> action, unsigned after) {
  std::lock_guard guard(injectionsLock());
  actions()[call] = CallAction{std::move(action), after};
}

std::size_t callCount(const std::string& call) {
  std::lock_guard guard(injectionsLock());
  auto found = calls().find(call);
  return found == calls().end() ? 0 : found->second;
}

void resetCallCounts() {
  std::lock_guard guard(injectionsLock());
  countsBySite().clear();
  calls().clear();
}

namespace detail {

namespace {

// The action due at `point`, taken from the table; empty when there is none. The caller
// holds the lock.
std::function<void()> takeCallAction(const char* point) {
  if (actions().empty()) return nullptr;
  auto found = actions().find(std::string_view(point));
  if (found == actions().end()) return nullptr;
  if (found->second.after > 0) {
    --found->second.after;
    return nullptr;
  }
  std::function<void()> action = std::move(found->second.action);
  actions().erase(found);
  return action;
}

}  // namespace

void runCallAction(const char* point) {
  std::function<void()> action;
  {
    std::lock_guard guard(injectionsLock());
    action = takeCallAction(point);
  }
  if (action) action();  // without the lock: the action may call the platform
}

std::optional<DWORD> injectedFailure(const char* call) {
  noteCallAfterFinalStop(call);
  static std::once_flag fromEnvironment;
  std::call_once(fromEnvironment, [] {
    std::lock_guard guard(injectionsLock());
    InjectFailuresFromEnvironment();
  });
  std::unique_lock guard(injectionsLock());
  if (std::function<void()> action = takeCallAction(call)) {
    guard.unlock();
    action();  // without the lock: the action may call the platform
    guard.lock();
  }
  count(call);
  if (injections().empty()) return std::nullopt;
  auto found = injections().find(std::string_view(call));
  if (found == injections().end()) return std::nullopt;
  Injection& injection = found->second;
  if (injection.after > 0) {
    --injection.after;
    return std::nullopt;
  }
  DWORD code = injection.code;
  if (injection.times != kAlways && --injection.times == 0) injections().erase(found);
  return code;
}

}  // namespace detail
}  // namespace kstv::host
