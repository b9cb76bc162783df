#include "module/ProgramFile.h"

namespace kstv {
namespace {

DWORD LastErrorOr(DWORD fallback) {
  const DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : fallback;
}

// The program's path as the system keeps it, in UTF-16; `length` without the NUL.
DWORD WidePath(WCHAR (&wide)[MAX_PATH], DWORD& length) {
  length = GetModuleFileNameW(nullptr, wide, MAX_PATH);
  if (length == 0) return LastErrorOr(ERROR_GEN_FAILURE);
  if (length >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  wide[length] = 0;
  return ERROR_SUCCESS;
}

// The first `length` units of `wide` in the ANSI code page, character for character: no
// look-alike stands in for a character the code page lacks (best fit), which would name
// another file; the default character marks each such one. UTF-8, which Windows may be
// set to use as the ANSI code page, holds every character and takes neither the flag nor
// the report of a default character: there only a broken surrogate pair fails (1113).
DWORD ToAnsi(const WCHAR* wide, DWORD length, char (&text)[MAX_PATH]) {
  text[0] = '\0';
  if (length == 0) return ERROR_SUCCESS;
  BOOL usedDefault = FALSE;
  const bool utf8 = GetACP() == CP_UTF8;
  const int bytes = WideCharToMultiByte(CP_ACP, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS,
                                        wide, static_cast<int>(length), text, MAX_PATH - 1, nullptr,
                                        utf8 ? nullptr : &usedDefault);
  if (bytes == 0) {
    const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
    return code == ERROR_INSUFFICIENT_BUFFER ? static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)
                                             : code;
  }
  text[bytes] = '\0';
  return usedDefault ? static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION) : ERROR_SUCCESS;
}

}  // namespace

DWORD ProgramFilePath(char (&path)[MAX_PATH]) {
  path[0] = '\0';
  WCHAR wide[MAX_PATH];
  DWORD length = 0;
  const DWORD code = WidePath(wide, length);
  return code != ERROR_SUCCESS ? code : ToAnsi(wide, length, path);
}

DWORD ProgramFolder(char (&folder)[MAX_PATH]) {
  folder[0] = '\0';
  WCHAR wide[MAX_PATH];
  DWORD length = 0;
  const DWORD code = WidePath(wide, length);
  if (code != ERROR_SUCCESS) return code;
  // Cut in UTF-16, where a backslash is always one: in a double-byte code page the second
  // byte of a character may be 0x5C.
  DWORD folderLength = 0;
  for (DWORD i = 0; i < length; ++i)
    if (wide[i] == KSTV_W('\\')) folderLength = i + 1;
  return ToAnsi(wide, folderLength, folder);
}

}  // namespace kstv
