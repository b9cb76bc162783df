// The service control manager's database side: opening the manager and services,
// creating, deleting and controlling service entries. Entries live in the emulated
// registry, so that kstvmachine and the program see the same ones.
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/machine_database.h"
#include "platform/host/detail/registry_store.h"
#include "platform/host/detail/service_state.h"
#include "platform/host/detail/text.h"

namespace kstv::host {
namespace {

// What a manager handle may do without administrator rights.
constexpr DWORD kManagerUserAccess = 0x1 | 0x4 | 0x10 | 0x20000;  // connect, enumerate, lock
constexpr DWORD kManagerCreateService = 0x2;

struct ServiceHandle {
  bool isManager;
  std::string serviceName;  // the entry's own spelling
  DWORD access;
};

struct Manager {
  std::mutex lock;
  std::map<SC_HANDLE, std::unique_ptr<ServiceHandle>> handles;
  bool refuseFullAccess = false;
  std::vector<ServiceControlSent> controls;
};

Manager& manager() {
  static Manager instance;
  return instance;
}

// Entries live where Windows keeps them: a key per service below
// HKLM\System\CurrentControlSet\Services, read and written without the registry calls'
// failure injection (the manager is another process on Windows).
constexpr const char16_t* kServicesPath[] = {u"System", u"CurrentControlSet", u"Services"};

using detail::KeyId;
using detail::RegistryStore;

// One call on the service database, within one machine transaction. The registry store
// is made, with its roots, before the transaction begins: made within a transaction that
// is not committed, the roots would go with it.
class ServicesCall {
 public:
  explicit ServicesCall(bool write) : store_(RegistryStore::instance()), call_(write) {}
  void commit() { call_.commit(); }
  RegistryStore& store() { return store_; }

