// What the parts of -Status hand each other: the lines they add, and what each found.
#pragma once

#include <string>
#include <vector>

#include "service/Status.h"

namespace kstv {

// Adds "name: value". Text read from the registry or a device is shown as read, except
// that control characters become '?' and an overlong text is cut, so that a line stays
// one line.
void AddStatusLine(StatusReport& report, const std::string& name, const std::string& value);

// "unread (error 5)".
std::string UnreadText(DWORD code);

// One part of the registration as found.
struct RegistrationPart {
  enum class State { ThisProgram, Absent, Other, Unread };
  State state = State::Absent;
  std::string text;  // what it names when Other, or why it is Unread
};

enum class RegistrationKind { None, WithoutService, AsService, Half, Unknown };

struct RegistrationFindings {
  RegistrationKind kind = RegistrationKind::Unknown;
  std::string halfReason;  // for Half: the parts that do not fit
  bool stateRead = false;  // the service's state, for AsService
  DWORD state = 0;
  std::string stateText;
};

// The registration lines, from "AppID" to "Registration".
RegistrationFindings ReadRegistrationStatus(ServiceModule& module, StatusReport& report);

struct DriveFindings {
  std::vector<char> staleBadges;        // letters with a badge of this program, no card
  std::vector<char> cardsWithoutBadge;  // while the service runs
  std::vector<char> undetermined;       // the descriptor could not be read where it counts
  bool listUnread = false;              // the drives themselves could not be listed
};

// One line a drive, then one a letter without a drive that carries a badge. `monitoring`:
// the service runs, so that every card should have its badge.
DriveFindings ReadDriveStatus(ServiceModule& module, bool monitoring, StatusReport& report);

}  // namespace kstv
