// The debugger channel and the NT event log of the emulated machine.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/kernel_handles.h"
#include "platform/host/detail/machine_database.h"

namespace kstv::host {
namespace {

std::mutex debuggerLock;
std::vector<std::string> debuggerTexts;  // an in-memory machine's channel

std::string DebuggerFile() {
  return (std::filesystem::path(machineDirectory()) / "debugger.log").string();
}

// A registered event source.
struct EventSource : detail::KernelObject {
  explicit EventSource(std::string sourceName) : name(std::move(sourceName)) {}
  std::string name;
};

constexpr char kUnitSeparator = '\x1f';

void EnsureEventTable() {
  static std::once_flag created;
  std::call_once(created, [] {
    detail::MachineCall call(true);
    detail::execute(call.db(),
                    "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY AUTOINCREMENT,"
                    " source TEXT NOT NULL, type INTEGER NOT NULL, category INTEGER NOT NULL,"
                    " event_id INTEGER NOT NULL, strings TEXT NOT NULL)");
    call.commit();
  });
}

}  // namespace

std::vector<std::string> debuggerOutput() {
  std::lock_guard guard(debuggerLock);
  if (machineDirectory().empty()) return debuggerTexts;
  // One text per record: its length, a blank, the text, a newline.
  std::vector<std::string> texts;
  std::ifstream file(DebuggerFile(), std::ios::binary);
  std::size_t length;
  while (file >> length) {
    file.get();
    std::string text(length, '\0');
    if (!file.read(text.data(), static_cast<std::streamsize>(length))) break;
    file.get();
    texts.push_back(std::move(text));
  }
  return texts;
}

std::vector<Event> eventLog() {
  EnsureEventTable();
  detail::MachineCall call(false);
  detail::SqliteStatement rows(
      call.db(), "SELECT source, type, category, event_id, strings FROM events ORDER BY id");
  std::vector<Event> events;
  while (rows.step()) {
    Event event{rows.text(0),
                static_cast<WORD>(rows.integer(1)),
                static_cast<WORD>(rows.integer(2)),
                static_cast<DWORD>(rows.integer(3)),
                {}};
    std::string strings = rows.text(4);
    std::size_t start = 0;
    for (std::size_t end;
         !strings.empty() && (end = strings.find(kUnitSeparator, start)) != std::string::npos;
         start = end + 1)
      event.strings.push_back(strings.substr(start, end - start));
    events.push_back(std::move(event));
  }
  return events;
}

}  // namespace kstv::host

void WINAPI OutputDebugStringA(LPCSTR text) {
  if (!text) return;
  using namespace kstv::host;
  static const bool echo = [] {
    const char* value = std::getenv("KSTV_DEBUG_ECHO");
    return value && *value && *value != '0';
  }();
  if (echo) std::fprintf(stderr, "[debugger] %s", text);
  std::lock_guard guard(debuggerLock);
  if (machineDirectory().empty()) {
    debuggerTexts.emplace_back(text);
    return;
  }
  std::ofstream file(DebuggerFile(), std::ios::binary | std::ios::app);
  file << std::strlen(text) << ' ' << text << '\n';
}

HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("RegisterEventSourceA")) {
    SetLastError(*code);
    return nullptr;
  }
  if (server || !source) {
    SetLastError(server ? 1722 /* RPC_S_SERVER_UNAVAILABLE */ : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return detail::KernelHandles::instance().add(std::make_shared<EventSource>(source));
}

BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID,
                         WORD stringCount, DWORD, LPCSTR* strings, LPVOID) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("ReportEventA")) {
    SetLastError(*code);
    return FALSE;
  }
  auto source = detail::KernelHandles::instance().find<EventSource>(eventLog);
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::string joined;
  for (WORD i = 0; i < stringCount; ++i) (joined += strings[i] ? strings[i] : "") += kUnitSeparator;
  EnsureEventTable();
  detail::MachineCall call(true);
  detail::SqliteStatement insert(
      call.db(),
      "INSERT INTO events(source, type, category, event_id, strings) VALUES(?, ?, ?, ?, ?)");
  insert.bind(source->name)
      .bind(static_cast<std::int64_t>(type))
      .bind(static_cast<std::int64_t>(category));
  insert.bind(static_cast<std::int64_t>(eventId)).bind(joined).step();
  call.commit();
  return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
  using namespace kstv::host;
  if (!detail::KernelHandles::instance().find<EventSource>(eventLog) ||
      !detail::KernelHandles::instance().close(eventLog)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
