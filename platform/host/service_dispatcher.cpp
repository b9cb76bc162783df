// The service manager's side of a service process: the dispatcher, the control handler's
// registration and status reports. Controls come from this process (the control API) or
// from another one through the machine database (kstvmachine service stop); every status
// report is kept there too, so that another process can follow the service.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/machine_database.h"
#include "platform/host/detail/service_state.h"

namespace kstv::host {
namespace {

constexpr DWORD kServiceNotActive = 1062;
constexpr DWORD kServiceDoesNotExist = 1060;
constexpr auto kDatabasePoll = std::chrono::milliseconds(50);
SERVICE_STATUS_HANDLE const kStatusHandle =
    reinterpret_cast<SERVICE_STATUS_HANDLE>(static_cast<ULONG_PTR>(0x5E5));

struct Request {
  DWORD control;
  DWORD result = 0;
  bool done = false;
};

struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
  bool running = false;
  bool startedByManager = false;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  std::deque<Request*> requests;
};

Dispatcher& dispatcher() {
  static Dispatcher instance;
  return instance;
}

// On a machine in a directory, the service's process holds a read lock on this file
// while its dispatcher runs; the system lets it go when the process ends, however it ends.
// Others only ask whether the lock is held (F_GETLK), so that two who ask at once cannot
// take each other for the service.
constexpr char kServiceProcessFile[] = "service.process";

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

int OpenServiceProcessFile() {
  if (machineDirectory().empty()) return -1;
  const std::string path = machineDirectory() + "/" + kServiceProcessFile;
  return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// The thread that reported STOPPED last, and the calls it made after that.
std::atomic<DWORD> finalStopThread{0};
struct LateCalls {
  std::mutex lock;
  std::vector<std::string> calls;
};
LateCalls& lateCalls() {
  static LateCalls instance;
  return instance;
}

void EnsureTables() {
  static std::once_flag created;
  std::call_once(created, [] {
    detail::MachineCall call(true);
    detail::execute(
        call.db(),
        "CREATE TABLE IF NOT EXISTS service_controls(id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " control INTEGER NOT NULL, result INTEGER);"
        "CREATE TABLE IF NOT EXISTS service_status(id INTEGER PRIMARY KEY AUTOINCREMENT,"
        " type INTEGER, state INTEGER, accepted INTEGER, exit_code INTEGER,"
        " specific_exit_code INTEGER, check_point INTEGER, wait_hint INTEGER)");
    call.commit();
  });
}

bool StartedByManager() {
  const char* variable = std::getenv("KSTV_STARTED_BY_SCM");
  std::lock_guard guard(dispatcher().lock);
  return dispatcher().startedByManager || (variable && *variable == '1');
}

DWORD CallHandler(DWORD control) {
  LPHANDLER_FUNCTION_EX handler;
  LPVOID context;
  {
    std::lock_guard guard(dispatcher().lock);
    handler = dispatcher().handler;
    context = dispatcher().context;
  }
  return handler ? handler(control, 0, nullptr, context) : kServiceNotActive;
}

// Controls that another process left in the database.
void HandleDatabaseControls() {
  std::vector<std::pair<std::int64_t, DWORD>> pending;
  {
    detail::MachineCall call(false);
    detail::SqliteStatement rows(
        call.db(), "SELECT id, control FROM service_controls WHERE result IS NULL ORDER BY id");
    while (rows.step()) pending.emplace_back(rows.integer(0), static_cast<DWORD>(rows.integer(1)));
  }
  for (auto [id, control] : pending) {
    DWORD result = CallHandler(control);
    detail::MachineCall call(true);
    detail::SqliteStatement(call.db(), "UPDATE service_controls SET result = ? WHERE id = ?")
        .bind(static_cast<std::int64_t>(result))
        .bind(id)
        .step();
    call.commit();
  }
}

}  // namespace

namespace detail {

void noteCallAfterFinalStop(const char* call) {
  const DWORD thread = finalStopThread.load(std::memory_order_relaxed);
  if (thread == 0 || thread != GetCurrentThreadId()) return;
  std::lock_guard guard(lateCalls().lock);
  lateCalls().calls.emplace_back(call);
}

std::optional<DWORD> reportedServiceState() {
  EnsureTables();
  DWORD state;
  {
    detail::MachineCall call(false);
    detail::SqliteStatement row(call.db(),
                                "SELECT state FROM service_status ORDER BY id DESC LIMIT 1");
    if (!row.step()) return std::nullopt;
    state = static_cast<DWORD>(row.integer(0));
  }
  return state != SERVICE_STOPPED && serviceProcessGone() ? SERVICE_STOPPED : state;
}

bool serviceProcessGone() {
  {
    std::lock_guard guard(dispatcher().lock);
    if (dispatcher().running) return false;
  }
  const int file = OpenServiceProcessFile();
  if (file < 0) return false;
  struct flock lock = WholeFile(F_WRLCK);
  const bool gone = fcntl(file, F_GETLK, &lock) == 0 && lock.l_type == F_UNLCK;
  close(file);
  return gone;
}

}  // namespace detail

void setStartedByServiceManager(bool started) {
  std::lock_guard guard(dispatcher().lock);
  dispatcher().startedByManager = started;
}

