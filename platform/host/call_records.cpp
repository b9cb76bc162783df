#include "platform/host/detail/call_records.h"

#include <atomic>
#include <cstdio>
#include <mutex>

#include "platform/host/control.h"
#include "platform/host/detail/text.h"

namespace kstv::host {
namespace {

std::atomic<bool> recording{false};

struct Records {
  std::mutex lock;
  std::vector<RecordedCall> calls;
};

// Never destroyed: a thread may still make a recorded call while the process ends.
Records& records() {
  static Records* const all = new Records;
  return *all;
}

}  // namespace

void recordCalls(bool on) {
  std::lock_guard guard(records().lock);
  records().calls.clear();
  recording = on;
}

std::vector<RecordedCall> recordedCalls() {
  std::lock_guard guard(records().lock);
  return records().calls;
}

std::vector<RecordedCall> recordedCalls(const std::string& call) {
  std::vector<RecordedCall> found;
  for (RecordedCall& recorded : recordedCalls())
    if (recorded.call == call) found.push_back(std::move(recorded));
  return found;
}

namespace detail {

bool recordingCalls() { return recording.load(std::memory_order_relaxed); }

void recordCall(const char* call, std::vector<std::string> arguments) {
  if (!recordingCalls()) return;
  std::lock_guard guard(records().lock);
  records().calls.push_back(RecordedCall{call, std::move(arguments)});
}

std::string hexArgument(unsigned long long number) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", number);
  return text;
}

std::string pointerArgument(const void* pointer) {
  if (!pointer) return "null";
  char text[24];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

std::string textArgument(const char16_t* text) {
  return text ? wideToUtf8(std::u16string(text)) : "null";
}

}  // namespace detail
}  // namespace kstv::host
