// kstvmachine: looks at and changes the emulated machine (the directory KSTV_MACHINE
// names) from the command line, while KstvCardReader runs on it or before it starts.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/handles.h"
#include "platform/host/control.h"
#include "registry/RegistryKey.h"

namespace {

constexpr const char* kUsage =
    "usage: kstvmachine reg query KEY\n"
    "       kstvmachine reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA]\n"
    "       kstvmachine reg delete KEY\n"
    "       kstvmachine reg fill KEY COUNT   write COUNT values one by one\n"
    "       kstvmachine volume add X: [TYPE [VENDOR [PRODUCT]]] [--empty] [--slow MS]\n"
    "                                                     insert a volume (a card)\n"
    "       kstvmachine volume remove X:\n"
    "       kstvmachine volume list\n"
    "       kstvmachine service start PROGRAM [ARGS...]   start PROGRAM (its file's path) as the\n"
    "                                                     service manager does\n"
    "       kstvmachine service stop | shutdown | interrogate | control CODE\n"
    "       kstvmachine service create NAME IMAGE-PATH [DISPLAY-NAME]   an entry, as sc create\n"
    "       kstvmachine service delete NAME\n"
    "       kstvmachine service show NAME   the entry, its description, recovery, SID type and "
    "privileges\n"
    "       kstvmachine service status   every status the service reported, then its state,\n"
    "                                    WIN32_EXIT_CODE and SERVICE_EXIT_CODE now\n"
    "       kstvmachine file security PATH SDDL   the owner and access list of a file or folder\n"
    "       of drive C: (a path without one has what its folder passes on)\n"
    "       kstvmachine eventlog   the Application event log, oldest first: SOURCE TYPE ID: TEXT\n"
    "                              (TYPE Error, Warning or Information; also: event list)\n"
    "KEY is ROOT\\path, ROOT one of HKCR HKCU HKLM HKU HKCC (or their long names).\n"
    "TYPE is REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ (items separated by \\0),\n"
    "REG_DWORD (decimal or 0x hex) or REG_BINARY (hex digits).\n"
    "A volume's TYPE is removable (default), fixed, remote, cdrom or ramdisk; a card of the\n"
    "reader has VENDOR Kestrova and a PRODUCT beginning SD, MMC, xD or MS. --empty makes it\n"
    "a slot without a medium (the device answers, but holds nothing); --slow MS makes each\n"
    "answer of the device, and a mount of its file system, take MS milliseconds.\n";

struct Root {
  const char* shortName;
  const char* longName;
  HKEY key;
};

const Root kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

struct KeyPath {
  const Root* root = nullptr;
  std::string path;
  std::string display() const {
    return path.empty() ? root->longName : std::string(root->longName) + "\\" + path;
  }
};

bool parseKey(const std::string& text, KeyPath& out) {
  std::size_t slash = text.find('\\');
  std::string root = text.substr(0, slash);
  for (const Root& candidate : kRoots) {
    if (lstrcmpiA(root.c_str(), candidate.shortName) == 0 ||
        lstrcmpiA(root.c_str(), candidate.longName) == 0) {
      out.root = &candidate;
      out.path = slash == std::string::npos ? std::string() : text.substr(slash + 1);
      return true;
    }
  }
  std::fprintf(stderr, "kstvmachine: unknown root key in '%s'\n", text.c_str());
  return false;
}

int fail(const char* what, LSTATUS status) {
  std::fprintf(stderr, "kstvmachine: %s failed with error %ld\n", what, static_cast<long>(status));
  return 1;
}

const char* typeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_MULTI_SZ:
      return "REG_MULTI_SZ";
    case REG_DWORD:
      return "REG_DWORD";
    case REG_BINARY:
      return "REG_BINARY";
    default:
      return "REG_NONE";
  }
}

