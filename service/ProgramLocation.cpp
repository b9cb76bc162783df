#include "service/ProgramLocation.h"

#include <cstdio>
#include <cstring>

#include "module/ProgramFile.h"
#include "platform/handles.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

// The rights through which someone changes what runs, by where the object stands. Any
// of them also lets its holder take the others: delete, rename or replace (DELETE), or
// give itself more rights (WRITE_DAC, WRITE_OWNER).
constexpr ACCESS_MASK kRightsOverAnyObject = DELETE | WRITE_DAC | WRITE_OWNER;
// The program file: its bytes.
constexpr ACCESS_MASK kProgramFileChanges =
    kRightsOverAnyObject | FILE_WRITE_DATA | FILE_APPEND_DATA;
// Its folder: a file added beside it (a library it would load), or the program deleted.
constexpr ACCESS_MASK kProgramFolderChanges =
    kRightsOverAnyObject | FILE_ADD_FILE | FILE_DELETE_CHILD;
// A folder above: the folder below it deleted or renamed, and made again around another
// program. Making new folders changes nothing that runs (the image path is quoted), so
// users may do so, as they may in a drive's root.
constexpr ACCESS_MASK kFolderAboveChanges = kRightsOverAnyObject | FILE_DELETE_CHILD;
// A drive's root can be neither deleted nor renamed: DELETE on it changes nothing (a
// freshly formatted drive lets signed-in users modify its root, DELETE included).
constexpr ACCESS_MASK kRootUnchangeable = DELETE;

// A SID in its binary form, with room for the sub-authorities named here.
struct WellKnownSid {
  BYTE revision;
  BYTE subAuthorityCount;
  BYTE authority[6];
  DWORD subAuthorities[6];
};
constexpr WellKnownSid kLocalSystem{1, 1, {0, 0, 0, 0, 0, 5}, {18}};
constexpr WellKnownSid kAdministrators{1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};
// The installer service (NT SERVICE\TrustedInstaller), which owns the system's folders.
constexpr WellKnownSid kTrustedInstaller{
    1, 6, {0, 0, 0, 0, 0, 5}, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}};

constexpr char kChangeableByOthers[] =
    "Not installed as a service: others than administrators may change \"%s\", and with "
    "it the program that the service would run as the system. Put the program in a folder "
    "that only administrators may change.";
constexpr char kPathOutsideCodePage[] =
    "Not registered: the program's path \"%s\" has characters that the system's code page "
    "cannot hold (shown as ?), and the registration would name another file or none. Put the "
    "program in a folder whose path has none.";
constexpr char kTrustedByPolicy[] =
    "The program's location was not checked: the administrators' policy TrustProgramLocation "
    "trusts it. Others may be able to change the program that the service runs as the system.";
constexpr char kRightsUnreadable[] =
    "Not installed as a service: who may change \"%s\" could not be read (error %lu).";

bool IsSid(PSID sid, const WellKnownSid& known) {
  return EqualSid(sid, const_cast<WellKnownSid*>(&known)) != FALSE;
}

// Who may change what runs as the system: the system, the administrators and the
// installer service. Not the administrator who runs -Service: a folder of that account
// (its Downloads) is also changed by every program it runs without elevation, and a
// program planted there would then run as the system.
bool IsAdministration(PSID sid) {
  return IsSid(sid, kLocalSystem) || IsSid(sid, kAdministrators) || IsSid(sid, kTrustedInstaller);
}

// Whether an entry of an access list allows others than the administration one of
// `changes`.
bool AllowsOthers(const ACE_HEADER* entry, ACCESS_MASK changes) {
  switch (entry->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {  // the same layout; its condition may hold
      const auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(entry);
      ACCESS_MASK mask = allowed->Mask;
      GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                            FILE_ALL_ACCESS};
      MapGenericMask(&mask, &files);
      return (mask & changes) != 0 && !IsAdministration(const_cast<DWORD*>(&allowed->SidStart));
    }
    // Entries for object types, laid out otherwise: whom they allow what is not read
    // here, so they count as allowing anyone anything.
    case ACCESS_ALLOWED_COMPOUND_ACE_TYPE:
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
      return true;
    default:  // denying entries only take rights away
      return false;
  }
}

// ERROR_SUCCESS when only the administration may change the object at `path` with one of
// `changes`: it is theirs, and its access list allows nobody else one of them.
// `unread` tells a descriptor that could not be read from a refusal: both may be 5.
DWORD CheckObject(const char* path, ACCESS_MASK changes, bool& unread) {
  PSID owner = nullptr;
  PACL list = nullptr;
  UniqueLocalMemory descriptor;
  const DWORD code = GetNamedSecurityInfoA(path, SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           &owner, nullptr, &list, nullptr, descriptor.put());
  unread = code != ERROR_SUCCESS;
  if (unread) return code;
  // An owner may always rewrite the list; no list at all lets everyone do everything.
  if (!owner || !IsAdministration(owner) || !list) return kProgramChangeableByOthers;
  for (DWORD index = 0; index < list->AceCount; ++index) {
    ACE_HEADER* entry = nullptr;
    if (!GetAce(list, index, reinterpret_cast<LPVOID*>(&entry))) return kProgramChangeableByOthers;
    // An inherit-only entry is passed on to what is made below; it applies not here.
    if (entry->AceFlags & INHERIT_ONLY_ACE) continue;
    if (AllowsOthers(entry, changes)) return kProgramChangeableByOthers;
  }
  return ERROR_SUCCESS;
}

