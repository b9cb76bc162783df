// The card monitor's few trace lines: on standard output, which a service does not show.
#pragma once

#include <cstdio>

namespace kstv {

// Writes `text` and a newline to standard output and flushes it.
inline void WriteLine(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace kstv
