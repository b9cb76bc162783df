// KstvCardReader -Status: a health check that an administrator or a fleet's management
// tools can run anywhere. It reads the registration, the service, the debug log's settings
// and every drive's card and badge as the program itself understands them, and changes
// nothing: no registry write, no service control, no log opened, no badge touched, no
// monitor claimed.
#pragma once

#include <string>
#include <vector>

#include "module/ServiceModule.h"

namespace kstv {

// The exit code: 0 for a consistent machine, otherwise the first of these found, in this
// order.
enum StatusCode : int {
  kStatusConsistent = 0,
  kStatusHalfRegistration = 1,   // some entries without the others, or naming another path
  kStatusServiceNotRunning = 2,  // registered as a service, not running
  kStatusStaleBadge = 3,         // a badge of this program on a letter without a card
  kStatusCardWithoutBadge = 4,   // a card without its badge while the service runs
  kStatusNotRegistered = 5,      // nothing of the registration at all
  kStatusNotAllRead = 6,         // something the verdict needs could not be read
};

struct StatusReport {
  // "name: value" lines in their fixed order, the verdict last.
  std::vector<std::string> lines;
  int exitCode = kStatusConsistent;
};

// Reads the machine. Whatever cannot be read is said in its line ("unread (error 5)").
StatusReport ReadStatus(ServiceModule& module);

// Writes the lines (CR LF after each) where the one who started the program sees them:
// to standard output when it is a file or a pipe, else to the console of the process that
// started it, if it has one.
void WriteStatus(const StatusReport& report);

// The -Status road: reads, writes, and gives the exit code.
int ShowStatus(ServiceModule& module);

}  // namespace kstv