void printValue(const char* name, DWORD type, const std::vector<BYTE>& data) {
  std::printf("    %s    %s    ", *name ? name : "(Default)", typeName(type));
  if (type == REG_SZ || type == REG_EXPAND_SZ) {
    std::printf("%.*s",
                static_cast<int>(strnlen(reinterpret_cast<const char*>(data.data()), data.size())),
                reinterpret_cast<const char*>(data.data()));
  } else if (type == REG_MULTI_SZ) {
    // Items separated by \0, as reg prints them: the list's closing NULs are not shown.
    std::size_t end = data.size();
    while (end > 0 && data[end - 1] == 0) --end;
    for (std::size_t i = 0; i < end; ++i)
      std::fputs(data[i] ? std::string(1, data[i]).c_str() : "\\0", stdout);
  } else if (type == REG_DWORD && data.size() == 4) {
    DWORD number;
    std::memcpy(&number, data.data(), 4);
    std::printf("0x%x", number);
  } else {
    for (BYTE byte : data) std::printf("%02X", byte);
  }
  std::printf("\n");
}

int query(const KeyPath& key) {
  kstv::UniqueKey open;
  if (LSTATUS status = RegOpenKeyExA(key.root->key, key.path.c_str(), 0, KEY_READ, open.put()))
    return fail("opening the key", status);
  std::printf("%s\n", key.display().c_str());
  for (DWORD index = 0;; ++index) {
    char name[16384];
    DWORD nameLength = sizeof name, type = 0, size = 0;
    if (RegEnumValueA(open.get(), index, name, &nameLength, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS)
      break;
    std::vector<BYTE> data(size + 1);
    nameLength = sizeof name;
    if (RegEnumValueA(open.get(), index, name, &nameLength, nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS)
      break;
    data.resize(size);
    printValue(name, type, data);
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(open.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    std::printf("%s\\%s\n", key.display().c_str(), name);
  }
  return 0;
}

bool encode(const std::string& typeText, const std::string& text, DWORD& type,
            std::vector<BYTE>& data) {
  if (typeText == "REG_SZ" || typeText == "REG_EXPAND_SZ") {
    type = typeText == "REG_SZ" ? REG_SZ : REG_EXPAND_SZ;
    data.assign(text.begin(), text.end());
    data.push_back(0);
  } else if (typeText == "REG_MULTI_SZ") {
    type = REG_MULTI_SZ;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text.compare(i, 2, "\\0") == 0) {
        data.push_back(0);
        ++i;
      } else {
        data.push_back(static_cast<BYTE>(text[i]));
      }
    }
    data.push_back(0);
    data.push_back(0);
  } else if (typeText == "REG_DWORD") {
    type = REG_DWORD;
    char* end = nullptr;
    unsigned long number = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end) return false;
    auto value = static_cast<DWORD>(number);
    data.resize(4);
    std::memcpy(data.data(), &value, 4);
  } else if (typeText == "REG_BINARY") {
    type = REG_BINARY;
    if (text.size() % 2) return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
      char* end = nullptr;
      std::string pair = text.substr(i, 2);
      data.push_back(static_cast<BYTE>(std::strtoul(pair.c_str(), &end, 16)));
      if (*end) return false;
    }
  } else {
    return false;
  }
  return true;
}

int add(const KeyPath& key, int argc, char** argv) {
  std::string valueName, typeText = "REG_SZ", text;
  bool hasValue = false;
  for (int i = 0; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "/ve") {
      hasValue = true;
    } else if ((option == "/v" || option == "/t" || option == "/d") && i + 1 < argc) {
      std::string argument = argv[++i];
      if (option == "/v") valueName = argument, hasValue = true;
      if (option == "/t") typeText = argument;
      if (option == "/d") text = argument;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  kstv::UniqueKey open;
  if (LSTATUS status = RegCreateKeyExA(key.root->key, key.path.c_str(), 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, open.put(), nullptr))
    return fail("creating the key", status);
  if (!hasValue) return 0;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  if (!encode(typeText, text, type, data)) {
    std::fprintf(stderr, "kstvmachine: '%s' is not %s data\n", text.c_str(), typeText.c_str());
    return 2;
  }
  if (LSTATUS status = RegSetValueExA(open.get(), valueName.c_str(), 0, type, data.data(),
                                      static_cast<DWORD>(data.size())))
    return fail("setting the value", status);
  return 0;
}

int fill(const KeyPath& key, const char* countText) {
  kstv::UniqueKey open;
  if (LSTATUS status = RegCreateKeyExA(key.root->key, key.path.c_str(), 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, open.put(), nullptr))
    return fail("creating the key", status);
  long count = std::strtol(countText, nullptr, 10);
  for (long i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "v%08ld", i);
    if (LSTATUS status =
            RegSetValueExA(open.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                           static_cast<DWORD>(std::strlen(name) + 1)))
      return fail("setting a value", status);
  }
  return 0;
}

