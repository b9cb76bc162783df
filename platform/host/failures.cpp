#include "platform/host/failures.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/host/control.h"

namespace kstv::host {
namespace {

struct Injection {
  DWORD code;
  unsigned times;
  unsigned after;
};

std::mutex& injectionsLock() {
  static std::mutex lock;
  return lock;
}

std::map<std::string, Injection, std::less<>>& injections() {
  static std::map<std::string, Injection, std::less<>> table;
  return table;
}

std::map<std::string, std::size_t, std::less<>>& calls() {
  static std::map<std::string, std::size_t, std::less<>> table;
  return table;
}

}  // namespace

void failCall(const std::string& call, DWORD code, unsigned times, unsigned after) {
  std::lock_guard guard(injectionsLock());
  if (times == 0) {
    injections().erase(call);
    return;
  }
  injections()[call] = Injection{code, times, after};
}

void clearFailures() {
  std::lock_guard guard(injectionsLock());
  injections().clear();
}

std::size_t callCount(const std::string& call) {
  std::lock_guard guard(injectionsLock());
  auto found = calls().find(call);
  return found == calls().end() ? 0 : found->second;
}

void resetCallCounts() {
  std::lock_guard guard(injectionsLock());
  calls().clear();
}

namespace detail {

std::optional<DWORD> injectedFailure(const char* call) {
  std::lock_guard guard(injectionsLock());
  auto counted = calls().find(std::string_view(call));
  if (counted == calls().end())
    calls().emplace(call, 1);
  else
    ++counted->second;
  auto found = injections().find(std::string_view(call));
  if (found == injections().end()) return std::nullopt;
  Injection& injection = found->second;
  if (injection.after > 0) {
    --injection.after;
    return std::nullopt;
  }
  DWORD code = injection.code;
  if (injection.times != kAlways && --injection.times == 0) injections().erase(found);
  return code;
}

}  // namespace detail
}  // namespace kstv::host
