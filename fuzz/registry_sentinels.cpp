#include "fuzz/registry_sentinels.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/handles.h"
#include "platform/host/control.h"

namespace kstv::fuzz {
namespace {

struct Root {
  HKEY key;
  const char* name;
  std::vector<std::string> above;  // keys of another root that hold this one
};

// Every root that holds keys (the performance data root serves counters only).
// HKEY_CLASSES_ROOT is HKLM\SOFTWARE\Classes: a script that names those keys may
// remove it whole.
const Root kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKCR", {"Software", "Classes"}},
    {HKEY_CURRENT_USER, "HKCU", {}},
    {HKEY_LOCAL_MACHINE, "HKLM", {}},
    {HKEY_USERS, "HKU", {}},
    {HKEY_CURRENT_CONFIG, "HKCC", {}},
};

// First-level keys that scripts commonly name, per root, so that a sentinel one level
// down sits beside the keys a script touches.
std::vector<std::string> commonKeys(HKEY root) {
  if (root == HKEY_CLASSES_ROOT) return {"AppID", "CLSID", "TypeLib", "Interface"};
  if (root == HKEY_LOCAL_MACHINE || root == HKEY_CURRENT_USER) return {"Software"};
  return {};
}

// Names no generated script is likely to contain.
constexpr char kKeyName[] = "QzSentinelKey";
constexpr char kChildName[] = "QzSentinelChild";
constexpr char kValueName[] = "QzSentinelValue";
// A string with its NUL (ASCII, the same in every code page), and bytes that are no
// text, so that a changed type or a cut copy shows.
constexpr char kStringData[] = "sentinel 'data' {%}";
constexpr BYTE kBinaryData[] = {0x00, 0x5C, 0xFF, 0x25, 0x27, 0x7B};

[[noreturn]] void fail(const char* what, const std::string& where) {
  std::fprintf(stderr, "registry sentinels: %s %s\n", what, where.c_str());
  std::abort();
}

UniqueKey create(HKEY parent, const std::string& path) {
  UniqueKey key;
  if (RegCreateKeyExA(parent, path.empty() ? nullptr : path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    fail("cannot create", path);
  return key;
}

void plantValues(HKEY key, const std::string& where) {
  if (RegSetValueExA(key, kValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(kStringData),
                     sizeof kStringData) != ERROR_SUCCESS ||
      RegSetValueExA(key, nullptr, 0, REG_BINARY, kBinaryData, sizeof kBinaryData) != ERROR_SUCCESS)
    fail("cannot set the values of", where);
}

bool holds(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
  BYTE buffer[64];
  DWORD foundType = 0;
  DWORD foundSize = sizeof buffer;
  return RegQueryValueExA(key, name, nullptr, &foundType, buffer, &foundSize) == ERROR_SUCCESS &&
         foundType == type && foundSize == size && std::memcmp(buffer, data, size) == 0;
}

std::int64_t identityOf(HKEY root, const std::string& path) {
  auto identity = host::registryKeyIdentity(root, path.c_str());
  if (!identity) fail("cannot find", path);
  return *identity;
}

std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}

}  // namespace

RegistrySentinels::RegistrySentinels() {
  for (const Root& root : kRoots) {
    // A key of its own with values and a child, and one below each common first-level key.
    std::vector<std::string> parents = {""};
    for (const std::string& common : commonKeys(root.key)) parents.push_back(common);
    for (const std::string& parent : parents) {
      std::string path = parent.empty() ? kKeyName : parent + "\\" + kKeyName;
      UniqueKey key = create(root.key, path);
      plantValues(key.get(), path);
      UniqueKey child = create(key.get(), kChildName);
      plantValues(child.get(), path + "\\" + kChildName);
      std::vector<std::string> names = root.above;
      names.push_back(kKeyName);
      if (!parent.empty()) names.push_back(parent);
      sentinels_.push_back(
          {root.key,
           path,
           names,
           {identityOf(root.key, path), identityOf(root.key, path + "\\" + kChildName)}});
    }
    // A value on the root itself, which only a script naming it may change.
    UniqueKey self = create(root.key, "");
    if (RegSetValueExA(self.get(), kValueName, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(kStringData),
                       sizeof kStringData) != ERROR_SUCCESS)
      fail("cannot set the value of", root.name);
    std::vector<std::string> names = root.above;
    names.push_back(kValueName);
    sentinels_.push_back({root.key, "", names, {identityOf(root.key, "")}});
  }
}

std::string RegistrySentinels::firstDamaged(std::string_view script, std::string_view expansion,
                                            const std::vector<std::int64_t>& touched) const {
  const std::string text = lowered(script) + '\n' + lowered(expansion);
  for (const Sentinel& sentinel : sentinels_) {
    if (!touches(sentinel, touched)) continue;
    bool named = std::any_of(
        sentinel.names.begin(), sentinel.names.end(),
        [&](const std::string& name) { return text.find(lowered(name)) != std::string::npos; });
    if (named) continue;
    if (std::string damage = damageOf(sentinel); !damage.empty()) return damage;
  }
  return std::string();
}

bool RegistrySentinels::touches(const Sentinel& sentinel,
                                const std::vector<std::int64_t>& touched) {
  return std::any_of(sentinel.keys.begin(), sentinel.keys.end(), [&](std::int64_t key) {
    return std::find(touched.begin(), touched.end(), key) != touched.end();
  });
}

bool RegistrySentinels::anyTouched(const std::vector<std::int64_t>& touched) const {
  return std::any_of(sentinels_.begin(), sentinels_.end(),
                     [&](const Sentinel& sentinel) { return touches(sentinel, touched); });
}

std::string RegistrySentinels::damageOf(const Sentinel& sentinel) {
  if (sentinel.path.empty()) {
    if (!holds(sentinel.root, kValueName, REG_SZ, kStringData, sizeof kStringData))
      return "value on the root changed";
    return std::string();
  }
  const std::string& where = sentinel.path;
  UniqueKey key;
  if (RegOpenKeyExA(sentinel.root, where.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return "key gone: " + where;
  if (!holds(key.get(), kValueName, REG_SZ, kStringData, sizeof kStringData) ||
      !holds(key.get(), nullptr, REG_BINARY, kBinaryData, sizeof kBinaryData))
    return "values changed: " + where;
  DWORD subKeys = 0, values = 0;
  if (RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subKeys != 1 || values != 2)
    return "keys or values added or removed: " + where;
  UniqueKey child;
  if (RegOpenKeyExA(key.get(), kChildName, 0, KEY_READ, child.put()) != ERROR_SUCCESS)
    return "child gone: " + where;
  if (!holds(child.get(), kValueName, REG_SZ, kStringData, sizeof kStringData) ||
      !holds(child.get(), nullptr, REG_BINARY, kBinaryData, sizeof kBinaryData))
    return "child's values changed: " + where;
  if (RegQueryInfoKeyA(child.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
      subKeys != 0 || values != 2)
    return "keys or values added to or removed from the child: " + where;
  return std::string();
}

}  // namespace kstv::fuzz
