#include "platform/text16.h"

#include <cstdio>

namespace kstv {

std::string NarrowText(const WCHAR* text) {
  if (!text || !*text) return {};
  int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.data(), bytes, nullptr, nullptr) != bytes)
    return {};
  narrow.resize(static_cast<std::size_t>(bytes) - 1);
  return narrow;
}

HeapBuffer NarrowCopy(const WCHAR* text, bool* outOfMemory) {
  if (outOfMemory) *outOfMemory = false;
  if (!text) return HeapBuffer();
  int bytes = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return HeapBuffer();
  HeapBuffer narrow(static_cast<std::size_t>(bytes));
  if (!narrow) {
    if (outOfMemory) *outOfMemory = true;
    return narrow;
  }
  if (WideCharToMultiByte(CP_ACP, 0, text, -1, narrow.get(), bytes, nullptr, nullptr) != bytes)
    return HeapBuffer();
  return narrow;
}

bool SameFileName(const char* first, const char* second) {
  constexpr int kCapacity = MAX_PATH + 3;  // a quoted path and its terminator
  WCHAR wideFirst[kCapacity];
  WCHAR wideSecond[kCapacity];
  return MultiByteToWideChar(CP_ACP, 0, first, -1, wideFirst, kCapacity) != 0 &&
         MultiByteToWideChar(CP_ACP, 0, second, -1, wideSecond, kCapacity) != 0 &&
         CompareStringOrdinal(wideFirst, -1, wideSecond, -1, TRUE) == CSTR_EQUAL;
}

void PrintWide(const WCHAR* text) {
  std::string narrow = NarrowText(text);
  std::fwrite(narrow.data(), 1, narrow.size(), stdout);
}

}  // namespace kstv
