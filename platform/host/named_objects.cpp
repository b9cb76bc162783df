// Named kernel objects on the emulated machine: mutexes and sections (file mappings backed
// by the paging file), which share one namespace. Within a process a table counts each
// name's handles. On a machine with a directory, a process that holds a name also keeps
// a shared lock on a file of that name below objects/, which the system lets go when the
// process ends however it ends: an object exists while any process holds such a lock. The
// file names the object's kind, which its first holder wrote.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/kernel_handles.h"

namespace kstv::host {
namespace {

constexpr char kGlobalPrefix[] = "Global\\";
constexpr char kLocalPrefix[] = "Local\\";

std::atomic<bool> globalObjectsRefused{false};

enum class ObjectKind : char { Mutex = 'M', Section = 'S' };

// A name's presence in this process.
struct NamedObject {
  ObjectKind kind = ObjectKind::Mutex;
  std::size_t handles = 0;
  int lockFile = -1;  // on a shared machine: the file whose shared lock says "held here"
};

struct NamedObjects {
  std::mutex lock;
  std::map<std::string, NamedObject> byName;  // "Global\name" or "Local\name"
};

// Never destroyed: handles still open when the process ends are closed afterwards.
NamedObjects& table() {
  static NamedObjects* const objects = new NamedObjects;
  return *objects;
}

std::string LockFileName(const std::string& key) {
  std::string name;
  for (unsigned char c : key) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", c);
    name += hex;
  }
  return name;
}

int OpenLockFile(const std::string& path) {
  return open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

// Joins the holders of `key` on the shared machine: takes the shared lock of its file and
// says whether another process held it already, and then of what kind the object is. The
// first holder writes its kind. Creators take turns (the guard file), so that between
// seeing no holder and holding it themselves no other can come.
bool JoinHolders(const std::string& key, ObjectKind& kind, int& lockFile, bool& heldElsewhere) {
  const std::filesystem::path folder = std::filesystem::path(machineDirectory()) / "objects";
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const int guard = OpenLockFile((folder / "guard").string());
  if (guard < 0) return false;
  flock(guard, LOCK_EX);
  lockFile = OpenLockFile((folder / LockFileName(key)).string());
  bool joined = lockFile >= 0;
  if (joined) {
    heldElsewhere = flock(lockFile, LOCK_EX | LOCK_NB) != 0;
    char written = static_cast<char>(kind);
    if (heldElsewhere)
      joined = pread(lockFile, &written, 1, 0) == 1;
    else
      joined = ftruncate(lockFile, 0) == 0 && pwrite(lockFile, &written, 1, 0) == 1;
    kind = static_cast<ObjectKind>(written);
    // At once: exclusive locks are only taken here.
    joined = joined && flock(lockFile, LOCK_SH) == 0;
    if (!joined) close(lockFile);
  }
  close(guard);
  return joined;
}

void Release(const std::string& key) {
  std::lock_guard guard(table().lock);
  auto found = table().byName.find(key);
  if (found == table().byName.end() || --found->second.handles > 0) return;
  if (found->second.lockFile >= 0) close(found->second.lockFile);
  table().byName.erase(found);
}

struct NamedObjectHandle : detail::KernelObject {
  explicit NamedObjectHandle(std::string objectKey) : key(std::move(objectKey)) {}
  ~NamedObjectHandle() override {
    if (!key.empty()) Release(key);
  }
  const std::string key;  // empty for an unnamed object
};

HANDLE Fail(DWORD code) {
  SetLastError(code);
  return nullptr;
}

// Makes the object `name` of `kind`, or opens it when it exists (the last error then says
// ERROR_ALREADY_EXISTS); ERROR_INVALID_HANDLE when the name is an object of another kind.
// A section in the global namespace is made only with the right to make global objects.
HANDLE CreateNamedObject(ObjectKind kind, LPCSTR name) {
  auto& handles = detail::KernelHandles::instance();
  if (!name) {
    SetLastError(ERROR_SUCCESS);
    return handles.add(std::make_shared<NamedObjectHandle>(std::string()));
  }
  const bool global = std::strncmp(name, kGlobalPrefix, sizeof kGlobalPrefix - 1) == 0;
  const char* rest = name;
  if (global)
    rest += sizeof kGlobalPrefix - 1;
  else if (std::strncmp(name, kLocalPrefix, sizeof kLocalPrefix - 1) == 0)
    rest += sizeof kLocalPrefix - 1;
  if (std::strchr(rest, '\\')) return Fail(ERROR_PATH_NOT_FOUND);
  const std::string key = std::string(global ? kGlobalPrefix : kLocalPrefix) + rest;

  std::lock_guard guard(table().lock);
  auto found = table().byName.find(key);
  bool existed = found != table().byName.end();
  NamedObject joined{kind};
  if (!existed && !machineDirectory().empty() &&
      !JoinHolders(key, joined.kind, joined.lockFile, existed))
    return Fail(ERROR_GEN_FAILURE);
  const ObjectKind existing = found != table().byName.end() ? found->second.kind : joined.kind;
  // Neither a section of another's making nor one of one's own may be had without the
  // right: the program's sections grant only administrators and the system.
  DWORD refusal = ERROR_SUCCESS;
  if (existing != kind)
    refusal = ERROR_INVALID_HANDLE;
  else if (kind == ObjectKind::Section && global && globalObjectsRefused)
    refusal = ERROR_ACCESS_DENIED;
  if (refusal != ERROR_SUCCESS) {
    if (joined.lockFile >= 0) close(joined.lockFile);
    return Fail(refusal);
  }
  NamedObject& object = found != table().byName.end() ? found->second : table().byName[key];
  if (object.handles == 0) object = joined;
  ++object.handles;
  HANDLE handle = handles.add(std::make_shared<NamedObjectHandle>(key));
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

}  // namespace

void refuseGlobalObjects(bool refuse) { globalObjectsRefused = refuse; }

}  // namespace kstv::host

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("CreateMutexA")) return Fail(*code);
  if (initialOwner) return Fail(ERROR_NOT_SUPPORTED);
  return CreateNamedObject(ObjectKind::Mutex, name);
}

HANDLE WINAPI CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protection,
                                 DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("CreateFileMappingA")) return Fail(*code);
  // Only sections of the paging file, which are never mapped here.
  if (file != INVALID_HANDLE_VALUE) return Fail(ERROR_NOT_SUPPORTED);
  if (maximumSizeHigh == 0 && maximumSizeLow == 0) return Fail(ERROR_INVALID_PARAMETER);
  if (protection != PAGE_READONLY && protection != PAGE_READWRITE)
    return Fail(ERROR_INVALID_PARAMETER);
  return CreateNamedObject(ObjectKind::Section, name);
}
