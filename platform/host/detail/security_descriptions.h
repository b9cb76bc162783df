// Host build, internal: the security descriptors of files and folders as the host keeps
// them: read from SDDL as Windows writes it, passed on from a folder to what is made
// below it as Windows passes entries on, and handed out as Windows hands them out.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace kstv::host::detail {

using SidBytes = std::vector<BYTE>;

struct AccessEntry {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // or ACCESS_DENIED_ACE_TYPE
  BYTE flags = 0;                       // inheritance flags
  ACCESS_MASK mask = 0;
  SidBytes sid;
};

struct SecurityDescription {
  SidBytes owner;  // empty: none
  SidBytes group;
  bool daclPresent = false;  // no list at all lets everyone do everything
  bool daclProtected = false;
  std::vector<AccessEntry> dacl;
};

// A SID in its string form ("S-1-5-32-544") or as an SDDL alias ("BA").
std::optional<SidBytes> parseSid(std::string_view text);
// Owner ("O:"), group ("G:") and access list ("D:", with its flags P, AI, AR or
// NO_ACCESS_CONTROL, and allowing "A" or denying "D" entries whose rights are hexadecimal,
// decimal or two-letter codes); a system list ("S:") is read and left out. Nothing for
// text that is not such SDDL.
std::optional<SecurityDescription> parseSddl(std::string_view text);

// What a file (`folder` false) or a folder gets that is made below a folder described by
// `parent` and given no descriptor of its own: the parent's owner and group, and the
// entries the parent passes on. An entry that now applies has its generic rights mapped
// to the file rights and CREATOR OWNER or CREATOR GROUP replaced; a folder keeps passing
// entries on unless they say not to.
SecurityDescription inheritedFrom(const SecurityDescription& parent, bool folder);

// The parts of `description` that `parts` (OWNER_, GROUP_, DACL_SECURITY_INFORMATION) asks
// for, in one LocalAlloc block of `blockSize` bytes: the descriptor, then the SIDs and the
// list it points to. The outputs point into the block (null for a part not asked for, or
// absent). Null when the block cannot be had.
PSECURITY_DESCRIPTOR localDescriptor(const SecurityDescription& description,
                                     SECURITY_INFORMATION parts, PSID* owner, PSID* group,
                                     PACL* dacl, std::size_t* blockSize = nullptr);

}  // namespace kstv::host::detail
