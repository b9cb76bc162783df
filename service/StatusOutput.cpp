// Where -Status writes. The program is built without a console of its own: started from a
// command prompt it attaches to the prompt's console for the length of the writing; with
// its output redirected (to a file, or a pipe of a management tool) it writes there.
#include "platform/handles.h"
#include "platform/text16.h"
#include "service/Status.h"

namespace kstv {
namespace {

constexpr char kConsoleOutput[] = "CONOUT$";

// Writes all of it; false when the handle takes no more.
bool WriteAll(HANDLE handle, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                   nullptr) ||
        written == 0)
      return false;
    done += written;
  }
  return true;
}

// A console shows UTF-16 text as it is; bytes it would read in its own code page. Any
// other device takes the bytes.
void WriteToConsole(HANDLE console, const std::string& text) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return;
  WideString wide(static_cast<std::size_t>(length), 0);
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  DWORD written = 0;
  if (!WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr))
    WriteAll(console, text);
}

// The console of the process that started this one, for as long as the writing takes.
void WriteToParentConsole(const std::string& text) {
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  {
    UniqueFileHandle console(CreateFileA(kConsoleOutput, GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    if (console) WriteToConsole(console.get(), text);
  }
  FreeConsole();
}

}  // namespace

void WriteStatus(const StatusReport& report) {
  std::string text;
  for (const std::string& line : report.lines) text += line + "\r\n";
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const bool given = output && output != INVALID_HANDLE_VALUE;
  const DWORD type = given ? GetFileType(output) : FILE_TYPE_UNKNOWN;
  if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
    WriteAll(output, text);
    return;
  }
  // A device handed down: a console the parent passed on, or NUL (`-Status > nul`), which
  // takes the lines so that the prompt's console shows none.
  if (type == FILE_TYPE_CHAR) {
    WriteToConsole(output, text);
    return;
  }
  WriteToParentConsole(text);
}

}  // namespace kstv
