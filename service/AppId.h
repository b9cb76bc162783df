// The program's AppID registration: where it lives and the values the service host reads
// and writes there.
#pragma once

#include "platform/win32.h"

namespace kstv {

// HKEY_CLASSES_ROOT\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}
inline constexpr char kAppIdKeyName[] = "AppID";
inline constexpr char kAppIdGuidKeyName[] = "{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
// The AppID key the registration script names after the program's file, beside the
// GUID's.
inline constexpr char kAppIdExecutableKeyName[] = "KstvCardReader.EXE";

// The name the registration script gives the AppID: the GUID key's default value.
inline constexpr char kAppIdName[] = "KstvCardReader";
// Where the AppID key named after the program's file keeps the AppID's GUID.
inline constexpr char kAppIdValueName[] = "AppID";

// Present when the program is registered as a service: its presence selects service mode.
inline constexpr char kLocalServiceValueName[] = "LocalService";
inline constexpr char kServiceParametersValueName[] = "ServiceParameters";
// The service LocalService names, and the parameters COM starts it with.
inline constexpr char kLocalServiceValue[] = "KstvCardReader";
inline constexpr char kServiceParametersValue[] = "-Service";

// The registrar script resource ("REGISTRY" 100) that registers the AppID.
inline constexpr UINT kRegistrationScriptResourceId = 100;

}  // namespace kstv
