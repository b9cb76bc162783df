// Host build, internal: conversions between the ANSI code page, UTF-16 and UTF-8 that
// the rest of the host layer uses (the registry stores names as UTF-8).
#pragma once

#include <string>
#include <string_view>

#include "platform/win32.h"

namespace kstv::host::detail {

std::u16string ansiToWide(std::string_view text);
std::string wideToAnsi(std::u16string_view text);
std::string wideToUtf8(std::u16string_view text);
std::u16string utf8ToWide(std::string_view text);
// Upper case for comparisons without regard to case: ASCII, Latin-1 and the paired
// letters of Latin Extended-A, Greek and Cyrillic.
char16_t foldCase(char16_t unit);
std::u16string foldCase(std::u16string_view text);
// `text` case folded, in UTF-8, into `folded` (which keeps its capacity).
void assignFoldedUtf8(std::u16string_view text, std::string& folded);
// The form in which lstrcmpiA compares text, as the platform's word sort does for the
// letters of code page 1252: case folded, the soft hyphen dropped, the ligatures and
// the sharp s expanded (so "\u00DF" equals "ss"), the modifier circumflex as '^'.
std::u16string collationForm(std::u16string_view text);

}  // namespace kstv::host::detail