constexpr struct {
  const char* name;
  UINT type;
} kDriveTypes[] = {{"removable", DRIVE_REMOVABLE},
                   {"fixed", DRIVE_FIXED},
                   {"remote", DRIVE_REMOTE},
                   {"cdrom", DRIVE_CDROM},
                   {"ramdisk", DRIVE_RAMDISK}};

bool parseLetter(const char* text, char& letter) {
  if (!std::isalpha(static_cast<unsigned char>(text[0])) ||
      (text[1] && (text[1] != ':' || text[2]))) {
    std::fprintf(stderr, "kstvmachine: '%s' is not a drive such as E:\n", text);
    return false;
  }
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return true;
}

// The options behind a volume's words: --empty, --slow MS. False (with a message) for
// anything else.
bool parseVolumeOptions(int argc, char** argv, kstv::host::Volume& volume) {
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--empty") == 0) {
      volume.noMedium = true;
      continue;
    }
    char* end = nullptr;
    if (std::strcmp(argv[i], "--slow") == 0 && i + 1 < argc) {
      const unsigned long milliseconds = std::strtoul(argv[++i], &end, 10);
      if (*argv[i] && *end == '\0' && milliseconds <= 600000) {
        volume.answerMilliseconds = static_cast<DWORD>(milliseconds);
        continue;
      }
    }
    std::fprintf(stderr,
                 "kstvmachine: '%s' is no volume option (--empty, --slow MS up to 600000)\n",
                 argv[i]);
    return false;
  }
  return true;
}

int volume(int argc, char** argv) {
  std::string verb = argv[2];
  if (verb == "list" && argc == 3) {
    for (const kstv::host::Volume& volume : kstv::host::volumes()) {
      const char* type = "unknown";
      for (const auto& candidate : kDriveTypes)
        if (candidate.type == volume.driveType) type = candidate.name;
      std::printf("%c:  %-9s  %-10s  %s%s", volume.letter, type,
                  volume.vendor.value_or("-").c_str(), volume.product.value_or("-").c_str(),
                  volume.noMedium ? "  (empty)" : "");
      if (volume.answerMilliseconds)
        std::printf("  (slow: %u ms)", static_cast<unsigned>(volume.answerMilliseconds));
      std::printf("\n");
    }
    return 0;
  }
  char letter;
  if (argc < 4 || !parseLetter(argv[3], letter)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (verb == "remove" && argc == 4) {
    if (kstv::host::removeVolume(letter)) return 0;
    std::fprintf(stderr, "kstvmachine: there is no volume %c:\n", letter);
    return 1;
  }
  // The words come first, the options after them.
  int words = 4;
  while (words < argc && std::strncmp(argv[words], "--", 2) != 0) ++words;
  if (verb != "add" || words > 7) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  kstv::host::Volume volume;
  volume.letter = letter;
  if (words > 4) {
    bool known = false;
    for (const auto& candidate : kDriveTypes)
      if (std::strcmp(argv[4], candidate.name) == 0)
        volume.driveType = candidate.type, known = true;
    if (!known) {
      std::fprintf(stderr, "kstvmachine: unknown drive type '%s'\n", argv[4]);
      return 2;
    }
  }
  if (words > 5) volume.vendor = argv[5];
  if (words > 6) volume.product = argv[6];
  if (!parseVolumeOptions(argc - words, argv + words, volume)) return 2;
  kstv::host::addVolume(volume);
  return 0;
}

const char* stateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    default:
      return "OTHER";
  }
}

// A status as a line: its state and exit code, and the service's own code when the exit
// code says there is one (ERROR_SERVICE_SPECIFIC_ERROR).
void printStatus(const SERVICE_STATUS& status) {
  std::printf("service: %s (exit code %u", stateName(status.dwCurrentState),
              static_cast<unsigned>(status.dwWin32ExitCode));
  if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
    std::printf(", service exit code 0x%08X",
                static_cast<unsigned>(status.dwServiceSpecificExitCode));
  std::printf(")\n");
}

