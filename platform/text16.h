// Helpers for 16-bit text, the same on both builds (no C-library wide functions: their
// wchar_t is 32 bits on the host).
#pragma once

#include <string>

#include "platform/heap.h"
#include "platform/win32.h"

namespace kstv {

using WideString = std::basic_string<WCHAR>;

inline std::size_t WideLength(const WCHAR* text) {
  return text ? std::char_traits<WCHAR>::length(text) : 0;
}

// Writes 16-bit text to standard output in the ANSI code page, as a wide printf does
// with ASCII text.
void PrintWide(const WCHAR* text);

// The text in the ANSI code page; empty when it cannot be converted.
std::string NarrowText(const WCHAR* text);

// The text in the ANSI code page, NUL-terminated, in a buffer of the process heap; an
// empty buffer when it cannot be converted or there is no memory, which `outOfMemory`
// (when given) tells apart. Never throws.
HeapBuffer NarrowCopy(const WCHAR* text, bool* outOfMemory = nullptr);

// Whether two paths name the same file, as the file system compares names: letter by
// letter, without regard to case (a linguistic comparison would take "Straße" for
// "Strasse", another folder). Texts in the ANSI code page; paths longer than a quoted
// MAX_PATH are never equal.
bool SameFileName(const char* first, const char* second);

}  // namespace kstv
