// kstvmonitor: the card monitor alone, in a console, on the emulated machine (refused while
// another monitor, such as the service, runs on it): builds the badge icon paths from the
// program's folder, removes the badges an earlier run left, badges the cards already
// inserted, follows cards coming and going until SIGINT or SIGTERM, then unsubscribes and
// takes the badges of the cards still inserted.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "monitor/DiskEventSubscription.h"
#include "monitor/DriveBadges.h"
#include "monitor/MonitorClaim.h"
#include "platform/win32.h"

int main() {
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
    int received = 0;
    sigwait(&stopSignals, &received);
  }
  kstv::UnsubscribeDiskEvents();
  kstv::CloseDriveBadgeRecord();
  CoUninitialize();
  std::printf("kstvmonitor: stopped\n");
  return status;
}
