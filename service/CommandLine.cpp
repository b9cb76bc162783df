#include "service/CommandLine.h"

#include <cstddef>

namespace kstv {
namespace {

constexpr char kStatusWord[] = "Status";

constexpr struct {
  const char* text;
  CommandWord word;
} kWords[] = {
    {"UnregServer", CommandWord::UnregServer},
    {"RegServer", CommandWord::RegServer},
    {"Service", CommandWord::Service},
    {kStatusWord, CommandWord::Status},
};

// Whether `token` is Status followed by nothing but blanks: the command prompt keeps the
// blank before a redirection (`-Status > status.txt` gives "-Status "), and a check that
// changes nothing must never become a run that monitors the reader.
bool IsStatusWithTrailingBlanks(LPCSTR token) {
  char word[sizeof kStatusWord] = {};
  const std::size_t length = sizeof kStatusWord - 1;
  for (std::size_t i = 0; i < length; ++i) {
    if (!token[i]) return false;
    word[i] = token[i];
  }
  for (LPCSTR rest = token + length; *rest; ++rest)
    if (*rest != ' ' && *rest != '\t') return false;
  return lstrcmpiA(word, kStatusWord) == 0;
}

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
    if (IsStatusWithTrailingBlanks(token)) return CommandWord::Status;
  }
  return CommandWord::None;
}

}  // namespace kstv