void printStatuses(std::size_t from) {
  auto reports = kstv::host::serviceStatusReports();
  for (std::size_t i = from; i < reports.size(); ++i) printStatus(reports[i]);
}

// Every report, then the status the service manager gives now, as sc query shows it.
int showStatus() {
  printStatuses(0);
  const SERVICE_STATUS now = kstv::host::currentServiceStatus();
  std::printf("STATE: %s\nWIN32_EXIT_CODE: %u (0x%x)\nSERVICE_EXIT_CODE: %u (0x%x)\n",
              stateName(now.dwCurrentState), static_cast<unsigned>(now.dwWin32ExitCode),
              static_cast<unsigned>(now.dwWin32ExitCode),
              static_cast<unsigned>(now.dwServiceSpecificExitCode),
              static_cast<unsigned>(now.dwServiceSpecificExitCode));
  return 0;
}

// What is not there of the program `path` names, as words ("no folder '...'", "no program
// '...'"); empty for a program that may be run. Either way the service manager refuses
// with ERROR_FILE_NOT_FOUND, as Windows' and Wine's do for an image that is not there.
std::string MissingProgram(const char* path) {
  struct stat file {};
  if (stat(path, &file) == 0 && S_ISREG(file.st_mode) && access(path, X_OK) == 0) return "";
  const char* slash = std::strrchr(path, '/');
  const std::string folder =
      slash ? std::string(path, static_cast<std::size_t>(slash - path + 1)) : "./";
  struct stat parent {};
  if (stat(folder.c_str(), &parent) == 0 && S_ISDIR(parent.st_mode))
    return "no program '" + std::string(path) + "'";
  return "no folder '" + folder + "'";
}

