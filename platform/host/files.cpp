// Files on the emulated machine: volumes by their device path (\\.\X:), and files and
// folders of drive C: in the machine's drive_c folder, opened with Windows' dispositions
// and share modes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/host/control.h"
#include "platform/host/detail/call_records.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/file_sharing.h"
#include "platform/host/detail/kernel_handles.h"
#include "platform/host/detail/streams.h"
#include "platform/host/detail/volumes.h"

namespace kstv::host {
namespace {

using detail::FileSharing;
using detail::FileUse;

// An open file; writes go to the file position, which starts at 0, or for a handle that
// may only append, to the file's end. Its use of the file counts against other opens
// until it closes.
struct FileHandle : detail::KernelObject {
  FileHandle(int descriptor, std::optional<FileSharing::Entry> sharing)
      : fd(descriptor), use(sharing) {}
  ~FileHandle() override {
    if (use) FileSharing::instance().release(*use);
    close(fd);
  }
  int fd;
  std::optional<FileSharing::Entry> use;
  bool readable = false;
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
      return ERROR_FILE_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

HANDLE Fail(DWORD code) {
  SetLastError(code);
  return INVALID_HANDLE_VALUE;
}

BOOL FailCall(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// The code of a path that names nothing: the file's when its folder exists.
DWORD MissingCode(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  struct stat folder {};
  return slash != std::string::npos && stat(path.substr(0, slash).c_str(), &folder) == 0 &&
                 S_ISDIR(folder.st_mode)
             ? ERROR_FILE_NOT_FOUND
             : ERROR_PATH_NOT_FOUND;
}

FileSharing::FileId IdOf(const struct stat& info) { return {info.st_dev, info.st_ino}; }

// The open file behind `file` if it grants the right `granted` names, for the named call
// (whose injected failure comes first); null with the last error set otherwise.
std::shared_ptr<FileHandle> UsableFile(const char* call, HANDLE file, bool FileHandle::*granted) {
  if (auto code = detail::injectedFailure(call)) {
    SetLastError(*code);
    return nullptr;
  }
  auto open = detail::KernelHandles::instance().find<FileHandle>(file);
  if (!open) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!((*open).*granted)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return open;
}

// A standard handle or the console: written where the stream stands, as a whole.
BOOL WriteStream(const detail::StreamHandle& stream, LPCVOID buffer, DWORD bytesToWrite,
                 LPDWORD bytesWritten) {
  if (!stream.writable) return FailCall(ERROR_ACCESS_DENIED);
  DWORD done = 0;
  while (done < bytesToWrite) {
    const ssize_t written =
        write(stream.fd, static_cast<const char*>(buffer) + done, bytesToWrite - done);
    if (written < 0) return FailCall(errno == EBADF ? ERROR_INVALID_HANDLE : ErrorOf(errno));
    done += static_cast<DWORD>(written);
  }
  if (bytesWritten) *bytesWritten = done;
  return TRUE;
}

}  // namespace
}  // namespace kstv::host

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD attributes,
                          HANDLE templateFile) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("CreateFileA")) return Fail(*code);
  if (!fileName) return Fail(ERROR_INVALID_PARAMETER);
  if (detail::isDevicePath(fileName)) {
    detail::recordCall("CreateFileA",
                       {fileName, detail::hexArgument(access), detail::hexArgument(shareMode),
                        detail::pointerArgument(security), detail::hexArgument(disposition),
                        detail::hexArgument(attributes), detail::pointerArgument(templateFile)});
    // The machine's only devices are its volumes: no pipe, share or disk answers.
    if (!detail::isVolumePath(fileName)) return Fail(ERROR_FILE_NOT_FOUND);
    return detail::openVolume(fileName, access, shareMode, disposition);
  }
  if (detail::isConsoleOutputName(fileName)) return detail::openConsoleOutput(access, shareMode);

  std::string path = hostPathOf(fileName);
  if (path.empty()) return Fail(ERROR_PATH_NOT_FOUND);
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
  // The share modes are weighed before the file is touched: a refused open empties nothing.
  const FileUse use = FileUse::of(access, shareMode);
  FileSharing& sharing = FileSharing::instance();
  std::lock_guard guard(sharing.lock());
  struct stat info {};
  const bool existed = stat(path.c_str(), &info) == 0;
  if (existed && S_ISDIR(info.st_mode)) return Fail(ERROR_ACCESS_DENIED);
  if (existed && disposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
  if (existed && !sharing.allows(IdOf(info), use)) return Fail(ERROR_SHARING_VIOLATION);
  int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(errno == ENOENT ? MissingCode(path) : ErrorOf(errno));
  std::optional<FileSharing::Entry> entry;
  if (use.weighed() && fstat(fd, &info) == 0) entry = sharing.add(IdOf(info), use);
  auto file = std::make_shared<FileHandle>(fd, entry);
  file->writable = writes || appends;
  file->appendsOnly = appends;
  file->readable = reads;
  // As on Windows: opening an existing file "always" succeeds and says so.
  SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return detail::KernelHandles::instance().add(file);
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED) {
  using namespace kstv::host;
  if (bytesRead) *bytesRead = 0;
  auto open = UsableFile("ReadFile", file, &FileHandle::readable);
  if (!open) return FALSE;
  std::lock_guard guard(open->lock);
  ssize_t read = pread(open->fd, buffer, bytesToRead, open->position);
  if (read < 0) {
    SetLastError(ErrorOf(errno));
    return FALSE;
  }
  open->position += read;
  if (bytesRead) *bytesRead = static_cast<DWORD>(read);
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED) {
  using namespace kstv::host;
  if (bytesWritten) *bytesWritten = 0;
  if (auto stream = detail::KernelHandles::instance().find<detail::StreamHandle>(file)) {
    if (auto code = detail::injectedFailure("WriteFile")) return FailCall(*code);
    return WriteStream(*stream, buffer, bytesToWrite, bytesWritten);
  }
  auto open = UsableFile("WriteFile", file, &FileHandle::writable);
  if (!open) return FALSE;
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

BOOL WINAPI DeleteFileA(LPCSTR fileName) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("DeleteFileA")) return FailCall(*code);
  if (!fileName) return FailCall(ERROR_INVALID_PARAMETER);
  std::string path = hostPathOf(fileName);
  if (path.empty()) return FailCall(ERROR_PATH_NOT_FOUND);
  // Deleting opens the file for deletion, sharing everything: every open handle must
  // share deletion in turn.
  FileSharing& sharing = FileSharing::instance();
  std::lock_guard guard(sharing.lock());
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return FailCall(MissingCode(path));
  if (S_ISDIR(info.st_mode)) return FailCall(ERROR_ACCESS_DENIED);
  const FileUse deletion =
      FileUse::of(DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!sharing.allows(IdOf(info), deletion)) return FailCall(ERROR_SHARING_VIOLATION);
  if (unlink(path.c_str()) != 0) return FailCall(ErrorOf(errno));
  return TRUE;
}

