// Measures the card monitor on the emulated machine (not part of the tests):
//  - BadgeLatency: from a card's volume appearing to both badge keys being present,
//    through real event delivery with the 0.1-second creation polling (median and worst);
//  - ArrivalIndicate: one Indicate of the arrival sink for one card arrival;
//  - IdleCpu: CPU time the process uses in 10 seconds of subscription with nothing
//    happening, as a share of one core.
// Set KSTV_MACHINE to measure on a machine in a directory (the SQLite file) instead of
// in memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "monitor/DiskEventSinks.h"
#include "monitor/DiskEventSubscription.h"
#include "monitor/DriveBadges.h"
#include "platform/handles.h"
#include "platform/host/control.h"
#include "platform/host/detail/wmi_objects.h"

namespace {

using Clock = std::chrono::steady_clock;

kstv::host::Volume sdCard(char letter) {
  kstv::host::Volume volume;
  volume.letter = letter;
  volume.vendor = "Kestrova";
  volume.product = "SDHC Reader";
  return volume;
}

bool keyPresent(const std::string& path) {
  kstv::UniqueKey key;
  return RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::string drivePath(char letter) {
  return std::string("Applications\\explorer.exe\\Drives\\") + letter;
}

void deleteBadgeKeys(char letter) {
  std::string drive = drivePath(letter);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, (drive + "\\DefaultIcon").c_str());
  RegDeleteKeyA(HKEY_CLASSES_ROOT, (drive + "\\DefaultLabel").c_str());
  RegDeleteKeyA(HKEY_CLASSES_ROOT, drive.c_str());
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Subscribed {
 public:
  Subscribed() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    kstv::BuildBadgeIconPaths("C:\\Cards\\");
    ok_ = kstv::SubscribeDiskEvents() == 0;
  }
  ~Subscribed() {
    kstv::UnsubscribeDiskEvents();
    CoUninitialize();
  }
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

void BadgeLatency(benchmark::State& state) {
  Subscribed subscription;
  if (!subscription.ok()) {
    state.SkipWithError("subscription failed");
    return;
  }
  std::vector<double> samples;
  int cycle = 0;
  for (auto _ : state) {
    char letter = static_cast<char>('E' + cycle++ % 20);
    std::string icon = drivePath(letter) + "\\DefaultIcon";
    std::string label = drivePath(letter) + "\\DefaultLabel";
    // Start at a random point of the polling period, as a user inserting a card does.
    std::this_thread::sleep_for(std::chrono::milliseconds(cycle * 37 % 100));
    auto inserted = Clock::now();
    kstv::host::addVolume(sdCard(letter));
    while (!(keyPresent(icon) && keyPresent(label)))
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    double seconds = std::chrono::duration<double>(Clock::now() - inserted).count();
    state.SetIterationTime(seconds);
    samples.push_back(seconds);
    kstv::host::removeVolume(letter);
    deleteBadgeKeys(letter);
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_ms"] = samples[samples.size() / 2] * 1000;
  state.counters["worst_ms"] = samples.back() * 1000;
}
BENCHMARK(BadgeLatency)->Iterations(60)->UseManualTime()->Unit(benchmark::kMillisecond);

void ArrivalIndicate(benchmark::State& state) {
  kstv::BuildBadgeIconPaths("C:\\Cards\\");
  kstv::host::addVolume(sdCard('E'));
  auto* sink = new kstv::DiskArrivalSink;
  sink->AddRef();
  IWbemClassObject* event = kstv::host::detail::makeDiskEvent(u"__InstanceCreationEvent", 'E');
  for (auto _ : state) sink->Indicate(1, &event);
  event->Release();
  sink->Release();
  kstv::host::removeVolume('E');
  kstv::RemoveRecordedDriveBadges();
}
BENCHMARK(ArrivalIndicate)->Unit(benchmark::kMicrosecond);

void IdleCpu(benchmark::State& state) {
  Subscribed subscription;
  for (auto _ : state) {
    double before = cpuSeconds();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["cpu_percent_of_one_core"] = (cpuSeconds() - before) / wall * 100;
  }
}
BENCHMARK(IdleCpu)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