DWORD sendServiceControl(DWORD control) {
  EnsureTables();
  Dispatcher& d = dispatcher();
  {
    std::unique_lock guard(d.lock);
    if (d.running) {
      Request request{control};
      d.requests.push_back(&request);
      d.changed.notify_all();
      d.changed.wait(guard, [&] { return request.done; });
      return request.result;
    }
  }
  // A service in another process, if the database says one runs.
  auto state = detail::reportedServiceState();
  if (!state || *state == SERVICE_STOPPED) return kServiceNotActive;
  std::int64_t id;
  {
    detail::MachineCall call(true);
    detail::SqliteStatement(call.db(), "INSERT INTO service_controls(control) VALUES(?)")
        .bind(static_cast<std::int64_t>(control))
        .step();
    id = sqlite3_last_insert_rowid(call.db());
    call.commit();
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    {
      detail::MachineCall call(false);
      detail::SqliteStatement row(call.db(), "SELECT result FROM service_controls WHERE id = ?");
      if (row.bind(id).step() && !row.isNull(0)) return static_cast<DWORD>(row.integer(0));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return kServiceNotActive;
}

std::vector<SERVICE_STATUS> serviceStatusReports() {
  EnsureTables();
  detail::MachineCall call(false);
  detail::SqliteStatement rows(
      call.db(),
      "SELECT type, state, accepted, exit_code, specific_exit_code, check_point,"
      " wait_hint FROM service_status ORDER BY id");
  std::vector<SERVICE_STATUS> reports;
  while (rows.step()) {
    SERVICE_STATUS status;
    DWORD* fields = &status.dwServiceType;
    for (int i = 0; i < 7; ++i) fields[i] = static_cast<DWORD>(rows.integer(i));
    reports.push_back(status);
  }
  return reports;
}

std::vector<std::string> callsAfterFinalStop() {
  std::lock_guard guard(lateCalls().lock);
  return lateCalls().calls;
}

void clearServiceReports() {
  finalStopThread = 0;
  {
    std::lock_guard guard(lateCalls().lock);
    lateCalls().calls.clear();
  }
  EnsureTables();
  detail::MachineCall call(true);
  detail::execute(call.db(), "DELETE FROM service_controls; DELETE FROM service_status;");
  call.commit();
}

bool waitForServiceState(DWORD state, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(static_cast<long long>(timeoutSeconds * 1000));
  do {
    for (const SERVICE_STATUS& status : serviceStatusReports())
      if (status.dwCurrentState == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

}  // namespace kstv::host

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  using namespace kstv::host;
  if (!StartedByManager()) {
    SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    return FALSE;
  }
  if (!table || !table[0].lpServiceProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  clearServiceReports();  // a new run of the service
  Dispatcher& d = dispatcher();
  {
    std::lock_guard guard(d.lock);
    if (d.running) {
      SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
      return FALSE;
    }
    d.running = true;
    d.handler = nullptr;
  }
  const int processFile = OpenServiceProcessFile();
  struct flock held = WholeFile(F_RDLCK);
  if (processFile >= 0) fcntl(processFile, F_SETLK, &held);
  bool serviceEnded = false;
  std::thread service([&] {
    LPSTR argv[] = {table[0].lpServiceName, nullptr};
    table[0].lpServiceProc(1, argv);
    std::lock_guard guard(d.lock);
    serviceEnded = true;
    d.changed.notify_all();
  });
  // This thread is the dispatcher's: every control reaches the handler here.
  std::unique_lock guard(d.lock);
  while (!serviceEnded) {
    if (!d.requests.empty()) {
      Request* request = d.requests.front();
      d.requests.pop_front();
      guard.unlock();
      request->result = CallHandler(request->control);
      guard.lock();
      request->done = true;
      d.changed.notify_all();
      continue;
    }
    guard.unlock();
    HandleDatabaseControls();
    guard.lock();
    d.changed.wait_for(guard, kDatabasePoll, [&] { return serviceEnded || !d.requests.empty(); });
  }
  for (Request* request : d.requests) request->result = kServiceNotActive, request->done = true;
  d.requests.clear();
  d.running = false;
  d.handler = nullptr;
  d.changed.notify_all();
  guard.unlock();
  service.join();
  if (processFile >= 0) close(processFile);
  return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExA(LPCSTR, LPHANDLER_FUNCTION_EX handler,
                                                           LPVOID context) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("RegisterServiceCtrlHandlerExA")) {
    SetLastError(*code);
    return nullptr;
  }
  {
    std::lock_guard guard(dispatcher().lock);
    if (!dispatcher().running || !handler) {
      SetLastError(handler ? kServiceDoesNotExist : ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    dispatcher().handler = handler;
    dispatcher().context = context;
  }
  // Controls may reach the handler from here on, before the caller has the handle.
  detail::runCallAction("RegisterServiceCtrlHandlerExA:return");
  return kStatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("SetServiceStatus")) {
    SetLastError(*code);
    return FALSE;
  }
  if (handle != kStatusHandle || !status) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  detail::MachineCall call(true);
  detail::SqliteStatement insert(
      call.db(),
      "INSERT INTO service_status(type, state, accepted, exit_code,"
      " specific_exit_code, check_point, wait_hint) VALUES(?, ?, ?, ?, ?, ?, ?)");
  const DWORD* fields = &status->dwServiceType;
  for (int i = 0; i < 7; ++i) insert.bind(static_cast<std::int64_t>(fields[i]));
  insert.step();
  call.commit();
  // A service that has stopped no longer keeps an entry marked for deletion.
  if (status->dwCurrentState == SERVICE_STOPPED) {
    detail::removeServicesMarkedForDeletion();
    finalStopThread = GetCurrentThreadId();
  }
  return TRUE;
}
