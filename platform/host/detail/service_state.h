// Host build, internal: what the service manager's parts tell each other: the service
// process's reported state, the entries marked for deletion, and an entry's key for its
// optional configuration.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/host/detail/registry_store.h"
#include "platform/win32.h"

namespace kstv::host::detail {

// The state the machine's service last reported, if it ever did (since the reports were
// last cleared); STOPPED once its process has ended without saying so.
std::optional<DWORD> reportedServiceState();

// Whether the service's process has ended, however it ended (killed, crashed), while its
// last report says it runs: the service manager sees a service process end and takes the
// service for stopped (ERROR_PROCESS_ABORTED). Only a machine in a directory, which other
// processes share, can see that; within one process the dispatcher says it.
bool serviceProcessGone();
inline constexpr DWORD kServiceProcessAborted = 1067;  // ERROR_PROCESS_ABORTED

// Runs `action` on the registry key of the entry that the service handle names, in one
// transaction of the service database, if the handle grants `access`. A change is
// refused for an entry marked for deletion. The Win32 code of a refusal, or
// ERROR_SUCCESS.
enum class EntryUse { Read, Change };
DWORD useServiceEntry(SC_HANDLE service, DWORD access, EntryUse use,
                      const std::function<void(RegistryStore&, KeyId)>& action);

// Removes the entries marked for deletion whose service is not running and to which this
// process holds no handle.
void removeServicesMarkedForDeletion();

// Whether `displayName` is the name or display name of an entry other than `except`,
// without regard to case. Called within a transaction of the service database.
bool displayNameTaken(const std::string& displayName, const std::string& except);

// The name of the entry a service handle names (its own spelling), if the handle is one.
std::optional<std::string> serviceNameOf(SC_HANDLE service);

}  // namespace kstv::host::detail
