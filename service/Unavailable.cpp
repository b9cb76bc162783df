#include "service/Unavailable.h"

#include <cstdio>

namespace kstv {

void ReportUnavailable(const char* operation) {
  std::fprintf(stderr, "KstvCardReader: %s is not available in this build\n", operation);
}

}  // namespace kstv
