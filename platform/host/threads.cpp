// Threads and their message queues. A thread gets its queue with its first GetMessageA or
// PeekMessageA; until then, as on Windows, PostThreadMessageA to it fails.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"

namespace kstv::host {
namespace {

std::atomic<DWORD> nextThreadId{0x104};
thread_local const DWORD currentThreadId = nextThreadId.fetch_add(4);

using Clock = std::chrono::steady_clock;

struct Timer {
  UINT_PTR id;
  Clock::duration period;
  Clock::time_point due;
};

struct MessageQueue {
  std::mutex lock;
  std::condition_variable posted;
  std::deque<MSG> messages;
  std::vector<Timer> timers;  // the thread's own
};

std::atomic<UINT_PTR> nextTimerId{1};

std::mutex queuesLock;
std::map<DWORD, std::shared_ptr<MessageQueue>>& queues() {
  static std::map<DWORD, std::shared_ptr<MessageQueue>> all;
  return all;
}

// The calling thread's queue, made on first use and gone with the thread.
std::shared_ptr<MessageQueue> OwnQueue() {
  struct Owner {
    std::shared_ptr<MessageQueue> queue;
    ~Owner() {
      if (!queue) return;
      std::lock_guard guard(queuesLock);
      queues().erase(currentThreadId);
    }
  };
  thread_local Owner owner;
  if (!owner.queue) {
    owner.queue = std::make_shared<MessageQueue>();
    std::lock_guard guard(queuesLock);
    queues()[currentThreadId] = owner.queue;
  }
  return owner.queue;
}

bool Matches(const MSG& message, UINT filterMin, UINT filterMax) {
  return (filterMin == 0 && filterMax == 0) || message.message == WM_QUIT ||
         (message.message >= filterMin && message.message <= filterMax);
}

// The first timer that is due, as its WM_TIMER, and due again one period later. The
// caller holds the queue's lock.
bool TakeDueTimer(MessageQueue& queue, UINT filterMin, UINT filterMax, bool remove, MSG& message) {
  if (!(filterMin == 0 && filterMax == 0) && (WM_TIMER < filterMin || WM_TIMER > filterMax))
    return false;
  auto now = Clock::now();
  for (Timer& timer : queue.timers) {
    if (timer.due > now) continue;
    message = MSG{nullptr, WM_TIMER, timer.id, 0, 0, {0, 0}};
    if (remove) timer.due = now + timer.period;
    return true;
  }
  return false;
}

std::optional<Clock::time_point> NextDue(const MessageQueue& queue) {
  std::optional<Clock::time_point> next;
  for (const Timer& timer : queue.timers)
    if (!next || timer.due < *next) next = timer.due;
  return next;
}

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

}  // namespace
}  // namespace kstv::host

DWORD WINAPI GetCurrentThreadId() { return kstv::host::currentThreadId; }
HANDLE WINAPI GetCurrentThread() { return kstv::host::kCurrentThread; }
HANDLE WINAPI GetCurrentProcess() { return kstv::host::kCurrentProcess; }

BOOL WINAPI GetMessageA(LPMSG message, HWND, UINT filterMin, UINT filterMax) {
  if (auto code = kstv::host::detail::injectedFailure("GetMessageA")) {
    SetLastError(*code);
    return -1;
  }
  if (!message) {
    SetLastError(ERROR_NOACCESS);
    return -1;
  }
  auto queue = kstv::host::OwnQueue();
  std::unique_lock guard(queue->lock);
  for (;;) {
    for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
      if (!kstv::host::Matches(*it, filterMin, filterMax)) continue;
      *message = *it;
      queue->messages.erase(it);
      return message->message == WM_QUIT ? 0 : 1;
    }
    if (kstv::host::TakeDueTimer(*queue, filterMin, filterMax, true, *message)) return 1;
    if (auto due = kstv::host::NextDue(*queue))
      queue->posted.wait_until(guard, *due);
    else
      queue->posted.wait(guard);
  }
}

BOOL WINAPI PeekMessageA(LPMSG message, HWND, UINT filterMin, UINT filterMax, UINT remove) {
  kstv::host::detail::runCallAction("PeekMessageA");
  auto queue = kstv::host::OwnQueue();
  std::lock_guard guard(queue->lock);
  for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
    if (!kstv::host::Matches(*it, filterMin, filterMax)) continue;
    if (message) *message = *it;
    if (remove & PM_REMOVE) queue->messages.erase(it);
    return TRUE;
  }
  MSG timer;
  if (!kstv::host::TakeDueTimer(*queue, filterMin, filterMax, remove & PM_REMOVE, timer))
    return FALSE;
  if (message) *message = timer;
  return TRUE;
}

BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }  // no keyboard messages here

LRESULT WINAPI DispatchMessageA(const MSG*) { return 0; }  // thread messages have no window

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  if (auto code = kstv::host::detail::injectedFailure("PostThreadMessageA")) {
    SetLastError(*code);
    return FALSE;
  }
  std::shared_ptr<kstv::host::MessageQueue> queue;
  {
    std::lock_guard guard(kstv::host::queuesLock);
    auto found = kstv::host::queues().find(threadId);
    if (found != kstv::host::queues().end()) queue = found->second;
  }
  if (!queue) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  {
    std::lock_guard guard(queue->lock);
    queue->messages.push_back(MSG{nullptr, message, wParam, lParam, 0, {0, 0}});
  }
  queue->posted.notify_all();
  return TRUE;
}

UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR, UINT milliseconds, TIMERPROC procedure) {
  using namespace kstv::host;
  if (window || procedure) {  // only thread timers that post their WM_TIMER
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (auto code = detail::injectedFailure("SetTimer")) {
    SetLastError(*code);
    return 0;
  }
  // As documented, below 10 ms (USER_TIMER_MINIMUM) counts as 10 ms.
  auto period = std::chrono::milliseconds(milliseconds < 10 ? 10 : milliseconds);
  auto queue = OwnQueue();
  std::lock_guard guard(queue->lock);
  UINT_PTR id = nextTimerId++;
  queue->timers.push_back(Timer{id, period, Clock::now() + period});
  return id;
}

BOOL WINAPI KillTimer(HWND window, UINT_PTR id) {
  using namespace kstv::host;
  auto queue = OwnQueue();
  std::lock_guard guard(queue->lock);
  for (auto it = queue->timers.begin(); it != queue->timers.end(); ++it) {
    if (window || it->id != id) continue;
    queue->timers.erase(it);
    return TRUE;
  }
  SetLastError(1402);  // ERROR_INVALID_TIMER_HANDLE
  return FALSE;
}

// A word of three states: free, held, and held with threads waiting for it.
namespace {
void* const kLockFree = nullptr;
void* const kLockHeld = reinterpret_cast<void*>(1);
void* const kLockContended = reinterpret_cast<void*>(2);
}  // namespace

void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) {
  kstv::host::detail::noteCallAfterFinalStop("AcquireSRWLockExclusive");
  std::atomic_ref<void*> word(lock->Ptr);
  void* expected = kLockFree;
  if (word.compare_exchange_strong(expected, kLockHeld, std::memory_order_acquire)) return;
  while (word.exchange(kLockContended, std::memory_order_acquire) != kLockFree)
    word.wait(kLockContended, std::memory_order_relaxed);
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock) {
  kstv::host::detail::noteCallAfterFinalStop("ReleaseSRWLockExclusive");
  std::atomic_ref<void*> word(lock->Ptr);
  if (word.exchange(kLockFree, std::memory_order_release) == kLockContended) word.notify_all();
}
