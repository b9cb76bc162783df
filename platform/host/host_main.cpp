// Host start-up code: what the C runtime does before WinMain on Windows.
#include "platform/host/detail/module.h"

namespace {

// WinMain's command line is the text behind the program's own (quoted) path.
LPSTR argumentsOf(LPSTR commandLine) {
  LPSTR rest = commandLine;
  if (*rest == '"') {
    ++rest;
    while (*rest && *rest != '"') ++rest;
    if (*rest == '"') ++rest;
  } else {
    while (*rest && *rest != ' ' && *rest != '\t') ++rest;
  }
  while (*rest == ' ' || *rest == '\t') ++rest;
  return rest;
}

}  // namespace

int main(int argc, char** argv) {
  kstv::host::detail::setCommandLineFromArguments(argc, argv);
  return WinMain(kstv::host::detail::ownModule(), nullptr, argumentsOf(GetCommandLineA()),
                 SW_SHOWDEFAULT);
}