// The length of the root of `path`: "C:\", or "\\server\share\"; 0 for any other form.
std::size_t RootLength(const char* path) {
  if (path[0] && path[1] == ':' && path[2] == '\\') return 3;
  if (path[0] != '\\' || path[1] != '\\') return 0;
  int separators = 0;
  for (const char* at = path + 2; *at; at = CharNextA(at))
    if (*at == '\\' && ++separators == 2) return static_cast<std::size_t>(at - path) + 1;
  return 0;
}

// Where the last separator of `path` is, stepping over double-byte characters, whose
// second byte may be a backslash; 0 when there is none.
std::size_t LastSeparator(const char* path) {
  std::size_t found = 0;
  for (const char* at = path; *at; at = CharNextA(at))
    if (*at == '\\') found = static_cast<std::size_t>(at - path);
  return found;
}

}  // namespace

void FindModuleFolder(char (&folder)[MAX_PATH]) {
  if (ProgramFolder(folder) != ERROR_SUCCESS) folder[0] = '\0';
}

bool QuotedProgramPath(char (&quoted)[MAX_PATH + 2]) {
  char path[MAX_PATH];
  if (ProgramFilePath(path) != ERROR_SUCCESS) return false;
  const std::size_t length = std::strlen(path);
  quoted[0] = '"';
  for (std::size_t i = 0; i < length; ++i) quoted[i + 1] = path[i];
  quoted[length + 1] = '"';
  quoted[length + 2] = '\0';
  return true;
}

DWORD CheckProgramLocation(const char* programPath, char (&where)[MAX_PATH], bool* unreadable) {
  bool unread = false;
  if (unreadable) *unreadable = false;
  const std::size_t length = std::strlen(programPath);
  if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(where, programPath, length + 1);
  const std::size_t root = RootLength(where);
  if (root == 0 || length <= root) return ERROR_BAD_PATHNAME;
  const std::size_t folder = LastSeparator(where) < root ? root : LastSeparator(where);
  // From the root down, so that the outermost folder others may change is the one named:
  // the root, each folder, the program's folder, then the program.
  const char* next = where + root;
  for (std::size_t end = root;;) {
    ACCESS_MASK changes = end == length   ? kProgramFileChanges
                          : end == folder ? kProgramFolderChanges
                                          : kFolderAboveChanges;
    if (end == root) changes &= ~kRootUnchangeable;
    const char cut = where[end];
    where[end] = '\0';
    const DWORD code = CheckObject(where, changes, unread);
    if (unreadable) *unreadable = unread;
    if (code != ERROR_SUCCESS || end == length) return code;
    where[end] = cut;
    while (*next && *next != '\\') next = CharNextA(next);
    end = static_cast<std::size_t>(next - where);
    if (*next) ++next;
  }
}

bool ProgramLocationTrustedByPolicy() {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProgramLocationPolicyKey, 0, KEY_QUERY_VALUE, &opened) !=
      ERROR_SUCCESS)
    return false;
  RegistryKey policy;
  policy.attach(opened);
  DWORD value = 0;
  DWORD type = REG_NONE;
  DWORD size = sizeof value;
  return RegQueryValueExA(policy.handle(), kTrustProgramLocationValue, nullptr, &type,
                          reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof value && value == 1;
}

DWORD CheckServiceProgramLocation(ServiceModule& module) {
  if (ProgramLocationTrustedByPolicy()) {
    module.WriteEvent(EVENTLOG_WARNING_TYPE, kTrustedByPolicy);
    return ERROR_SUCCESS;
  }
  char path[MAX_PATH];
  char where[MAX_PATH] = "?";
  bool unread = true;
  DWORD code = ProgramFilePath(path);
  if (code == ERROR_SUCCESS) code = CheckProgramLocation(path, where, &unread);
  if (code == ERROR_SUCCESS) return code;
  char text[sizeof kChangeableByOthers + MAX_PATH + 16];
  if (code == kProgramChangeableByOthers && !unread)
    std::snprintf(text, sizeof text, kChangeableByOthers, where);
  else
    std::snprintf(text, sizeof text, kRightsUnreadable, where, static_cast<unsigned long>(code));
  module.ShowMessage(text);
  return code;
}

DWORD CheckProgramPathInCodePage(ServiceModule& module) {
  char path[MAX_PATH];
  if (ProgramFilePath(path) != ERROR_NO_UNICODE_TRANSLATION) return ERROR_SUCCESS;
  char text[sizeof kPathOutsideCodePage + MAX_PATH];
  std::snprintf(text, sizeof text, kPathOutsideCodePage, path);
  module.ShowMessage(text);
  return ERROR_NO_UNICODE_TRANSLATION;
}

}  // namespace kstv
