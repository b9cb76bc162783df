// Measures KstvCardReader run as a service on a machine in a temporary directory, in a
// process of its own as the service manager would start it (not part of the tests):
// start to running, stop request to stopped (medians and worst of 10 runs), and the CPU
// and resident memory of the running service over 10 idle seconds.
// Usage: service_benchmark PATH-TO-KstvCardReader
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/handles.h"
#include "platform/host/control.h"

namespace {

using Clock = std::chrono::steady_clock;

bool Reported(DWORD state) {
  for (const SERVICE_STATUS& status : kstv::host::serviceStatusReports())
    if (status.dwCurrentState == state) return true;
  return false;
}

double WaitFor(DWORD state, Clock::time_point from) {
  while (!Reported(state)) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

pid_t LaunchService(const char* program) {
  kstv::host::clearServiceReports();
  pid_t child = fork();
  if (child == 0) {
    setenv("KSTV_STARTED_BY_SCM", "1", 1);
    if (!std::freopen("/dev/null", "w", stdout)) _exit(126);  // the sinks' trace lines
    execl(program, program, static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

double CpuSeconds(pid_t process) {
  std::ifstream stat("/proc/" + std::to_string(process) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKilobytes(pid_t process) {
  std::ifstream status("/proc/" + std::to_string(process) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

void Summary(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  std::printf("%-28s median %7.2f ms   worst %7.2f ms   (%zu runs)\n", what,
              samples[samples.size() / 2], samples.back(), samples.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: service_benchmark PATH-TO-KstvCardReader\n");
    return 2;
  }
  char directory[] = "/tmp/kstv-service-benchmark-XXXXXX";
  if (!mkdtemp(directory)) return 1;
  setenv("KSTV_MACHINE", directory, 1);
  {
    kstv::UniqueKey key;
    RegCreateKeyExA(HKEY_CLASSES_ROOT, "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}", 0, nullptr,
                    0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    RegSetValueExA(key.get(), "LocalService", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>("KstvCardReader"), 15);
  }

  std::vector<double> starts, stops;
  for (int run = 0; run < 10; ++run) {
    auto started = Clock::now();
    pid_t service = LaunchService(argv[1]);
    starts.push_back(WaitFor(SERVICE_RUNNING, started));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the subscription is in place
    auto requested = Clock::now();
    kstv::host::sendServiceControl(SERVICE_CONTROL_STOP);
    stops.push_back(WaitFor(SERVICE_STOPPED, requested));
    waitpid(service, nullptr, 0);
  }
  Summary("start to running", starts);
  Summary("stop request to stopped", stops);

  pid_t service = LaunchService(argv[1]);
  WaitFor(SERVICE_RUNNING, Clock::now());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  double before = CpuSeconds(service);
  std::this_thread::sleep_for(std::chrono::seconds(10));
  double cpu = CpuSeconds(service) - before;
  long resident = ResidentKilobytes(service);
  kstv::host::sendServiceControl(SERVICE_CONTROL_STOP);
  waitpid(service, nullptr, 0);
  std::printf("idle for 10 s: CPU %.2f %% of one core, resident memory %.1f MiB\n", cpu / 10 * 100,
              resident / 1024.0);
  std::string remove = std::string("rm -rf ") + directory;
  return std::system(remove.c_str()) == 0 ? 0 : 1;
}
