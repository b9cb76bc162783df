#include "service/CommandLine.h"

namespace kstv {
namespace {

constexpr struct {
  const char* text;
  CommandWord word;
} kWords[] = {
    {"UnregServer", CommandWord::UnregServer},
    {"RegServer", CommandWord::RegServer},
    {"Service", CommandWord::Service},
    {"Status", CommandWord::Status},
};

}  // namespace

LPCSTR FindSwitch(LPCSTR text, LPCSTR delimiters) {
  if (!text) return nullptr;
  for (LPCSTR current = text; *current; current = CharNextA(current)) {
    for (LPCSTR delimiter = delimiters; *delimiter; delimiter = CharNextA(delimiter)) {
      if (*current == *delimiter) return CharNextA(current);
    }
  }
  return nullptr;
}

CommandWord FindCommandWord(LPCSTR commandLine) {
  for (LPCSTR token = FindSwitch(commandLine, kSwitchDelimiters); token;
       token = FindSwitch(token, kSwitchDelimiters)) {
    for (const auto& candidate : kWords) {
      if (lstrcmpiA(token, candidate.text) == 0) return candidate.word;
    }
  }
  return CommandWord::None;
}

}  // namespace kstv
