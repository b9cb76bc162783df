// Files on the emulated machine: volumes by their device path (\\.\X:), and files of
// drive C: in the machine's drive_c folder, opened with Windows' dispositions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/host/control.h"
#include "platform/host/detail/call_records.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/kernel_handles.h"
#include "platform/host/detail/volumes.h"

namespace kstv::host {
namespace {

// An open file; writes go to the file position, which starts at 0, or for a handle that
// may only append, to the file's end.
struct FileHandle : detail::KernelObject {
  explicit FileHandle(int descriptor) : fd(descriptor) {}
  ~FileHandle() override { close(fd); }
  int fd;
  bool writable = false;
  bool appendsOnly = false;
  std::mutex lock;  // writes of several threads move one position, one at a time
  off_t position = 0;
};

DWORD ErrorOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return 80;  // ERROR_FILE_EXISTS
    default:
      return ERROR_GEN_FAILURE;
  }
}

HANDLE Fail(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

}  // namespace
}  // namespace kstv::host

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                          HANDLE templateFile) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("CreateFileA")) return Fail(*code);
  if (!fileName) return Fail(ERROR_INVALID_PARAMETER);
  if (detail::isVolumePath(fileName)) {
    detail::recordCall("CreateFileA",
                       {fileName, detail::hexArgument(access), detail::hexArgument(shareMode),
                        detail::pointerArgument(security), detail::hexArgument(disposition),
                        detail::hexArgument(attributes), detail::pointerArgument(templateFile)});
    return detail::openVolume(fileName, shareMode, disposition);
  }

  std::string path = hostPathOf(fileName);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
  struct stat info {};
  bool existed = stat(path.c_str(), &info) == 0;
  const bool writes = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  const bool appends = !writes && (access & FILE_APPEND_DATA) != 0;
  const bool reads = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  int flags = (writes || appends) ? (reads ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (appends) flags |= O_APPEND;  // several processes append to one file
  switch (disposition) {
    case CREATE_NEW:
      flags |= O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS:
      flags |= O_CREAT | O_TRUNC;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      flags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      flags |= O_TRUNC;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0)
    return Fail(errno == ENOENT && !existed && disposition != OPEN_EXISTING &&
                        disposition != TRUNCATE_EXISTING
                    ? ERROR_PATH_NOT_FOUND  // the folder is missing
                    : (errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorOf(errno)));
  auto file = std::make_shared<FileHandle>(fd);
  file->writable = writes || appends;
  file->appendsOnly = appends;
  // As on Windows: opening an existing file "always" succeeds and says so.
  SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                   ? 183
                   : ERROR_SUCCESS);
  return detail::KernelHandles::instance().add(file);
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED) {
  using namespace kstv::host;
  if (bytesWritten) *bytesWritten = 0;
  if (auto code = detail::injectedFailure("WriteFile")) {
    SetLastError(*code);
    return FALSE;
  }
  auto open = detail::KernelHandles::instance().find<FileHandle>(file);
  if (!open) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!open->writable) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  std::lock_guard guard(open->lock);
  ssize_t written = open->appendsOnly ? write(open->fd, buffer, bytesToWrite)
                                      : pwrite(open->fd, buffer, bytesToWrite, open->position);
  if (written < 0) {
    SetLastError(ErrorOf(errno));
    return FALSE;
  }
  open->position += written;
  if (bytesWritten) *bytesWritten = static_cast<DWORD>(written);
  return TRUE;
}
