// kstvreg: tries a registrar script without installing anything.
//   kstvreg register FILE [NAME=VALUE ...]     run FILE in registration mode
//   kstvreg unregister FILE [NAME=VALUE ...]   run FILE in unregistration mode
//   kstvreg export KEY                         print KEY and everything below it as .reg
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/text16.h"
#include "registrar/Registrar.h"
#include "registrar/RegistrarParser.h"
#include "tools/kstvreg/MachineNotice.h"
#include "tools/kstvreg/RegExport.h"

namespace {

constexpr const char* kUsage =
    "usage: kstvreg register FILE [NAME=VALUE ...]     run FILE in registration mode\n"
    "       kstvreg unregister FILE [NAME=VALUE ...]   run FILE in unregistration mode\n"
    "       kstvreg export KEY                         print KEY and everything below it as a .reg "
    "file\n"
    "FILE is read as bytes, as the program's own resource would be. Module is set to this\n"
    "tool's path (apostrophes doubled) unless Module=... is given. KEY is ROOT[\\path], ROOT as\n"
    "the script language spells it (HKCR, HKEY_CLASSES_ROOT, ...).\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

kstv::WideString Widened(const std::string& text) {
  int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  kstv::WideString wide(static_cast<std::size_t>(length > 0 ? length : 1), 0);
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
  wide.resize(kstv::WideLength(wide.c_str()));
  return wide;
}

// The meaning of a run's result, as a script author wants to read it.
std::string Meaning(HRESULT result) {
  switch (result) {
    case S_OK:
      return "S_OK";
    case DISP_E_EXCEPTION:
      return "DISP_E_EXCEPTION: the script is not valid, or a key could not be made";
    case E_FAIL:
      return "E_FAIL: a replacement name, binary value or LocalServer32 value is too long or odd";
    case E_OUTOFMEMORY:
      return "E_OUTOFMEMORY";
    case E_POINTER:
      return "E_POINTER";
  }
  if ((static_cast<DWORD>(result) & 0xFFFF0000UL) == 0x80070000UL)
    return "HRESULT_FROM_WIN32(" + std::to_string(static_cast<DWORD>(result) & 0xFFFF) + ")";
  return "failure";
}

int Run(bool doRegister, int argc, char** argv) {
  std::ifstream file(argv[2], std::ios::binary);
  if (!file) {
    std::fprintf(stderr, "kstvreg: cannot read '%s'\n", argv[2]);
    return 2;
  }
  std::string script((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.good() && !file.eof()) {
    std::fprintf(stderr, "kstvreg: cannot read '%s'\n", argv[2]);
    return 2;
  }

  kstv::ReplacementMap map;
  std::vector<std::pair<std::string, std::string>> pairs;
  bool moduleGiven = false;
  for (int i = 3; i < argc; ++i) {
    const char* equals = std::strchr(argv[i], '=');
    if (!equals || equals == argv[i]) return Usage();
    std::string name(argv[i], static_cast<std::size_t>(equals - argv[i]));
    if (lstrcmpiA(name.c_str(), "Module") == 0 && !moduleGiven) {
      // A Module given on the command line comes first, as given.
      moduleGiven = true;
      if (FAILED(map.add(KSTV_W("Module"), Widened(equals + 1).c_str()))) return 2;
      continue;
    }
    pairs.emplace_back(name, equals + 1);
  }
  if (!moduleGiven) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH ||
        FAILED(kstv::addModuleReplacement(map, Widened(path).c_str())))
      return 2;
  }
  for (const auto& [name, value] : pairs)
    if (FAILED(map.add(Widened(name).c_str(), Widened(value).c_str()))) return 2;

  kstv::RegistrarParser parser(map);
  HRESULT result = parser.runScript(script.c_str(), doRegister ? TRUE : FALSE);
  std::printf("0x%08X %s\n", static_cast<unsigned>(result), Meaning(result).c_str());
  return result == S_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  kstv::NoteWhereTheMachineLives();
  std::string verb = argv[1];
  if (verb == "register" || verb == "unregister") return Run(verb == "register", argc, argv);
  if (verb == "export" && argc == 3) {
    std::string text;
    if (!kstv::ExportRegFile(argv[2], text)) return 1;
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }
  return Usage();
}
