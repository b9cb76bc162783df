// Where the program lies: a service runs it as the system, so nobody but the
// administrators may be able to change what runs, neither through the program file nor
// through its folder or any folder above it.
#pragma once

#include "module/ServiceModule.h"
#include "platform/win32.h"

namespace kstv {

// The program's folder, with its trailing backslash ("C:\Tools\" for C:\Tools\x.exe).
void FindModuleFolder(char (&folder)[MAX_PATH]);

// The program's path in double quotes, as the service entry's image path holds it, so that
// a path with blanks cannot be read as a shorter program and its arguments. False when
// the path cannot be had whole.
bool QuotedProgramPath(char (&quoted)[MAX_PATH + 2]);

// The code -Service ends with when others may change the program: a right that others
// than the administrators hold, and must not.
inline constexpr DWORD kProgramChangeableByOthers = ERROR_ACCESS_DENIED;

// Checks the program file at `programPath`, its folder and every folder above it up to the
// root, from their security descriptors. ERROR_SUCCESS when only administrators may
// change them; kProgramChangeableByOthers, with `where` naming the first file or folder
// that others may change; or the code of a descriptor that could not be read, with
// `where` naming its path (and `unreadable`, when given, set: a descriptor refused to the
// caller is 5 too).
DWORD CheckProgramLocation(const char* programPath, char (&where)[MAX_PATH],
                           bool* unreadable = nullptr);

// The administrators' policy that lets -Service trust wherever the program lies: the
// REG_DWORD TrustProgramLocation, 1, below HKLM\SOFTWARE\Policies\Kestrova\KstvCardReader
// (a key only administrators may write, which no road or uninstallation touches). For a
// machine whose file system reports owners the check cannot trust, as Wine's does.
inline constexpr char kProgramLocationPolicyKey[] = "SOFTWARE\\Policies\\Kestrova\\KstvCardReader";
inline constexpr char kTrustProgramLocationValue[] = "TrustProgramLocation";
bool ProgramLocationTrustedByPolicy();

// The check of the running program, for -Service: a refusal is shown to the user (a box,
// or the event log where no user sees one), naming the file or folder, and its code is
// the result. Under the policy above, no check and ERROR_SUCCESS.
DWORD CheckServiceProgramLocation(ServiceModule& module);

// The check of both registration roads: everything a registration writes names the
// program through its ANSI path (the AppID script, the type library, the service's image
// path, the icons and the log). A path with a character the ANSI code page cannot hold
// would name another file, or none: it is refused with ERROR_NO_UNICODE_TRANSLATION and a
// message naming it (ShowMessage). ERROR_SUCCESS otherwise; a path that cannot be read is
// left to the steps that read it.
DWORD CheckProgramPathInCodePage(ServiceModule& module);

}  // namespace kstv
