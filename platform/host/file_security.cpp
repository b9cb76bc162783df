// The security descriptors of drive C:'s files and folders: those set for a path (in the
// machine's database, as SDDL), and for every other path what its folder passes on. A
// machine starts with the descriptors Windows 10 gives C:\ and C:\Program Files.
#include <sys/stat.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/machine_database.h"
#include "platform/host/detail/module.h"
#include "platform/host/detail/security_descriptions.h"
#include "platform/host/detail/text.h"

namespace kstv::host {
namespace {

using detail::SecurityDescription;

// The installer service (TrustedInstaller), which owns the system's own folders.
#define KSTV_TRUSTED_INSTALLER "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"

// As Windows 10 has them: any signed-in user (AU) may make folders in C:\ and may change
// what is made below it (modify, inherit-only); below C:\Program Files users may only read
// and run.
struct DefaultDescriptor {
  const char* path;
  const char* sddl;
};
constexpr DefaultDescriptor kDefaults[] = {
    {"C:\\", "O:" KSTV_TRUSTED_INSTALLER "G:" KSTV_TRUSTED_INSTALLER
             "D:PAI(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
             "(A;OICI;0x1200a9;;;BU)"},
    {"C:\\Program Files",
     "O:" KSTV_TRUSTED_INSTALLER "G:" KSTV_TRUSTED_INSTALLER "D:PAI(A;;FA;;;" KSTV_TRUSTED_INSTALLER
     ")(A;CIIO;GA;;;" KSTV_TRUSTED_INSTALLER
     ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
     "(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)"
     "(A;OICIIO;GXGR;;;AC)"},
};

constexpr const char* kSchema =
    "CREATE TABLE file_security(path TEXT PRIMARY KEY, sddl TEXT NOT NULL)";

// The separators of a path: its backslashes (or slashes), not the second byte of a
// double-byte character.
std::vector<std::size_t> separatorsOf(const std::string& path) {
  std::vector<std::size_t> found;
  for (const char* at = path.c_str(); *at; at = CharNextA(at))
    if (*at == '\\' || *at == '/') found.push_back(static_cast<std::size_t>(at - path.c_str()));
  return found;
}

// A Windows path of drive C: as one form: backslashes, no trailing one but the root's.
std::optional<std::string> normalized(std::string path) {
  std::vector<std::size_t> separators = separatorsOf(path);
  for (std::size_t at : separators) path[at] = '\\';
  if (path.size() < 3 || (path[0] != 'C' && path[0] != 'c') || path[1] != ':' || path[2] != '\\')
    return std::nullopt;
  path[0] = 'C';
  while (path.size() > 3 && !separators.empty() && separators.back() == path.size() - 1) {
    path.pop_back();
    separators.pop_back();
  }
  return path;
}

// The key of a path in the table: names compare without regard to case, as on NTFS.
std::string keyOf(const std::string& path) {
  return detail::wideToUtf8(detail::foldCase(detail::ansiToWide(path)));
}

void insertDefaults(sqlite3* db) {
  for (const DefaultDescriptor& entry : kDefaults)
    detail::SqliteStatement(db, "INSERT OR REPLACE INTO file_security VALUES(?, ?)")
        .bind(keyOf(entry.path))
        .bind(std::string_view(entry.sddl))
        .step();
}

void ensureSchema() {
  static std::once_flag created;
  std::call_once(created, [] {
    detail::MachineCall call(true);
    detail::SqliteStatement exists(
        call.db(), "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'file_security'");
    if (!exists.step()) {
      detail::execute(call.db(), kSchema);
      insertDefaults(call.db());
    }
    call.commit();
  });
}

std::optional<std::string> storedSddl(const std::string& path) {
  detail::MachineCall call(false);
  detail::SqliteStatement row(call.db(), "SELECT sddl FROM file_security WHERE path = ?");
  if (!row.bind(keyOf(path)).step()) return std::nullopt;
  return row.text(0);
}

// The folder that holds `path`; nothing for the root.
std::optional<std::string> parentOf(const std::string& path) {
  if (path.size() <= 3) return std::nullopt;
  const std::size_t slash = separatorsOf(path).back();
  return path.substr(0, slash > 2 ? slash : 3);
}

// The descriptor of `path`: its own, or what its folder passes on.
SecurityDescription descriptionOf(const std::string& path, bool folder) {
  if (auto own = storedSddl(path))
    if (auto description = detail::parseSddl(*own)) return *description;
  auto parent = parentOf(path);
  if (!parent) return SecurityDescription{};
  return detail::inheritedFrom(descriptionOf(*parent, true), folder);
}

// Whether `path` is a folder, a file, or nothing (with the code Windows gives then: the
// file's when its folder is there). The program's own file and the folders above it are
// there, as its module is.
std::optional<bool> isFolder(const std::string& path, DWORD& missing) {
  const std::string own = detail::ownModulePath();
  const std::string key = keyOf(path);
  if (key == keyOf(own)) return false;
  for (std::size_t separator : separatorsOf(own))
    if (separator == path.size() && key == keyOf(own.substr(0, separator))) return true;
  struct stat info {};
  if (stat(hostPathOf(path).c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  auto parent = parentOf(path);
  DWORD ignored = 0;
  missing = parent && isFolder(*parent, ignored).value_or(false) ? ERROR_FILE_NOT_FOUND
                                                                 : ERROR_PATH_NOT_FOUND;
  return std::nullopt;
}

}  // namespace

bool setFileSecurity(const std::string& windowsPath, const std::string& sddl) {
  auto path = normalized(windowsPath);
  if (!path || !detail::parseSddl(sddl)) return false;
  ensureSchema();
  detail::MachineCall call(true);
  detail::SqliteStatement(call.db(), "INSERT OR REPLACE INTO file_security VALUES(?, ?)")
      .bind(keyOf(*path))
      .bind(sddl)
      .step();
  call.commit();
  return true;
}

void resetFileSecurity() {
  ensureSchema();
  detail::MachineCall call(true);
  detail::execute(call.db(), "DELETE FROM file_security");
  insertDefaults(call.db());
  call.commit();
}

}  // namespace kstv::host

DWORD WINAPI GetNamedSecurityInfoA(LPCSTR objectName, SE_OBJECT_TYPE objectType,
                                   SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                   PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  using namespace kstv::host;
  if (owner) *owner = nullptr;
  if (group) *group = nullptr;
  if (dacl) *dacl = nullptr;
  if (sacl) *sacl = nullptr;
  if (descriptor) *descriptor = nullptr;
  if (auto code = detail::injectedFailure("GetNamedSecurityInfoA")) return *code;
  if (!objectName || objectType != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  // The pointers point into the descriptor, which the caller must take to free.
  if (!descriptor && (owner || group || dacl || sacl)) return ERROR_INVALID_PARAMETER;
  // The system list is read only with a privilege that no process here holds.
  if (securityInfo & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  auto path = normalized(objectName);
  if (!path) return ERROR_PATH_NOT_FOUND;
  DWORD missing = ERROR_PATH_NOT_FOUND;
  auto folder = isFolder(*path, missing);
  if (!folder) return missing;
  ensureSchema();
  PSECURITY_DESCRIPTOR made =
      detail::localDescriptor(descriptionOf(*path, *folder), securityInfo, owner, group, dacl);
  if (!made) return ERROR_NOT_ENOUGH_MEMORY;
  if (descriptor)
    *descriptor = made;
  else
    LocalFree(made);
  return ERROR_SUCCESS;
}

BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 ULONG* size) {
  using namespace kstv::host;
  if (!descriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *descriptor = nullptr;
  if (auto code = detail::injectedFailure("ConvertStringSecurityDescriptorToSecurityDescriptorA")) {
    SetLastError(*code);
    return FALSE;
  }
  auto description = text && revision == SDDL_REVISION_1 ? detail::parseSddl(text) : std::nullopt;
  if (!description) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  std::size_t blockSize = 0;
  PSECURITY_DESCRIPTOR made = detail::localDescriptor(
      *description,
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
      &group, &dacl, &blockSize);
  if (!made) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (size) *size = static_cast<ULONG>(blockSize);
  *descriptor = made;
  return TRUE;
}
