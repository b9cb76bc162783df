// Sentinel keys and values for the registrar fuzzer: planted under every root and one
// level down before the fuzzer starts, checked byte for byte after each input. A script
// that deletes or changes what it never named (an empty key name deleting its parent, a
// cut name deleting a sibling) leaves a sentinel missing or different.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace kstv::fuzz {

struct Sentinel {
  HKEY root;
  std::string path;                // below the root; empty for a value on the root itself
  std::vector<std::string> names;  // every key name on the path, for the skip rule
  std::vector<std::int64_t> keys;  // identities of the key (or root) and its child
};

class RegistrySentinels {
 public:
  // Plants the sentinels (committed: each input's scratch scope then starts from them).
  RegistrySentinels();

  // Describes the first sentinel that is missing or changed, or returns an empty text.
  // A sentinel is not checked when `script` or its expansion contains the name of any
  // key on its path, case-insensitively: the script may then have named it itself.
  // Only sentinels among the `touched` keys (a scratch scope's log) can have changed;
  // those are compared byte for byte.
  bool anyTouched(const std::vector<std::int64_t>& touched) const;
  std::string firstDamaged(std::string_view script, std::string_view expansion,
                           const std::vector<std::int64_t>& touched) const;

 private:
  static bool touches(const Sentinel& sentinel, const std::vector<std::int64_t>& touched);
  static std::string damageOf(const Sentinel& sentinel);

  std::vector<Sentinel> sentinels_;
};

}  // namespace kstv::fuzz
