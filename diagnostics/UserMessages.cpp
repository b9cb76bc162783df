// Messages for the user of a registration road: a box where someone can close it, the
// event log where nobody can.
#include "module/ServiceModule.h"

namespace kstv {
namespace {

// Whether a user sees the window station this process runs in. A service, and a package's
// deferred action, run in session 0, whose station no one sees; so does any process whose
// station cannot be asked.
bool UserSeesWindowStation() {
  HWINSTA station = GetProcessWindowStation();
  if (!station) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return false;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void ServiceModule::ShowMessage(const char* text) {
  if (UserSeesWindowStation()) {
    MessageBoxA(nullptr, text, serviceName, MB_OK);
    return;
  }
  WriteEvent(EVENTLOG_ERROR_TYPE, text);
}

}  // namespace kstv
