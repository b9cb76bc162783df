// The service control manager's database side: opening the manager and services,
// creating, deleting and controlling service entries. Entries live in the machine
// database, so that kstvmachine and the program see the same ones.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/host/control.h"
#include "platform/host/failures.h"
#include "platform/host/machine_database.h"

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

void EnsureServiceTable() {
  static std::once_flag created;
  std::call_once(created, [] {
    detail::MachineCall call(true);
    detail::execute(call.db(),
                    "CREATE TABLE IF NOT EXISTS services(name TEXT PRIMARY KEY COLLATE NOCASE,"
                    " display_name TEXT NOT NULL, type INTEGER NOT NULL,"
                    " start_type INTEGER NOT NULL, error_control INTEGER NOT NULL,"
                    " image_path TEXT NOT NULL, dependencies BLOB NOT NULL,"
                    " account TEXT NOT NULL)");
    call.commit();
  });
}

std::optional<ServiceEntry> FindEntry(const std::string& name) {
  EnsureServiceTable();
  detail::MachineCall call(false);
  detail::SqliteStatement row(call.db(),
                              "SELECT name, display_name, type, start_type, error_control,"
                              " image_path, dependencies, account FROM services WHERE name = ?");
  if (!row.bind(name).step()) return std::nullopt;
  ServiceEntry entry;
  entry.name = row.text(0);
  entry.displayName = row.text(1);
  entry.type = static_cast<DWORD>(row.integer(2));
  entry.startType = static_cast<DWORD>(row.integer(3));
  entry.errorControl = static_cast<DWORD>(row.integer(4));
  entry.imagePath = row.text(5);
  std::vector<unsigned char> list = row.blob(6);
  // A list of names, each ending in a NUL, the list in an empty name.
  for (std::size_t start = 0; start < list.size();) {
    std::size_t end = start;
    while (end < list.size() && list[end]) ++end;
    if (end == start) break;
    entry.dependencies.emplace_back(reinterpret_cast<const char*>(list.data()) + start, end - start);
    start = end + 1;
  }
  entry.account = row.text(7);
  return entry;
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

void refuseServiceManagerFullAccess(bool refuse) {
  std::lock_guard guard(manager().lock);
  manager().refuseFullAccess = refuse;
}

void addServiceEntry(const ServiceEntry& entry) {
  EnsureServiceTable();
  std::string list;
  for (const std::string& name : entry.dependencies) list += name + '\0';
  list += '\0';
  detail::MachineCall call(true);
  detail::SqliteStatement(call.db(),
                          "INSERT OR REPLACE INTO services(name, display_name, type, start_type,"
                          " error_control, image_path, dependencies, account)"
                          " VALUES(?, ?, ?, ?, ?, ?, ?, ?)")
      .bind(entry.name)
      .bind(entry.displayName)
      .bind(static_cast<std::int64_t>(entry.type))
      .bind(static_cast<std::int64_t>(entry.startType))
      .bind(static_cast<std::int64_t>(entry.errorControl))
      .bind(entry.imagePath)
      .bindBlob(list.data(), list.size())
      .bind(entry.account)
      .step();
  call.commit();
}

std::optional<ServiceEntry> serviceEntry(const std::string& name) { return FindEntry(name); }

std::vector<ServiceControlSent> serviceControlsSent() {
  std::lock_guard guard(manager().lock);
  return manager().controls;
}

std::size_t openServiceHandleCount() {
  std::lock_guard guard(manager().lock);
  return manager().handles.size();
}

void resetServiceManager() {
  EnsureServiceTable();
  {
    detail::MachineCall call(true);
    detail::execute(call.db(), "DELETE FROM services");
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
  if (FindEntry(serviceName)) return FailHandle(ERROR_SERVICE_EXISTS);
  ServiceEntry entry;
  entry.name = serviceName;
  entry.displayName = displayName ? displayName : serviceName;
  entry.type = serviceType;
  entry.startType = startType;
  entry.errorControl = errorControl;
  entry.imagePath = binaryPathName;
  for (const char* name = dependencies; name && *name; name += std::strlen(name) + 1)
    entry.dependencies.emplace_back(name);
  entry.account = serviceStartName ? serviceStartName : "LocalSystem";
  addServiceEntry(entry);
  return NewHandle(false, entry.name, access);
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
  // Only the one service this machine runs can take a control.
  DWORD result = sendServiceControl(control);
  if (result == ERROR_SERVICE_NOT_ACTIVE) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  std::memset(status, 0, sizeof *status);
  std::vector<SERVICE_STATUS> reports = serviceStatusReports();
  if (!reports.empty()) *status = reports.back();
  return result == NO_ERROR ? TRUE : Fail(result);
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
  using namespace kstv::host;
  if (auto code = injectedFailure("DeleteService")) return Fail(*code);
  auto record = Lookup(service, false);
  if (!record) return Fail(ERROR_INVALID_HANDLE);
  if (!(record->access & DELETE)) return Fail(ERROR_ACCESS_DENIED);
  EnsureServiceTable();
  detail::MachineCall call(true);
  detail::SqliteStatement remove(call.db(), "DELETE FROM services WHERE name = ?");
  remove.bind(record->serviceName).step();
  bool removed = sqlite3_changes(call.db()) > 0;
  call.commit();
  return removed ? TRUE : Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  using namespace kstv::host;
  std::lock_guard guard(manager().lock);
  if (manager().handles.erase(handle) == 0) return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}
