#include "platform/host/detail/security_descriptions.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>

namespace kstv::host::detail {
namespace {

constexpr std::size_t kMaxSubAuthorities = 15;

// The SDDL aliases of the well-known SIDs that file descriptors name.
struct SidAlias {
  const char* alias;
  const char* sid;
};
constexpr SidAlias kSidAliases[] = {
    {"WD", "S-1-1-0"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},      {"OW", "S-1-3-4"},
    {"IU", "S-1-5-4"},      {"AN", "S-1-5-7"},      {"AU", "S-1-5-11"},     {"SY", "S-1-5-18"},
    {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"},
    {"BG", "S-1-5-32-546"}, {"PU", "S-1-5-32-547"}, {"AC", "S-1-15-2-1"},
};

struct Code {
  const char* letters;
  DWORD value;
};
constexpr Code kRights[] = {
    {"GA", GENERIC_ALL},
    {"GR", GENERIC_READ},
    {"GW", GENERIC_WRITE},
    {"GX", GENERIC_EXECUTE},
    {"RC", READ_CONTROL},
    {"SD", DELETE},
    {"WD", WRITE_DAC},
    {"WO", WRITE_OWNER},
    {"CC", 0x1},
    {"DC", 0x2},
    {"LC", 0x4},
    {"SW", 0x8},
    {"RP", 0x10},
    {"WP", 0x20},
    {"DT", 0x40},
    {"LO", 0x80},
    {"CR", 0x100},
    {"FA", FILE_ALL_ACCESS},
    {"FR", FILE_GENERIC_READ},
    {"FW", FILE_GENERIC_WRITE},
    {"FX", FILE_GENERIC_EXECUTE},
    {"KA", KEY_ALL_ACCESS},
    {"KR", KEY_READ},
    {"KW", KEY_WRITE},
    {"KX", KEY_READ},
};
constexpr Code kEntryFlags[] = {
    {"OI", OBJECT_INHERIT_ACE},
    {"CI", CONTAINER_INHERIT_ACE},
    {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},
    {"ID", INHERITED_ACE},
    {"SA", 0x40},
    {"FA", 0x80},
};

// Reads `text` as a run of two-letter codes of `table`, ORed together.
template <std::size_t N>
std::optional<DWORD> parseCodes(std::string_view text, const Code (&table)[N]) {
  if (text.size() % 2) return std::nullopt;
  DWORD value = 0;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const Code* found = nullptr;
    for (const Code& code : table)
      if (text.substr(i, 2) == code.letters) found = &code;
    if (!found) return std::nullopt;
    value |= found->value;
  }
  return value;
}

// A number as SDDL writes one: hexadecimal after "0x", decimal otherwise.
std::optional<unsigned long long> parseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 16) return std::nullopt;
  unsigned long long value = 0;
  for (char c : text) {
    int digit = std::isdigit(static_cast<unsigned char>(c))    ? c - '0'
                : std::isxdigit(static_cast<unsigned char>(c)) ? std::toupper(c) - 'A' + 10
                                                               : 99;
    if (digit >= base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

// The SID at the start of `text` (an alias, or "S-" and its digits and dashes), taken off.
std::optional<SidBytes> takeSid(std::string_view& text) {
  std::size_t length = 2;
  if (text.size() > 1 && text[0] == 'S' && text[1] == '-')
    while (length < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[length])) || text[length] == '-'))
      ++length;
  auto sid = parseSid(text.substr(0, length));
  text.remove_prefix(std::min(length, text.size()));
  return sid;
}

// One entry: "(type;flags;rights;object;inherited object;sid)".
std::optional<AccessEntry> parseEntry(std::string_view text) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find(';', start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return std::nullopt;
  AccessEntry entry;
  if (fields[0] == "A")
    entry.type = ACCESS_ALLOWED_ACE_TYPE;
  else if (fields[0] == "D")
    entry.type = ACCESS_DENIED_ACE_TYPE;
  else
    return std::nullopt;
  auto flags = parseCodes(fields[1], kEntryFlags);
  std::optional<unsigned long long> mask;
  if (!fields[2].empty() && std::isdigit(static_cast<unsigned char>(fields[2][0])))
    mask = parseNumber(fields[2]);
  else if (auto codes = parseCodes(fields[2], kRights))
    mask = *codes;
  auto sid = parseSid(fields[5]);
  if (!flags || !mask || *mask > 0xFFFFFFFFULL || !sid) return std::nullopt;
  entry.flags = static_cast<BYTE>(*flags);
  entry.mask = static_cast<ACCESS_MASK>(*mask);
  entry.sid = std::move(*sid);
  return entry;
}

