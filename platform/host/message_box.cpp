// Message boxes without a screen: what the box would show goes to standard error and to
// a record the control API reads; the user "presses" OK at once. On a window station that
// no user sees, nobody ever does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/host/control.h"

namespace kstv::host {
namespace {

std::mutex boxesLock;
std::vector<MessageBoxShown> boxes;

HWINSTA const kProcessWindowStation = reinterpret_cast<HWINSTA>(static_cast<ULONG_PTR>(0x1C));

bool StartedWithoutDesktop() {
  const char* variable = std::getenv("KSTV_NO_DESKTOP");
  return variable && std::strcmp(variable, "1") == 0;
}

// Whether a user sees the process's window station. A process started without a desktop
// keeps it hidden; only a test switches it.
struct WindowStation {
  std::mutex lock;
  bool visible = !StartedWithoutDesktop();
};

WindowStation& windowStation() {
  static WindowStation station;
  return station;
}

bool WindowStationVisible() {
  std::lock_guard guard(windowStation().lock);
  return windowStation().visible;
}

}  // namespace

std::vector<MessageBoxShown> messageBoxes() {
  std::lock_guard guard(boxesLock);
  return boxes;
}

void clearMessageBoxes() {
  std::lock_guard guard(boxesLock);
  boxes.clear();
}

void setWindowStationVisible(bool visible) {
  std::lock_guard guard(windowStation().lock);
  windowStation().visible = visible;
}

}  // namespace kstv::host

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  using namespace kstv::host;
  const bool seen = WindowStationVisible();
  MessageBoxShown box{caption ? caption : "Error", text ? text : "", type, owner != nullptr, seen};
  std::fprintf(stderr, "[message box%s] %s: %s\n", seen ? "" : " that no user sees",
               box.caption.c_str(), box.text.c_str());
  {
    std::lock_guard guard(boxesLock);
    boxes.push_back(box);
  }
  // Nobody closes it: the process waits for ever, so that a scenario sees the hang that
  // Windows would give. A test that hid the station itself sees the record instead.
  if (!seen && StartedWithoutDesktop())
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  return IDOK;
}

HWINSTA WINAPI GetProcessWindowStation() { return kstv::host::kProcessWindowStation; }

BOOL WINAPI GetUserObjectInformationA(HANDLE object, int index, PVOID info, DWORD length,
                                      LPDWORD lengthNeeded) {
  using namespace kstv::host;
  if (object != static_cast<HANDLE>(kProcessWindowStation)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (index != UOI_FLAGS) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lengthNeeded) *lengthNeeded = sizeof(USEROBJECTFLAGS);
  if (!info || length < sizeof(USEROBJECTFLAGS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  USEROBJECTFLAGS flags{FALSE, FALSE, WindowStationVisible() ? static_cast<DWORD>(WSF_VISIBLE) : 0};
  std::memcpy(info, &flags, sizeof flags);
  return TRUE;
}
