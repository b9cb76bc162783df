// kstvmonitor: the card monitor alone, in a console, on the emulated machine (refused while
// another monitor, such as the service, runs on it): builds the badge icon paths from the
// program's folder, removes the badges an earlier run left, badges the cards already
// inserted, follows cards coming and going until SIGINT or SIGTERM, then unsubscribes and
// takes the badges of the cards still inserted. Each badge given or taken is a line that
// names its drive.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "monitor/DiskEventSubscription.h"
#include "monitor/DriveBadges.h"
#include "monitor/MonitorClaim.h"
#include "platform/handles.h"
#include "platform/host/control.h"
#include "platform/win32.h"

namespace {

constexpr const char* kUsage =
    "usage: kstvmonitor\n"
    "Runs the card monitor alone, without the service, on the machine KSTV_MACHINE names:\n"
    "it badges each memory card of Kestrova's reader that is inserted (its drive's icon and\n"
    "label in Explorer), takes the badge away when the card goes, and says so drive by\n"
    "drive. SIGINT (Ctrl+C) or SIGTERM stops it and takes the badges still there. Refused\n"
    "while another card monitor, such as the service, runs on the machine.\n";

// How often the badges are looked at for the lines that follow them.
constexpr long kLookNanoseconds = 100 * 1000 * 1000;

// The label the badge of `letter` shows, or empty.
std::string BadgeLabel(char letter) {
  const std::string path = std::string(kstv::kDrivesKeyPath) + "\\" + letter + "\\DefaultLabel";
  kstv::UniqueKey key;
  char label[256] = {};
  DWORD size = sizeof label - 1;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(key.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(label),
                       &size) != ERROR_SUCCESS)
    return std::string();
  return label;
}

// One line for each letter that gained or lost its badge since `before`, which it updates.
void SayBadgeChanges(std::string& before) {
  const std::string now = kstv::BadgedDriveLetters();
  for (char letter : now)
    if (before.find(letter) == std::string::npos)
      std::printf("kstvmonitor: %c: card inserted, badge \"%s\"\n", letter,
                  BadgeLabel(letter).c_str());
  for (char letter : before)
    if (now.find(letter) == std::string::npos)
      std::printf("kstvmonitor: %c: card removed, badge taken away\n", letter);
  std::fflush(stdout);
  before = now;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    std::fputs(kUsage, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  kstv::host::notePrivateMachine("kstvmonitor");
  // Only this thread takes the stop signals; WMI's delivery threads inherit the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // One card monitor per machine, as for the service's runs.
  kstv::UniqueHandle claim;
  const DWORD refused = kstv::ClaimCardMonitor(claim);
  if (refused == kstv::kMonitorClaimNameTaken) {
    std::fputs("kstvmonitor: another program holds the card monitor's name; going on\n", stderr);
  } else if (refused != ERROR_SUCCESS) {
    std::fprintf(stderr, "kstvmonitor: another card monitor runs on this machine (%u)\n",
                 static_cast<unsigned>(refused));
    return 1;
  }
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  char folder[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, folder, MAX_PATH);
  if (char* lastBackslash = std::strrchr(folder, '\\')) lastBackslash[1] = '\0';
  kstv::BuildBadgeIconPaths(folder);
  kstv::OpenDriveBadgeRecord();
  kstv::RemoveLeftoverDriveBadges();
  kstv::ScanDrivesAtStartup();

  int status = 0;
  if (kstv::SubscribeDiskEvents() != 0) {
    std::fprintf(stderr, "kstvmonitor: the disk event subscription failed\n");
    status = 1;
  } else {
    std::printf("kstvmonitor: watching the drives (SIGINT or SIGTERM stops)\n");
    std::fflush(stdout);
    std::string badged;
    SayBadgeChanges(badged);
    const timespec look{0, kLookNanoseconds};
    while (sigtimedwait(&stopSignals, nullptr, &look) < 0) SayBadgeChanges(badged);
  }
  kstv::UnsubscribeDiskEvents();
  kstv::CloseDriveBadgeRecord();
  CoUninitialize();
  std::printf("kstvmonitor: stopped\n");
  return status;
}
