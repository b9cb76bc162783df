#include "platform/host/detail/failures.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

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

struct CallAction {
  std::function<void()> action;
  unsigned after;
};

std::map<std::string, CallAction, std::less<>>& actions() {
  static std::map<std::string, CallAction, std::less<>> table;
  return table;
}

// Looked up on every platform call: hashed, and by the caller's text without a copy.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const {
    return std::hash<std::string_view>()(name);
  }
};

std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>>& calls() {
  static std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> table;
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
  actions().clear();
}

void onCall(const std::string& call, std::function<void()> action, unsigned after) {
  std::lock_guard guard(injectionsLock());
  actions()[call] = CallAction{std::move(action), after};
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

void runCallAction(const char* point) {
  std::function<void()> action;
  {
    std::lock_guard guard(injectionsLock());
    if (actions().empty()) return;
    auto found = actions().find(std::string_view(point));
    if (found == actions().end()) return;
    if (found->second.after > 0) {
      --found->second.after;
      return;
    }
    action = std::move(found->second.action);
    actions().erase(found);
  }
  action();  // without the lock: the action may call the platform
}

std::optional<DWORD> injectedFailure(const char* call) {
  runCallAction(call);
  std::lock_guard guard(injectionsLock());
  auto counted = calls().find(std::string_view(call));
  if (counted == calls().end())
    calls().emplace(call, 1);
  else
    ++counted->second;
  if (injections().empty()) return std::nullopt;
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