// A list's flags and entries, up to the next part of the text, taken off.
bool takeList(std::string_view& text, SecurityDescription* description) {
  bool protectedList = false;
  bool nullList = false;
  while (!text.empty() && text[0] != '(' && (text.size() < 2 || text[1] != ':')) {
    if (text.substr(0, 17) == "NO_ACCESS_CONTROL") {
      nullList = true;
      text.remove_prefix(17);
    } else if (text[0] == 'P') {
      protectedList = true;
      text.remove_prefix(1);
    } else if (text.substr(0, 2) == "AI" || text.substr(0, 2) == "AR") {
      text.remove_prefix(2);
    } else {
      return false;
    }
  }
  std::vector<AccessEntry> entries;
  while (!text.empty() && text[0] == '(') {
    std::size_t end = text.find(')');
    if (end == std::string_view::npos) return false;
    auto entry = parseEntry(text.substr(1, end - 1));
    if (!entry) return false;
    entries.push_back(std::move(*entry));
    text.remove_prefix(end + 1);
  }
  if (nullList && !entries.empty()) return false;
  if (description) {
    description->daclPresent = !nullList;
    description->daclProtected = protectedList;
    description->dacl = std::move(entries);
  }
  return true;
}

const SidBytes& creatorOwner() {
  static const SidBytes sid = *parseSid("CO");
  return sid;
}

const SidBytes& creatorGroup() {
  static const SidBytes sid = *parseSid("CG");
  return sid;
}

bool needsMapping(const AccessEntry& entry) {
  return (entry.mask & (GENERIC_ALL | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) != 0 ||
         entry.sid == creatorOwner() || entry.sid == creatorGroup();
}

// The entry as it applies to a child with `owner` and `group`.
AccessEntry applied(const AccessEntry& entry, BYTE flags, const SecurityDescription& child) {
  AccessEntry result{entry.type, static_cast<BYTE>(flags | INHERITED_ACE), entry.mask, entry.sid};
  GENERIC_MAPPING files{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                        FILE_ALL_ACCESS};
  MapGenericMask(&result.mask, &files);
  if (entry.sid == creatorOwner()) result.sid = child.owner;
  if (entry.sid == creatorGroup()) result.sid = child.group;
  return result;
}

void append(std::vector<BYTE>& block, const void* bytes, std::size_t size) {
  const BYTE* begin = static_cast<const BYTE*>(bytes);
  block.insert(block.end(), begin, begin + size);
}

}  // namespace

std::optional<SidBytes> parseSid(std::string_view text) {
  for (const SidAlias& alias : kSidAliases)
    if (text == alias.alias) return parseSid(alias.sid);
  if (text.substr(0, 4) != "S-1-") return std::nullopt;
  text.remove_prefix(4);
  std::vector<unsigned long long> numbers;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find('-', start);
    auto number = parseNumber(text.substr(start, end - start));
    if (!number) return std::nullopt;
    numbers.push_back(*number);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  const unsigned long long authority = numbers[0];
  if (numbers.size() - 1 > kMaxSubAuthorities || authority >> 48) return std::nullopt;
  SidBytes sid{1, static_cast<BYTE>(numbers.size() - 1)};
  for (int shift = 40; shift >= 0; shift -= 8) sid.push_back(static_cast<BYTE>(authority >> shift));
  for (std::size_t i = 1; i < numbers.size(); ++i) {
    if (numbers[i] > 0xFFFFFFFFULL) return std::nullopt;
    const DWORD sub = static_cast<DWORD>(numbers[i]);
    append(sid, &sub, sizeof sub);
  }
  return sid;
}

std::optional<SecurityDescription> parseSddl(std::string_view text) {
  SecurityDescription description;
  while (!text.empty()) {
    if (text.size() < 2 || text[1] != ':') return std::nullopt;
    const char part = text[0];
    text.remove_prefix(2);
    if (part == 'O' || part == 'G') {
      auto sid = takeSid(text);
      if (!sid) return std::nullopt;
      (part == 'O' ? description.owner : description.group) = std::move(*sid);
    } else if (part == 'D' || part == 'S') {
      if (!takeList(text, part == 'D' ? &description : nullptr)) return std::nullopt;
    } else {
      return std::nullopt;
    }
  }
  return description;
}

