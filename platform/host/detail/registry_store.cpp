#include "platform/host/detail/registry_store.h"

#include <chrono>

#include "platform/host/control.h"
#include "platform/host/detail/text.h"

namespace kstv::host::detail {
namespace {

// The predefined roots, in the order of their handle values 0x80000000 to 0x80000006.
// HKEY_CLASSES_ROOT is the machine's class registration, HKLM\SOFTWARE\Classes.
constexpr const char16_t* kRootNames[7] = {
    nullptr,         u"HKEY_CURRENT_USER",     u"HKEY_LOCAL_MACHINE",
    u"HKEY_USERS",   u"HKEY_PERFORMANCE_DATA", u"HKEY_CURRENT_CONFIG",
    u"HKEY_DYN_DATA"};

constexpr std::int64_t kUnixEpochAsFileTime = 116444736000000000LL;

}  // namespace

std::string foldedName(std::u16string_view name) {
  std::string folded;
  assignFoldedUtf8(name, folded);
  return folded;
}

std::int64_t fileTimeNow() {
  auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime +
         std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100;
}

FILETIME toFileTime(std::int64_t value) {
  return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFF), static_cast<DWORD>(value >> 32)};
}

RegistryStore& RegistryStore::instance() {
  static const std::unique_ptr<RegistryStore> store =
      machineDirectory().empty() ? makeMemoryRegistryStore() : makeSqliteRegistryStore();
  return *store;
}

void RegistryStore::createRoots() {
  MachineCall transaction(true);
  for (int i = 1; i < 7; ++i) {
    roots_[i] = findChild(0, kRootNames[i]).value_or(0);
    if (!roots_[i]) roots_[i] = addChild(0, kRootNames[i]);
  }
  KeyId software = findChild(roots_[2], u"SOFTWARE").value_or(0);
  if (!software) software = addChild(roots_[2], u"SOFTWARE");
  roots_[0] = findChild(software, u"Classes").value_or(0);
  if (!roots_[0]) roots_[0] = addChild(software, u"Classes");
  transaction.commit();
}

std::optional<KeyId> RegistryStore::predefinedKey(HKEY key) const {
  auto value = reinterpret_cast<ULONG_PTR>(key);
  if (value < 0x80000000UL || value > 0x80000006UL) return std::nullopt;
  return roots_[value - 0x80000000UL];
}

void RegistryStore::removeTree(KeyId key) {
  while (auto child = childNameAt(key, 0)) removeTree(*findChild(key, *child));
  removeKey(key);
}

void RegistryStore::clear() {
  MachineCall transaction(true);
  removeEverything();
  accessLimits_.clear();
  transaction.commit();
  createRoots();
}

}  // namespace kstv::host::detail