// Starts the program in a process of its own, as the service manager would, with its
// output in service.log in the machine directory, and waits until it runs or stops.
int startServiceProgram(int argc, char** argv) {
  if (argc < 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (kstv::host::machineDirectory().empty()) {
    std::fprintf(stderr, "kstvmachine: a service needs a machine directory (KSTV_MACHINE)\n");
    return 2;
  }
  if (const std::string missing = MissingProgram(argv[3]); !missing.empty()) {
    std::fprintf(stderr,
                 "kstvmachine: starting the service failed with error %u: there is %s (give the "
                 "path of the program's file, as in service start build/service/KstvCardReader)\n",
                 static_cast<unsigned>(ERROR_FILE_NOT_FOUND), missing.c_str());
    return 1;
  }
  kstv::host::clearServiceReports();
  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    setsid();
    std::string log = kstv::host::machineDirectory() + "/service.log";
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      close(out);
    }
    setenv("KSTV_STARTED_BY_SCM", "1", 1);
    setenv("KSTV_NO_DESKTOP", "1", 1);  // a service's window station is session 0's
    execv(argv[3], argv + 3);
    _exit(127);
  }
  for (int i = 0; i < 1000; ++i) {
    int ended = 0;
    if (waitpid(child, &ended, WNOHANG) == child) {
      printStatuses(0);
      std::fprintf(stderr,
                   "kstvmachine: the program ended (%s %d) before it reported to the service "
                   "manager: is it a service?\n",
                   WIFEXITED(ended) ? "exit code" : "signal",
                   WIFEXITED(ended) ? WEXITSTATUS(ended) : WTERMSIG(ended));
      return 1;
    }
    for (const SERVICE_STATUS& status : kstv::host::serviceStatusReports()) {
      if (status.dwCurrentState == SERVICE_RUNNING || status.dwCurrentState == SERVICE_STOPPED) {
        printStatuses(0);
        std::printf("service: process %d\n", static_cast<int>(child));
        return status.dwCurrentState == SERVICE_RUNNING ? 0 : 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::fprintf(stderr, "kstvmachine: the service did not start\n");
  return 1;
}

int deliverControl(DWORD control) {
  std::size_t before = kstv::host::serviceStatusReports().size();
  DWORD result = kstv::host::sendServiceControl(control);
  std::printf("service: control %u answered %u\n", static_cast<unsigned>(control),
              static_cast<unsigned>(result));
  if (result == 0 && (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN))
    kstv::host::waitForServiceState(SERVICE_STOPPED);
  printStatuses(before);
  return result == 0 ? 0 : 1;
}

// Creates or deletes a service entry through the service manager's own calls, which say
// what they refuse.
int changeEntry(bool create, const char* name, const char* imagePath, const char* displayName) {
  kstv::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return fail("opening the service manager", static_cast<LONG>(GetLastError()));
  kstv::UniqueServiceHandle service(
      create ? CreateServiceA(manager.get(), name, displayName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                              imagePath, nullptr, nullptr, nullptr, nullptr, nullptr)
             : OpenServiceA(manager.get(), name, DELETE));
  if (!service)
    return fail(create ? "creating the service" : "opening the service",
                static_cast<LONG>(GetLastError()));
  if (!create && !DeleteService(service.get()))
    return fail("deleting the service", static_cast<LONG>(GetLastError()));
  return 0;
}

const char* sidTypeName(DWORD type) {
  switch (type) {
    case SERVICE_SID_TYPE_NONE:
      return "NONE";
    case SERVICE_SID_TYPE_UNRESTRICTED:
      return "UNRESTRICTED";
    case SERVICE_SID_TYPE_RESTRICTED:
      return "RESTRICTED";
  }
  return "unknown";
}

const char* actionName(SC_ACTION_TYPE type) {
  switch (type) {
    case SC_ACTION_NONE:
      return "none";
    case SC_ACTION_RESTART:
      return "restart";
    case SC_ACTION_REBOOT:
      return "reboot";
    case SC_ACTION_RUN_COMMAND:
      return "run command";
  }
  return "unknown";
}

// The entry as the service manager keeps it, with its optional configuration, read
// through the manager's own calls.
int showEntry(const char* name) {
  std::optional<kstv::host::ServiceEntry> entry = kstv::host::serviceEntry(name);
  if (!entry) return fail("finding the service", ERROR_SERVICE_DOES_NOT_EXIST);
  std::printf(
      "SERVICE_NAME: %s\nDISPLAY_NAME: %s\nTYPE: 0x%x\nSTART_TYPE: %u\n"
      "ERROR_CONTROL: %u\nBINARY_PATH_NAME: %s\nSERVICE_START_NAME: %s\n",
      entry->name.c_str(), entry->displayName.c_str(), static_cast<unsigned>(entry->type),
      static_cast<unsigned>(entry->startType), static_cast<unsigned>(entry->errorControl),
      entry->imagePath.c_str(), entry->account.c_str());
  for (const std::string& dependency : entry->dependencies)
    std::printf("DEPENDENCY: %s\n", dependency.c_str());

  kstv::UniqueServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  kstv::UniqueServiceHandle service(OpenServiceA(manager.get(), name, SERVICE_QUERY_CONFIG));
  if (!service) return fail("opening the service", static_cast<LONG>(GetLastError()));
  alignas(SERVICE_FAILURE_ACTIONSA) BYTE buffer[8192];
  DWORD needed = 0;
  if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer,
                            &needed))
    return fail("reading the description", static_cast<LONG>(GetLastError()));
  const char* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer)->lpDescription;
  std::printf("DESCRIPTION: %s\n", description ? description : "");
  if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer,
                            &needed))
    return fail("reading the failure actions", static_cast<LONG>(GetLastError()));
  const auto* recovery = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(buffer);
  std::printf("RESET_PERIOD (in seconds): %u\n", static_cast<unsigned>(recovery->dwResetPeriod));
  for (DWORD i = 0; i < recovery->cActions; ++i)
    std::printf("FAILURE_ACTION %u: %s, delay %u ms\n", static_cast<unsigned>(i + 1),
                actionName(recovery->lpsaActions[i].Type),
                static_cast<unsigned>(recovery->lpsaActions[i].Delay));
  if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, buffer,
                            sizeof buffer, &needed))
    return fail("reading the failure actions' flag", static_cast<LONG>(GetLastError()));
  std::printf(
      "FAILURE_ACTIONS_ON_NON_CRASH_FAILURES: %s\n",
      reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(buffer)->fFailureActionsOnNonCrashFailures
          ? "TRUE"
          : "FALSE");
  if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_SERVICE_SID_INFO, buffer, sizeof buffer,
                            &needed))
    return fail("reading the service SID's type", static_cast<LONG>(GetLastError()));
  std::printf("SERVICE_SID_TYPE: %s\n",
              sidTypeName(reinterpret_cast<SERVICE_SID_INFO*>(buffer)->dwServiceSidType));
  if (!QueryServiceConfig2A(service.get(), SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, buffer,
                            sizeof buffer, &needed))
    return fail("reading the required privileges", static_cast<LONG>(GetLastError()));
  for (const char* privilege =
           reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(buffer)->pmszRequiredPrivileges;
       privilege && *privilege; privilege += std::strlen(privilege) + 1)
    std::printf("REQUIRED_PRIVILEGE: %s\n", privilege);
  return 0;
}

