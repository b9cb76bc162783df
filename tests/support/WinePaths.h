// Windows build under Wine: a file of the build tree as the program sees it, through
// Wine's drive Z:, the Unix root.
#pragma once

#include <string>

namespace kstv::test {

inline std::string windowsPathOfUnixFile(const char* unixPath) {
  std::string path = std::string("Z:") + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

}  // namespace kstv::test
