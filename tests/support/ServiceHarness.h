// Runs the program's entry on the emulated machine as the service manager would start it,
// on a thread of its own, and cleans the machine up afterwards.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "module/ServiceModule.h"
#include "platform/host/control.h"
#include "service/Entry.h"
#include "tests/support/ProgramPath.h"
#include "tests/support/ScratchKey.h"

namespace kstv::test {

inline constexpr char kAppIdGuidKeyPath[] = "AppID\\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}";
inline constexpr char kSettingsKeyPath[] = "SOFTWARE\\Kestrova\\KstvCardReader";
inline constexpr char kLogFile[] = "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log";
inline constexpr char kPreviousLogFile[] =
    "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log.1";

inline void registerAsService() {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_CLASSES_ROOT, kAppIdGuidKeyPath, KEY_ALL_ACCESS, key));
  ASSERT_EQ(ERROR_SUCCESS, setString(key.get(), "LocalService", std::string("KstvCardReader", 15)));
}

inline void setDebugLevel(DWORD level) {
  UniqueKey key;
  ASSERT_EQ(ERROR_SUCCESS, createKey(HKEY_LOCAL_MACHINE, kSettingsKeyPath, KEY_ALL_ACCESS, key));
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key.get(), "DebugLevel", 0, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&level), sizeof level));
}

inline std::vector<DWORD> reportedStates() {
  std::vector<DWORD> states;
  for (const SERVICE_STATUS& status : host::serviceStatusReports())
    states.push_back(status.dwCurrentState);
  return states;
}

// How long a pending stop may take before its next report, as the service tells the
// manager with each STOP_PENDING.
inline constexpr DWORD kStopWaitHint = 15000;

// The check points of the STOP_PENDING reports, each of which must carry the stop's wait
// hint; every other report carries neither a check point nor a hint.
inline std::vector<DWORD> stopCheckPoints() {
  std::vector<DWORD> points;
  for (const SERVICE_STATUS& status : host::serviceStatusReports()) {
    const bool pending = status.dwCurrentState == SERVICE_STOP_PENDING;
    EXPECT_EQ(pending ? kStopWaitHint : 0u, status.dwWaitHint) << status.dwCurrentState;
    if (pending)
      points.push_back(status.dwCheckPoint);
    else
      EXPECT_EQ(0u, status.dwCheckPoint) << status.dwCurrentState;
  }
  return points;
}

// The program's entry started with no words, running on its own thread.
class ServiceRun {
 public:
  explicit ServiceRun(const std::string& arguments = "") {
    host::setCommandLine(quotedProgramPath() + arguments);
    exit_ = std::async(std::launch::async, [] {
      return Entry(GetModuleHandleA(nullptr), nullptr, nullptr, SW_SHOWDEFAULT);
    });
  }
  ~ServiceRun() {
    if (exit_.valid()) exitCode();
  }
  // The exit code, once the run has ended. A run that has not ended within 10 seconds is a
  // failure; its thread is left to itself, so that the suite goes on instead of hanging.
  int exitCode() {
    if (exit_.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "the run did not end within 10 seconds";
      new std::future<int>(std::move(exit_));  // never waited for
      return -1;
    }
    return exit_.get();
  }

 private:
  std::future<int> exit_;
};

// A fresh emulated machine for one test: registry, reports, COM security, failures.
class CleanMachine {
 public:
  CleanMachine() { reset(); }
  ~CleanMachine() { reset(); }

 private:
  static void reset() {
    host::clearFailures();
    host::resetRegistry();
    host::resetComSecurity();
    host::clearServiceReports();
    host::setStartedByServiceManager(false);
    host::setWindowsVersion(10, 0);
    host::setModulePath(host::kDefaultModulePath);
    host::refuseGlobalObjects(false);
    for (const host::Volume& volume : host::volumes())
      if (volume.letter != 'C') host::removeVolume(volume.letter);
  }
};

}  // namespace kstv::test
