// What the registration roads tell the user when the service manager, or the registry,
// refuses them.
#pragma once

namespace kstv {

inline constexpr char kCannotOpenManager[] = "Couldn't open service manager";
inline constexpr char kCannotCreateService[] = "Couldn't create service";
inline constexpr char kCannotOpenService[] = "Couldn't open service";
inline constexpr char kCannotDeleteService[] = "Service could not be deleted";
inline constexpr char kCannotChangeService[] = "Couldn't change service";
inline constexpr char kServiceDidNotStop[] = "The service did not stop";
inline constexpr char kCannotDescribeService[] = "Couldn't set the service's description";
inline constexpr char kCannotSetRecovery[] = "Couldn't set the service's recovery";
inline constexpr char kCannotSetPrivileges[] = "Couldn't limit the service's privileges";
inline constexpr char kCannotSetServiceSid[] = "Couldn't give the service its own SID";
inline constexpr char kCannotAddEventSource[] =
    "Couldn't register the event source: the event log shows events without their text";
inline constexpr char kCannotRemoveEventSource[] = "Couldn't remove the event source";
inline constexpr char kCannotRestoreRegistration[] =
    "Couldn't put the previous registration back whole";

}  // namespace kstv
