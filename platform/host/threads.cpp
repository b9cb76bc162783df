// Threads and their message queues. A thread gets its queue with its first GetMessageA or
// PeekMessageA; until then, as on Windows, PostThreadMessageA to it fails.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/host/control.h"
#include "platform/host/failures.h"

namespace kstv::host {
namespace {

std::atomic<DWORD> nextThreadId{0x104};
thread_local const DWORD currentThreadId = nextThreadId.fetch_add(4);

struct MessageQueue {
  std::mutex lock;
  std::condition_variable posted;
  std::deque<MSG> messages;
};

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
    queue->posted.wait(guard);
  }
}

BOOL WINAPI PeekMessageA(LPMSG message, HWND, UINT filterMin, UINT filterMax, UINT remove) {
  auto queue = kstv::host::OwnQueue();
  std::lock_guard guard(queue->lock);
  for (auto it = queue->messages.begin(); it != queue->messages.end(); ++it) {
    if (!kstv::host::Matches(*it, filterMin, filterMax)) continue;
    if (message) *message = *it;
    if (remove & PM_REMOVE) queue->messages.erase(it);
    return TRUE;
  }
  return FALSE;
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
