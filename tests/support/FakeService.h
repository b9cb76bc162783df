// A service of the test's own under the emulated service manager: it reports RUNNING,
// and on a stop request STOP_PENDING and then STOPPED, or, when stubborn, it only says
// STOP_PENDING and keeps running until the test ends it. One that starts slowly stays
// START_PENDING until the test lets it finish starting. StartServiceA starts it again
// (a new run) once it has stopped.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/host/control.h"

namespace kstv::test {

class FakeService {
 public:
  enum class Start { Running, Pending };
  explicit FakeService(bool stubborn = false, Start start = Start::Running)
      : stubborn_(stubborn), startsSlowly_(start == Start::Pending) {
    current() = this;
    host::setStartedByServiceManager(true);
    host::setServiceStarter([this] { return startAgain(); });
    run();
  }
  ~FakeService() {
    host::setServiceStarter(nullptr);
    end();
    dispatcher_.join();
    host::setStartedByServiceManager(false);
    current() = nullptr;
  }
  // Lets a slowly starting service report RUNNING, on the calling thread.
  void finishStarting() { report(SERVICE_RUNNING); }
  // Lets a stubborn service stop, as if its process had ended at last.
  void end() {
    std::lock_guard guard(lock_);
    stopping_ = true;
    changed_.notify_all();
  }
  // How often it was started: 1 for the run the constructor began.
  int runs() const { return runs_; }

 private:
  static FakeService*& current() {
    static FakeService* service = nullptr;
    return service;
  }
  static void report(DWORD state) {
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(current()->handle_, &status);
  }
  static DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    FakeService& self = *current();
    if (control != SERVICE_CONTROL_STOP) return NO_ERROR;
    report(SERVICE_STOP_PENDING);
    if (!self.stubborn_) self.end();
    return NO_ERROR;
  }
  static void WINAPI Main(DWORD, LPSTR*) {
    FakeService& self = *current();
    self.handle_ = RegisterServiceCtrlHandlerExA("Fake", Handler, nullptr);
    report(self.startsSlowly_ ? SERVICE_START_PENDING : SERVICE_RUNNING);
    std::unique_lock guard(self.lock_);
    self.changed_.wait(guard, [&] { return self.stopping_; });
    guard.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a teardown takes a while
    {
      // Ended before STOPPED is seen: the manager may start it again at once.
      std::lock_guard ended(self.lock_);
      self.ended_ = true;
    }
    report(SERVICE_STOPPED);
  }
  // A new run on a dispatcher thread of its own, as a new service process would be.
  void run() {
    ++runs_;
    dispatcher_ = std::thread([] {
      SERVICE_TABLE_ENTRYA table[] = {{const_cast<LPSTR>("Fake"), Main}, {nullptr, nullptr}};
      StartServiceCtrlDispatcherA(table);
    });
    EXPECT_TRUE(host::waitForServiceState(startsSlowly_ ? SERVICE_START_PENDING : SERVICE_RUNNING))
        << "the fake service did not start";
  }
  // The service manager's start of a stopped service: the last run's dispatcher has
  // returned, or is about to.
  DWORD startAgain() {
    {
      std::lock_guard guard(lock_);
      if (!ended_) {
        ADD_FAILURE() << "the manager started the fake service while it ran";
        return ERROR_SERVICE_ALREADY_RUNNING;
      }
    }
    dispatcher_.join();
    {
      std::lock_guard guard(lock_);
      stopping_ = ended_ = false;
    }
    host::clearServiceReports();
    run();
    return ERROR_SUCCESS;
  }

  const bool stubborn_;
  const bool startsSlowly_;
  SERVICE_STATUS_HANDLE handle_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool ended_ = false;
  int runs_ = 0;
  std::thread dispatcher_;
};

}  // namespace kstv::test
