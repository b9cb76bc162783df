// Capturing standard output for tests: file descriptor 1 goes to a temporary file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/host/control.h"

namespace kstv::host {

StandardOutputCapture::StandardOutputCapture() {
  std::fflush(stdout);
  char path[] = "/tmp/kstv-stdout-XXXXXX";
  int file = mkstemp(path);
  if (file < 0) return;
  path_ = path;
  savedOutput_ = dup(STDOUT_FILENO);
  dup2(file, STDOUT_FILENO);
  close(file);
}

StandardOutputCapture::~StandardOutputCapture() { text(); }

std::string StandardOutputCapture::text() {
  if (savedOutput_ < 0) return {};
  std::fflush(stdout);
  dup2(savedOutput_, STDOUT_FILENO);
  close(savedOutput_);
  savedOutput_ = -1;
  std::ifstream file(path_);
  std::ostringstream captured;
  captured << file.rdbuf();
  std::remove(path_.c_str());
  return captured.str();
}

}  // namespace kstv::host