int fileCommand(int argc, char** argv) {
  if (argc != 5 || std::strcmp(argv[2], "security") != 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (kstv::host::setFileSecurity(argv[3], argv[4])) return 0;
  std::fprintf(stderr, "kstvmachine: '%s' is not SDDL, or '%s' is not a path on drive C:\n",
               argv[4], argv[3]);
  return 1;
}

int serviceCommand(int argc, char** argv) {
  std::string verb = argc > 2 ? argv[2] : "";
  if (verb == "start") return startServiceProgram(argc, argv);
  if (verb == "stop" && argc == 3) return deliverControl(SERVICE_CONTROL_STOP);
  if (verb == "shutdown" && argc == 3) return deliverControl(SERVICE_CONTROL_SHUTDOWN);
  if (verb == "interrogate" && argc == 3) return deliverControl(SERVICE_CONTROL_INTERROGATE);
  if (verb == "control" && argc == 4)
    return deliverControl(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0)));
  if (verb == "status" && argc == 3) return showStatus();
  if (verb == "create" && (argc == 5 || argc == 6))
    return changeEntry(true, argv[3], argv[4], argc == 6 ? argv[5] : nullptr);
  if (verb == "delete" && argc == 4) return changeEntry(false, argv[3], nullptr, nullptr);
  if (verb == "show" && argc == 4) return showEntry(argv[3]);
  std::fputs(kUsage, stderr);
  return 2;
}

const char* eventTypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "Information";
  }
  return "Success";
}

// The Application event log, one line an event, oldest first: its source, type and id,
// and its text (the program's one message is its insertion string).
int listEvents() {
  for (const kstv::host::Event& event : kstv::host::eventLog()) {
    std::printf("%s %s %u:", event.source.c_str(), eventTypeName(event.type),
                static_cast<unsigned>(event.eventId));
    for (const std::string& text : event.strings) std::printf(" %s", text.c_str());
    std::printf("\n");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 2 && std::strcmp(argv[1], "eventlog") == 0) ||
      (argc == 3 && std::strcmp(argv[1], "event") == 0 && std::strcmp(argv[2], "list") == 0))
    return listEvents();
  if (argc < 3 || (std::strcmp(argv[1], "reg") != 0 && std::strcmp(argv[1], "volume") != 0 &&
                   std::strcmp(argv[1], "service") != 0 && std::strcmp(argv[1], "file") != 0)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  kstv::host::notePrivateMachine("kstvmachine");
  if (std::strcmp(argv[1], "volume") == 0) return volume(argc, argv);
  if (std::strcmp(argv[1], "service") == 0) return serviceCommand(argc, argv);
  if (std::strcmp(argv[1], "file") == 0) return fileCommand(argc, argv);
  if (argc < 4) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string verb = argv[2];
  KeyPath key;
  if (!parseKey(argv[3], key)) return 2;
  if (verb == "query") return query(key);
  if (verb == "add") return add(key, argc - 4, argv + 4);
  if (verb == "delete") {
    if (key.path.empty()) return fail("deleting a root key", ERROR_ACCESS_DENIED);
    LSTATUS status = kstv::RegistryKey::deleteTree(key.root->key, key.path.c_str());
    return status ? fail("deleting the key", status) : 0;
  }
  if (verb == "fill" && argc == 5) return fill(key, argv[4]);
  std::fputs(kUsage, stderr);
  return 2;
}
