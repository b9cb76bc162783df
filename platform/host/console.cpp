// A program's standard handles and its parent's console on the emulated machine.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "platform/host/detail/failures.h"
#include "platform/host/detail/streams.h"
#include "platform/host/detail/text.h"

namespace kstv::host {
namespace {

using detail::KernelHandles;
using detail::StreamHandle;

constexpr char kConsoleOutputName[] = "CONOUT$";
constexpr int kStandardDescriptors[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};

struct Console {
  std::mutex lock;
  int fd = -1;  // the attached console's terminal, -1 when the process has none
};

Console& console() {
  static Console instance;
  return instance;
}

// The standard handles belong to the process from its start, as on Windows: made before
// main, so that they count among the handles open before any test.
struct StandardHandles {
  HANDLE handles[3];
  StandardHandles() {
    for (int index = 0; index < 3; ++index)
      handles[index] = KernelHandles::instance().add(std::make_shared<StreamHandle>(
          kStandardDescriptors[index], false, index != STDIN_FILENO));
  }
};
const StandardHandles standardHandles;

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

namespace detail {

bool isConsoleOutputName(LPCSTR name) { return strcasecmp(name, kConsoleOutputName) == 0; }

HANDLE openConsoleOutput(DWORD access, DWORD shareMode) {
  if (!(shareMode & FILE_SHARE_WRITE)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int fd = -1;
  {
    std::lock_guard guard(console().lock);
    if (console().fd >= 0) fd = fcntl(console().fd, F_DUPFD_CLOEXEC, 0);
  }
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  const bool writes = (access & (GENERIC_WRITE | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  SetLastError(ERROR_SUCCESS);
  return KernelHandles::instance().add(std::make_shared<StreamHandle>(fd, true, writes));
}

}  // namespace detail
}  // namespace kstv::host

HANDLE WINAPI GetStdHandle(DWORD standardHandle) {
  using namespace kstv::host;
  int index;
  switch (standardHandle) {
    case STD_INPUT_HANDLE:
      index = 0;
      break;
    case STD_OUTPUT_HANDLE:
      index = 1;
      break;
    case STD_ERROR_HANDLE:
      index = 2;
      break;
    default:
      SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_HANDLE_VALUE;
  }
  const int fd = kStandardDescriptors[index];
  struct stat info {};
  if (fstat(fd, &info) != 0) return nullptr;  // closed: the process has none
  if (isatty(fd)) {
    std::lock_guard guard(console().lock);
    if (console().fd < 0) return nullptr;  // a GUI program gets no console of its own
  }
  return standardHandles.handles[index];
}

BOOL WINAPI AttachConsole(DWORD processId) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("AttachConsole")) return Fail(*code);
  if (processId != ATTACH_PARENT_PROCESS) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard guard(console().lock);
  if (console().fd >= 0) return Fail(ERROR_ACCESS_DENIED);
  for (int fd : {STDOUT_FILENO, STDERR_FILENO, STDIN_FILENO}) {
    if (!isatty(fd)) continue;
    console().fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (console().fd >= 0) return TRUE;
  }
  return Fail(ERROR_INVALID_HANDLE);
}

BOOL WINAPI FreeConsole() {
  using namespace kstv::host;
  std::lock_guard guard(console().lock);
  if (console().fd >= 0) close(console().fd);
  console().fd = -1;
  return TRUE;
}

BOOL WINAPI WriteConsoleW(HANDLE handle, const void* buffer, DWORD charactersToWrite,
                          LPDWORD charactersWritten, LPVOID) {
  using namespace kstv::host;
  if (charactersWritten) *charactersWritten = 0;
  if (auto code = detail::injectedFailure("WriteConsoleW")) return Fail(*code);
  auto stream = detail::KernelHandles::instance().find<detail::StreamHandle>(handle);
  if (!stream || !stream->writable || !isatty(stream->fd)) return Fail(ERROR_INVALID_HANDLE);
  if (!buffer && charactersToWrite) return Fail(ERROR_INVALID_PARAMETER);
  const std::string text = detail::wideToUtf8(
      std::u16string_view(static_cast<const char16_t*>(buffer), charactersToWrite));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(stream->fd, text.data() + done, text.size() - done);
    if (written < 0) return Fail(ERROR_GEN_FAILURE);
    done += static_cast<std::size_t>(written);
  }
  if (charactersWritten) *charactersWritten = charactersToWrite;
  return TRUE;
}