SecurityDescription inheritedFrom(const SecurityDescription& parent, bool folder) {
  SecurityDescription child;
  child.owner = parent.owner;
  child.group = parent.group;
  child.daclPresent = parent.daclPresent;
  for (const AccessEntry& entry : parent.dacl) {
    const bool toFiles = entry.flags & OBJECT_INHERIT_ACE;
    const bool toFolders = entry.flags & CONTAINER_INHERIT_ACE;
    const bool stops = entry.flags & NO_PROPAGATE_INHERIT_ACE;
    if (!folder) {
      if (toFiles) child.dacl.push_back(applied(entry, 0, child));
      continue;
    }
    if (!toFolders) {
      // Passed on through the folder to the files below it, applying to neither.
      if (toFiles && !stops)
        child.dacl.push_back({entry.type, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE,
                              entry.mask, entry.sid});
      continue;
    }
    const BYTE passedOn =
        stops ? 0 : static_cast<BYTE>(entry.flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
    if (!needsMapping(entry)) {
      child.dacl.push_back(
          {entry.type, static_cast<BYTE>(passedOn | INHERITED_ACE), entry.mask, entry.sid});
      continue;
    }
    // As Windows does: one entry that applies, mapped, and one that passes the original on.
    child.dacl.push_back(applied(entry, 0, child));
    if (passedOn)
      child.dacl.push_back({entry.type,
                            static_cast<BYTE>(passedOn | INHERIT_ONLY_ACE | INHERITED_ACE),
                            entry.mask, entry.sid});
  }
  return child;
}

PSECURITY_DESCRIPTOR localDescriptor(const SecurityDescription& description,
                                     SECURITY_INFORMATION parts, PSID* owner, PSID* group,
                                     PACL* dacl, std::size_t* blockSize) {
  const bool withOwner = (parts & OWNER_SECURITY_INFORMATION) && !description.owner.empty();
  const bool withGroup = (parts & GROUP_SECURITY_INFORMATION) && !description.group.empty();
  const bool withList = (parts & DACL_SECURITY_INFORMATION) && description.daclPresent;
  std::vector<BYTE> list;
  if (withList) {
    ACL header{ACL_REVISION, 0, 0, static_cast<WORD>(description.dacl.size()), 0};
    append(list, &header, sizeof header);
    for (const AccessEntry& entry : description.dacl) {
      ACE_HEADER ace{
          entry.type, entry.flags,
          static_cast<WORD>(sizeof(ACE_HEADER) + sizeof(ACCESS_MASK) + entry.sid.size())};
      append(list, &ace, sizeof ace);
      append(list, &entry.mask, sizeof entry.mask);
      append(list, entry.sid.data(), entry.sid.size());
    }
    const WORD size = static_cast<WORD>(list.size());
    std::memcpy(list.data() + offsetof(ACL, AclSize), &size, sizeof size);
  }
  const std::size_t ownerAt = sizeof(SECURITY_DESCRIPTOR);
  const std::size_t groupAt = ownerAt + (withOwner ? description.owner.size() : 0);
  const std::size_t listAt = groupAt + (withGroup ? description.group.size() : 0);
  BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, listAt + list.size()));
  if (!block) return nullptr;
  if (blockSize) *blockSize = listAt + list.size();
  auto* descriptor = reinterpret_cast<SECURITY_DESCRIPTOR*>(block);
  descriptor->Revision = SECURITY_DESCRIPTOR_REVISION;
  if (withOwner) {
    std::memcpy(block + ownerAt, description.owner.data(), description.owner.size());
    descriptor->Owner = block + ownerAt;
  }
  if (withGroup) {
    std::memcpy(block + groupAt, description.group.data(), description.group.size());
    descriptor->Group = block + groupAt;
  }
  if (withList) {
    std::memcpy(block + listAt, list.data(), list.size());
    descriptor->Dacl = reinterpret_cast<PACL>(block + listAt);
    descriptor->Control |= SE_DACL_PRESENT;
  }
  if (description.daclProtected) descriptor->Control |= SE_DACL_PROTECTED;
  if (owner) *owner = descriptor->Owner;
  if (group) *group = descriptor->Group;
  if (dacl) *dacl = descriptor->Dacl;
  return descriptor;
}

}  // namespace kstv::host::detail
