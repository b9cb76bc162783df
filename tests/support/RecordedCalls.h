// The arguments of the calls the host layer recorded, in a form GoogleTest prints.
#pragma once

#include <string>
#include <vector>

#include "platform/host/control.h"

namespace kstv::test {

using ArgumentLists = std::vector<std::vector<std::string>>;

// The argument lists of every recorded call of that name, in order.
inline ArgumentLists argumentsOf(const std::string& call) {
  ArgumentLists lists;
  for (host::RecordedCall& recorded : host::recordedCalls(call))
    lists.push_back(std::move(recorded.arguments));
  return lists;
}

// Starts recording for one test and stops it at the end.
class RecordingCalls {
 public:
  RecordingCalls() { host::recordCalls(true); }
  ~RecordingCalls() { host::recordCalls(false); }
  RecordingCalls(const RecordingCalls&) = delete;
  RecordingCalls& operator=(const RecordingCalls&) = delete;
};

}  // namespace kstv::test