 private:
  RegistryStore& store_;
  detail::MachineCall call_;
};

std::optional<KeyId> ServicesKey(bool create) {
  RegistryStore& store = RegistryStore::instance();
  std::optional<KeyId> key = store.predefinedKey(HKEY_LOCAL_MACHINE);
  for (const char16_t* name : kServicesPath) {
    std::optional<KeyId> child = store.findChild(*key, name);
    if (!child && !create) return std::nullopt;
    key = child ? child : store.addChild(*key, name);
  }
  return key;
}

std::optional<KeyId> EntryKey(const std::string& name) {
  std::optional<KeyId> services = ServicesKey(false);
  if (!services) return std::nullopt;
  return RegistryStore::instance().findChild(*services, detail::ansiToWide(name));
}

// Values are kept as the ANSI calls write them: the bytes and their NUL.
std::optional<std::string> TextValue(KeyId key, const char16_t* name) {
  auto value = RegistryStore::instance().findValue(key, name);
  if (!value) return std::nullopt;
  std::string text(value->data.begin(), value->data.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

DWORD NumberValue(KeyId key, const char16_t* name) {
  auto value = RegistryStore::instance().findValue(key, name);
  DWORD number = 0;
  if (value && value->data.size() == sizeof number) std::memcpy(&number, value->data.data(), 4);
  return number;
}

void SetText(KeyId key, const char16_t* name, DWORD type, const std::string& text) {
  RegistryStore::instance().setValue(key, name, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                     static_cast<DWORD>(text.size() + 1));
}

void SetNumber(KeyId key, const char16_t* name, DWORD number) {
  RegistryStore::instance().setValue(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                     sizeof number);
}

std::optional<ServiceEntry> FindEntry(const std::string& name) {
  ServicesCall call(false);
  std::optional<KeyId> key = EntryKey(name);
  if (!key) return std::nullopt;
  ServiceEntry entry;
  entry.name = name;
  entry.displayName = TextValue(*key, u"DisplayName").value_or(name);
  entry.type = NumberValue(*key, u"Type");
  entry.startType = NumberValue(*key, u"Start");
  entry.errorControl = NumberValue(*key, u"ErrorControl");
  entry.imagePath = TextValue(*key, u"ImagePath").value_or("");
  entry.account = TextValue(*key, u"ObjectName").value_or("");
  // A list of names, each ending in a NUL, the list in an empty name.
  if (auto list = TextValue(*key, u"DependOnService")) {
    for (std::size_t start = 0; start < list->size();) {
      std::size_t end = list->find('\0', start);
      if (end == std::string::npos) end = list->size();
      if (end > start) entry.dependencies.push_back(list->substr(start, end - start));
      start = end + 1;
    }
  }
  return entry;
}

// Whether `displayName` is another entry's name or display name, without regard to case
// (entries marked for deletion count until they go); the entry `except` does not count.
bool DisplayNameTaken(const std::string& displayName, const std::string& except = "") {
  std::optional<KeyId> services = ServicesKey(false);
  if (!services) return false;
  RegistryStore& store = RegistryStore::instance();
  const std::u16string wanted = detail::foldCase(detail::ansiToWide(displayName));
  const std::u16string own = detail::foldCase(detail::ansiToWide(except));
  for (DWORD index = 0; std::optional<std::u16string> name = store.childNameAt(*services, index);
       ++index) {
    if (!except.empty() && detail::foldCase(*name) == own) continue;
    if (detail::foldCase(*name) == wanted) return true;
    std::optional<KeyId> key = store.findChild(*services, *name);
    std::optional<std::string> display = key ? TextValue(*key, u"DisplayName") : std::nullopt;
    if (display && detail::foldCase(detail::ansiToWide(*display)) == wanted) return true;
  }
  return false;
}

// As on Windows, a deleted entry is only marked until its service has stopped and the last
// handle to it is closed.
constexpr const char16_t* kDeleteFlag = u"DeleteFlag";

bool MarkedForDeletion(KeyId key) { return NumberValue(key, kDeleteFlag) == 1; }

bool ServiceRunning() {
  std::optional<DWORD> state = detail::reportedServiceState();
  return state && *state != SERVICE_STOPPED;
}

bool HandleOpenTo(std::u16string_view serviceName) {
  std::u16string folded = detail::foldCase(serviceName);
  std::lock_guard guard(manager().lock);
  for (const auto& [handle, record] : manager().handles)
    if (!record->isManager && detail::foldCase(detail::ansiToWide(record->serviceName)) == folded)
      return true;
  return false;
}

SC_HANDLE NewHandle(bool isManager, const std::string& serviceName, DWORD access) {
  auto record = std::make_unique<ServiceHandle>(ServiceHandle{isManager, serviceName, access});
  auto handle = reinterpret_cast<SC_HANDLE>(record.get());
  std::lock_guard guard(manager().lock);
  manager().handles.emplace(handle, std::move(record));
  return handle;
}

// A copy of the handle's record, if the handle is open and of the wanted kind.
std::optional<ServiceHandle> Lookup(SC_HANDLE handle, bool isManager) {
  std::lock_guard guard(manager().lock);
  auto found = manager().handles.find(handle);
  if (found == manager().handles.end() || found->second->isManager != isManager)
    return std::nullopt;
  return *found->second;
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

SC_HANDLE FailHandle(DWORD code) {
  SetLastError(code);
  return nullptr;
}

}  // namespace

namespace detail {

bool displayNameTaken(const std::string& displayName, const std::string& except) {
  return DisplayNameTaken(displayName, except);
}

std::optional<std::string> serviceNameOf(SC_HANDLE service) {
  auto record = Lookup(service, false);
  if (!record) return std::nullopt;
  return record->serviceName;
}

DWORD useServiceEntry(SC_HANDLE service, DWORD access, EntryUse use,
                      const std::function<void(RegistryStore&, KeyId)>& action) {
  auto record = Lookup(service, false);
  if (!record) return ERROR_INVALID_HANDLE;
  if ((record->access & access) != access) return ERROR_ACCESS_DENIED;
  ServicesCall call(use == EntryUse::Change);
  std::optional<KeyId> key = EntryKey(record->serviceName);
  if (!key) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (use == EntryUse::Change && MarkedForDeletion(*key)) return ERROR_SERVICE_MARKED_FOR_DELETE;
  action(call.store(), *key);
  if (use == EntryUse::Change) call.commit();
  return ERROR_SUCCESS;
}

void removeServicesMarkedForDeletion() {
  if (ServiceRunning()) return;
  ServicesCall call(true);
  std::optional<KeyId> services = ServicesKey(false);
  if (!services) return;
  RegistryStore& store = call.store();
  std::vector<KeyId> gone;
  for (DWORD index = 0; std::optional<std::u16string> name = store.childNameAt(*services, index);
       ++index) {
    std::optional<KeyId> key = store.findChild(*services, *name);
    if (key && MarkedForDeletion(*key) && !HandleOpenTo(*name)) gone.push_back(*key);
  }
  for (KeyId key : gone) store.removeTree(key);
  call.commit();
}

}  // namespace detail

void refuseServiceManagerFullAccess(bool refuse) {
  std::lock_guard guard(manager().lock);
  manager().refuseFullAccess = refuse;
}

void addServiceEntry(const ServiceEntry& entry) {
  ServicesCall call(true);
  RegistryStore& store = call.store();
  KeyId services = *ServicesKey(true);
  std::u16string name = detail::ansiToWide(entry.name);
  if (auto old = store.findChild(services, name)) store.removeTree(*old);
  KeyId key = store.addChild(services, name);
  SetText(key, u"DisplayName", REG_SZ, entry.displayName);
  SetNumber(key, u"Type", entry.type);
  SetNumber(key, u"Start", entry.startType);
  SetNumber(key, u"ErrorControl", entry.errorControl);
  SetText(key, u"ImagePath", REG_SZ, entry.imagePath);
  SetText(key, u"ObjectName", REG_SZ, entry.account);
  // Each name ends in a NUL; SetText adds the list's closing one.
  std::string list;
  for (const std::string& dependency : entry.dependencies) list += dependency + '\0';
  if (!list.empty()) SetText(key, u"DependOnService", REG_MULTI_SZ, list);
  call.commit();
}

std::optional<ServiceEntry> serviceEntry(const std::string& name) { return FindEntry(name); }

SERVICE_STATUS currentServiceStatus() {
  std::vector<SERVICE_STATUS> reports = serviceStatusReports();
  if (!reports.empty() && reports.back().dwCurrentState != SERVICE_STOPPED &&
      detail::serviceProcessGone())
    return {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, detail::kServiceProcessAborted, 0, 0, 0};
  if (!reports.empty()) return reports.back();
  // As the service manager says of a service not started since the machine started.
  return {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, ERROR_SERVICE_NEVER_STARTED, 0, 0, 0};
}

std::vector<ServiceControlSent> serviceControlsSent() {
  std::lock_guard guard(manager().lock);
  return manager().controls;
}

std::size_t openServiceHandleCount() {
  std::lock_guard guard(manager().lock);
  return manager().handles.size();
}

void resetServiceManager() {
  {
    ServicesCall call(true);
    if (auto services = ServicesKey(false)) RegistryStore::instance().removeTree(*services);
    call.commit();
  }
  std::lock_guard guard(manager().lock);
  manager().refuseFullAccess = false;
  manager().controls.clear();
}

}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR, DWORD access) {
  using namespace kstv::host;
  if (auto code = injectedFailure("OpenSCManagerA")) return FailHandle(*code);
  if (machineName && *machineName) return FailHandle(1722);  // RPC_S_SERVER_UNAVAILABLE
  bool refuse;
  {
    std::lock_guard guard(manager().lock);
    refuse = manager().refuseFullAccess;
  }
  if (refuse && (access & ~kManagerUserAccess)) return FailHandle(ERROR_ACCESS_DENIED);
  return NewHandle(true, "", access);
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, DWORD access) {
  using namespace kstv::host;
  if (auto code = injectedFailure("OpenServiceA")) return FailHandle(*code);
  if (!Lookup(managerHandle, true)) return FailHandle(ERROR_INVALID_HANDLE);
  if (!serviceName || !*serviceName) return FailHandle(ERROR_INVALID_NAME);
  auto entry = FindEntry(serviceName);
  if (!entry) return FailHandle(ERROR_SERVICE_DOES_NOT_EXIST);
  return NewHandle(false, entry->name, access);
}

SC_HANDLE WINAPI CreateServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, LPCSTR displayName,
                                DWORD access, DWORD serviceType, DWORD startType,
                                DWORD errorControl, LPCSTR binaryPathName, LPCSTR, LPDWORD tagId,
                                LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR) {
  using namespace kstv::host;
  if (auto code = injectedFailure("CreateServiceA")) return FailHandle(*code);
  auto managerRecord = Lookup(managerHandle, true);
  if (!managerRecord) return FailHandle(ERROR_INVALID_HANDLE);
  if (!(managerRecord->access & kManagerCreateService)) return FailHandle(ERROR_ACCESS_DENIED);
  if (!serviceName || !*serviceName || std::strpbrk(serviceName, "/\\"))
    return FailHandle(ERROR_INVALID_NAME);
  if (!binaryPathName || !*binaryPathName || tagId) return FailHandle(ERROR_INVALID_PARAMETER);
  // The check and the creation in one transaction: another process cannot come between.
  detail::removeServicesMarkedForDeletion();
  ServicesCall call(true);
  if (std::optional<KeyId> existing = EntryKey(serviceName))
    return FailHandle(MarkedForDeletion(*existing) ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                   : ERROR_SERVICE_EXISTS);
  // Without a display name of its own, the entry is shown by its name.
  ServiceEntry entry;
  entry.name = serviceName;
  entry.displayName = displayName ? displayName : serviceName;
  if (DisplayNameTaken(entry.displayName)) return FailHandle(ERROR_DUPLICATE_SERVICE_NAME);
  entry.type = serviceType;
  entry.startType = startType;
  entry.errorControl = errorControl;
  entry.imagePath = binaryPathName;
  for (const char* name = dependencies; name && *name; name += std::strlen(name) + 1)
    entry.dependencies.emplace_back(name);
  entry.account = serviceStartName ? serviceStartName : "LocalSystem";
  addServiceEntry(entry);
  call.commit();
  return NewHandle(false, entry.name, access);
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  using namespace kstv::host;
  if (auto code = injectedFailure("QueryServiceStatus")) return Fail(*code);
  auto record = Lookup(service, false);
  if (!record) return Fail(ERROR_INVALID_HANDLE);
  if (!(record->access & SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
  if (!status) return Fail(ERROR_INVALID_PARAMETER);
  *status = currentServiceStatus();
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  using namespace kstv::host;
  if (auto code = injectedFailure("ControlService")) return Fail(*code);
  auto record = Lookup(service, false);
  if (!record) return Fail(ERROR_INVALID_HANDLE);
  if (control == SERVICE_CONTROL_STOP && !(record->access & SERVICE_STOP))
    return Fail(ERROR_ACCESS_DENIED);
  if (!status) return Fail(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard guard(manager().lock);
    manager().controls.push_back({record->serviceName, control});
  }
  std::memset(status, 0, sizeof *status);
  std::vector<SERVICE_STATUS> reports = serviceStatusReports();
  if (!reports.empty()) *status = reports.back();
  // A service that never reported has not been started. As documented, a stop is refused
  // while the service is starting, stopping or stopped.
  if (reports.empty()) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  const DWORD state = reports.back().dwCurrentState;
  if (control == SERVICE_CONTROL_STOP &&
      (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED))
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  // Only the one service this machine runs can take a control.
  DWORD result = sendServiceControl(control);
  if (result == ERROR_SERVICE_NOT_ACTIVE) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  reports = serviceStatusReports();
  if (!reports.empty()) *status = reports.back();
  return result == NO_ERROR ? TRUE : Fail(result);
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
  using namespace kstv::host;
  if (auto code = injectedFailure("DeleteService")) return Fail(*code);
  auto record = Lookup(service, false);
  if (!record) return Fail(ERROR_INVALID_HANDLE);
  if (!(record->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
  ServicesCall call(true);
  std::optional<KeyId> key = EntryKey(record->serviceName);
  if (!key || MarkedForDeletion(*key)) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  // Removed when the last handle closes (the caller holds one) and the service has stopped.
  SetNumber(*key, kDeleteFlag, 1);
  call.commit();
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  using namespace kstv::host;
  {
    std::lock_guard guard(manager().lock);
    auto found = manager().handles.find(handle);
    if (found == manager().handles.end()) return Fail(ERROR_INVALID_HANDLE);
    bool isService = !found->second->isManager;
    manager().handles.erase(found);
    if (!isService) return TRUE;
  }
  detail::removeServicesMarkedForDeletion();
  return TRUE;
}