BOOL WINAPI MoveFileExA(LPCSTR existingFileName, LPCSTR newFileName, DWORD flags) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("MoveFileExA")) return FailCall(*code);
  if (!existingFileName || !newFileName || (flags & ~MOVEFILE_REPLACE_EXISTING))
    return FailCall(ERROR_INVALID_PARAMETER);
  const std::string source = hostPathOf(existingFileName);
  const std::string target = hostPathOf(newFileName);
  if (source.empty() || target.empty()) return FailCall(ERROR_PATH_NOT_FOUND);
  // Renaming opens the file for deletion, sharing everything, as deleting does.
  FileSharing& sharing = FileSharing::instance();
  std::lock_guard guard(sharing.lock());
  struct stat info {};
  if (stat(source.c_str(), &info) != 0) return FailCall(MissingCode(source));
  if (S_ISDIR(info.st_mode)) return FailCall(ERROR_ACCESS_DENIED);
  const FileUse renaming =
      FileUse::of(DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (!sharing.allows(IdOf(info), renaming)) return FailCall(ERROR_SHARING_VIOLATION);
  struct stat replaced {};
  if (stat(target.c_str(), &replaced) == 0) {
    if (!(flags & MOVEFILE_REPLACE_EXISTING)) return FailCall(ERROR_ALREADY_EXISTS);
    if (S_ISDIR(replaced.st_mode) || sharing.inUse(IdOf(replaced)))
      return FailCall(ERROR_ACCESS_DENIED);
  }
  if (rename(source.c_str(), target.c_str()) != 0) return FailCall(ErrorOf(errno));
  return TRUE;
}

DWORD WINAPI GetFileAttributesA(LPCSTR fileName) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("GetFileAttributesA")) {
    SetLastError(*code);
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::string path = hostPathOf(fileName);
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) {
    SetLastError(path.empty() ? static_cast<DWORD>(ERROR_PATH_NOT_FOUND) : MissingCode(path));
    return INVALID_FILE_ATTRIBUTES;
  }
  return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES) {
  using namespace kstv::host;
  if (!pathName) return FailCall(ERROR_INVALID_PARAMETER);
  std::string path = hostPathOf(pathName);
  if (path.empty()) return FailCall(ERROR_PATH_NOT_FOUND);
  if (mkdir(path.c_str(), 0755) == 0) return TRUE;
  return FailCall(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorOf(errno));
}

BOOL WINAPI RemoveDirectoryA(LPCSTR pathName) {
  using namespace kstv::host;
  if (!pathName) return FailCall(ERROR_INVALID_PARAMETER);
  std::string path = hostPathOf(pathName);
  if (path.empty()) return FailCall(ERROR_PATH_NOT_FOUND);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return FailCall(MissingCode(path));
  if (!S_ISDIR(info.st_mode)) return FailCall(ERROR_DIRECTORY);
  if (rmdir(path.c_str()) != 0) return FailCall(ErrorOf(errno));
  return TRUE;
}

DWORD WINAPI GetFileType(HANDLE file) {
  using namespace kstv::host;
  auto& handles = detail::KernelHandles::instance();
  if (auto stream = handles.find<detail::StreamHandle>(file)) {
    struct stat info {};
    if (fstat(stream->fd, &info) != 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FILE_TYPE_UNKNOWN;
    }
    SetLastError(NO_ERROR);
    if (S_ISREG(info.st_mode)) return FILE_TYPE_DISK;
    if (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) return FILE_TYPE_PIPE;
    if (S_ISCHR(info.st_mode)) return FILE_TYPE_CHAR;
    return FILE_TYPE_UNKNOWN;
  }
  if (!handles.find<detail::KernelObject>(file)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(NO_ERROR);
  // Files of drive C: and volumes are disks; tokens, threads and mutexes have no type.
  if (handles.find<FileHandle>(file) || detail::isVolumeHandle(file)) return FILE_TYPE_DISK;
  return FILE_TYPE_UNKNOWN;
}
