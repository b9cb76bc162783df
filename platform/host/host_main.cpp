// Host start-up code: what the C runtime does before WinMain on Windows.
#include <cstring>

#include "platform/host/control.h"
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
  const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
  kstv::host::notePrivateMachine(slash ? slash + 1 : argc > 0 ? argv[0] : "program");
  kstv::host::detail::setCommandLineFromArguments(argc, argv);
  return WinMain(kstv::host::detail::ownModule(), nullptr, argumentsOf(GetCommandLineA()),
                 SW_SHOWDEFAULT);
}
