// The program's event source in the Application log, so that the event viewer shows each
// event's text: the key HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<service
// name>, whose EventMessageFile names the message file beside the program. The package
// writes the same key for the folder it installs to.
#pragma once

#include "module/ServiceModule.h"

namespace kstv {

inline constexpr int kEventSourceKeyPathCapacity = 96 + kServiceNameCapacity;

// The source's key below HKEY_LOCAL_MACHINE.
void EventSourceKeyPath(const ServiceModule& module, char (&path)[kEventSourceKeyPathCapacity]);

// Registers the source when the message file lies beside the program (EventMessageFile,
// REG_EXPAND_SZ, its full path; TypesSupported 7: errors, warnings and information), and
// says so through `written`. Without the message file nothing is written and the result
// is ERROR_SUCCESS; otherwise it is the code of the first write that failed.
DWORD AddEventSource(ServiceModule& module, bool& written);

// Removes the source, with everything below its key, when its EventMessageFile names the
// message file beside this program: the package's, or AddEventSource's. A source of
// another installation or program stays. ERROR_SUCCESS also when there is none to remove.
DWORD RemoveEventSource(ServiceModule& module);

}  // namespace kstv
