// A service's configuration, as ChangeServiceConfigA and QueryServiceConfigA see it (type,
// start type, error control, image path, group, dependencies, account, display name), and
// its optional configuration, as ChangeServiceConfig2A and QueryServiceConfig2A see it (the
// description, the failure actions and their flag, the service SID's type and the required
// privileges), kept in the entry's key with the names and layouts Windows gives them.
#include <cstring>
#include <string>
#include <vector>

#include "platform/host/detail/failures.h"
#include "platform/host/detail/service_state.h"

namespace kstv::host {
namespace {

using detail::KeyId;
using detail::RegistryStore;

constexpr const char16_t* kDescription = u"Description";
constexpr const char16_t* kFailureActions = u"FailureActions";
constexpr const char16_t* kRebootMessage = u"RebootMessage";
constexpr const char16_t* kFailureCommand = u"FailureCommand";
constexpr const char16_t* kNonCrashFailures = u"FailureActionsOnNonCrashFailures";
constexpr const char16_t* kServiceSidType = u"ServiceSidType";
constexpr const char16_t* kRequiredPrivileges = u"RequiredPrivileges";

// FailureActions: the reset period, two empty pointer fields, the count of actions and
// the offset of the first, then each action's type and delay, all 32-bit.
constexpr DWORD kFailureActionsHeader = 5 * sizeof(DWORD);

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// A text value without its NUL; empty when absent.
std::string Text(RegistryStore& store, KeyId key, const char16_t* name) {
  auto value = store.findValue(key, name);
  if (!value) return "";
  std::string text(value->data.begin(), value->data.end());
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Sets a text value, removes it for an empty text, leaves it for none.
void SetText(RegistryStore& store, KeyId key, const char16_t* name, const char* text) {
  if (!text) return;
  if (!*text) {
    store.removeValue(key, name);
    return;
  }
  store.setValue(key, name, REG_SZ, reinterpret_cast<const BYTE*>(text),
                 static_cast<DWORD>(std::strlen(text) + 1));
}

std::vector<DWORD> Words(RegistryStore& store, KeyId key, const char16_t* name) {
  auto value = store.findValue(key, name);
  std::vector<DWORD> words;
  if (!value) return words;
  words.resize(value->data.size() / sizeof(DWORD));
  std::memcpy(words.data(), value->data.data(), words.size() * sizeof(DWORD));
  return words;
}

// A list of names, each ending in a NUL, ended by an empty name; its bytes with both NULs.
std::string ListBytes(const char* list) {
  std::string bytes;
  for (const char* name = list; *name; name += std::strlen(name) + 1)
    bytes.append(name).push_back('\0');
  bytes.push_back('\0');
  return bytes;
}

void SetFailureActions(RegistryStore& store, KeyId key, const SERVICE_FAILURE_ACTIONSA& info) {
  SetText(store, key, kRebootMessage, info.lpRebootMsg);
  SetText(store, key, kFailureCommand, info.lpCommand);
  // Without an array the count and the reset period are not looked at; an empty one
  // takes the actions away.
  if (!info.lpsaActions) return;
  if (info.cActions == 0) {
    store.removeValue(key, kFailureActions);
    return;
  }
  std::vector<DWORD> words = {info.dwResetPeriod, 0, 0, info.cActions, kFailureActionsHeader};
  for (DWORD i = 0; i < info.cActions; ++i) {
    words.push_back(static_cast<DWORD>(info.lpsaActions[i].Type));
    words.push_back(info.lpsaActions[i].Delay);
  }
  store.setValue(key, kFailureActions, REG_BINARY, reinterpret_cast<const BYTE*>(words.data()),
                 static_cast<DWORD>(words.size() * sizeof(DWORD)));
}

// Sets the list of privileges, removes it for an empty list, leaves it for none.
void SetRequiredPrivileges(RegistryStore& store, KeyId key,
                           const SERVICE_REQUIRED_PRIVILEGES_INFOA& info) {
  if (!info.pmszRequiredPrivileges) return;
  if (!*info.pmszRequiredPrivileges) {
    store.removeValue(key, kRequiredPrivileges);
    return;
  }
  const std::string list = ListBytes(info.pmszRequiredPrivileges);
  store.setValue(key, kRequiredPrivileges, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                 static_cast<DWORD>(list.size()));
}

bool ValidSidType(DWORD type) {
  return type == SERVICE_SID_TYPE_NONE || type == SERVICE_SID_TYPE_UNRESTRICTED ||
         type == SERVICE_SID_TYPE_RESTRICTED;
}

// Lays a structure out in the caller's buffer, followed by what its pointers point to.
class Layout {
 public:
  explicit Layout(std::size_t fixed) : bytes_(fixed, 0) {}
  // Appends bytes and gives their offset from the buffer's start.
  std::size_t append(const void* data, std::size_t size) {
    const std::size_t offset = bytes_.size();
    bytes_.resize(offset + size);
    std::memcpy(bytes_.data() + offset, data, size);
    return offset;
  }
  std::size_t appendText(const std::string& text) { return append(text.c_str(), text.size() + 1); }
  BYTE* fixed() { return bytes_.data(); }
  // Copies the layout to `buffer`, its pointers made absolute by `relocate`.
  template <typename Relocate>
  BOOL deliver(LPBYTE buffer, DWORD size, LPDWORD needed, Relocate relocate) {
    *needed = static_cast<DWORD>(bytes_.size());
    if (!buffer || size < bytes_.size()) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, bytes_.data(), bytes_.size());
    relocate(buffer);
    return TRUE;
  }

 private:
  std::vector<BYTE> bytes_;
};

BOOL QueryDescription(RegistryStore& store, KeyId key, LPBYTE buffer, DWORD size, LPDWORD needed) {
  const std::string text = Text(store, key, kDescription);
  Layout layout(sizeof(SERVICE_DESCRIPTIONA));
  const std::size_t offset = text.empty() ? 0 : layout.appendText(text);
  return layout.deliver(buffer, size, needed, [&](LPBYTE out) {
    auto* info = reinterpret_cast<SERVICE_DESCRIPTIONA*>(out);
    info->lpDescription = offset ? reinterpret_cast<LPSTR>(out + offset) : nullptr;
  });
}

BOOL QueryFailureActions(RegistryStore& store, KeyId key, LPBYTE buffer, DWORD size,
                         LPDWORD needed) {
  const std::vector<DWORD> words = Words(store, key, kFailureActions);
  const DWORD count = words.size() >= 5 ? words[3] : 0;
  Layout layout(sizeof(SERVICE_FAILURE_ACTIONSA));
  std::size_t actions = 0;
  if (count > 0 && words.size() >= 5 + 2 * static_cast<std::size_t>(count)) {
    std::vector<SC_ACTION> list(count);
    for (DWORD i = 0; i < count; ++i)
      list[i] = SC_ACTION{static_cast<SC_ACTION_TYPE>(words[5 + 2 * i]), words[6 + 2 * i]};
    actions = layout.append(list.data(), list.size() * sizeof(SC_ACTION));
  }
  const std::string rebootMessage = Text(store, key, kRebootMessage);
  const std::string command = Text(store, key, kFailureCommand);
  const std::size_t rebootOffset = rebootMessage.empty() ? 0 : layout.appendText(rebootMessage);
  const std::size_t commandOffset = command.empty() ? 0 : layout.appendText(command);
  return layout.deliver(buffer, size, needed, [&](LPBYTE out) {
    auto* info = reinterpret_cast<SERVICE_FAILURE_ACTIONSA*>(out);
    info->dwResetPeriod = actions ? words[0] : 0;
    info->cActions = actions ? count : 0;
    info->lpsaActions = actions ? reinterpret_cast<SC_ACTION*>(out + actions) : nullptr;
    info->lpRebootMsg = rebootOffset ? reinterpret_cast<LPSTR>(out + rebootOffset) : nullptr;
    info->lpCommand = commandOffset ? reinterpret_cast<LPSTR>(out + commandOffset) : nullptr;
  });
}

BOOL QueryNonCrashFailures(RegistryStore& store, KeyId key, LPBYTE buffer, DWORD size,
                           LPDWORD needed) {
  const std::vector<DWORD> words = Words(store, key, kNonCrashFailures);
  Layout layout(sizeof(SERVICE_FAILURE_ACTIONS_FLAG));
  return layout.deliver(buffer, size, needed, [&](LPBYTE out) {
    reinterpret_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(out)->fFailureActionsOnNonCrashFailures =
        !words.empty() && words[0] != 0;
  });
}

BOOL QuerySidType(RegistryStore& store, KeyId key, LPBYTE buffer, DWORD size, LPDWORD needed) {
  const std::vector<DWORD> words = Words(store, key, kServiceSidType);
  Layout layout(sizeof(SERVICE_SID_INFO));
  return layout.deliver(buffer, size, needed, [&](LPBYTE out) {
    reinterpret_cast<SERVICE_SID_INFO*>(out)->dwServiceSidType =
        words.empty() ? SERVICE_SID_TYPE_NONE : words[0];
  });
}

BOOL QueryRequiredPrivileges(RegistryStore& store, KeyId key, LPBYTE buffer, DWORD size,
                             LPDWORD needed) {
  auto value = store.findValue(key, kRequiredPrivileges);
  std::string stored = value ? std::string(value->data.begin(), value->data.end()) : "";
  stored.append(2, '\0');  // a list stored without its closing NULs still ends
  const std::string list = ListBytes(stored.c_str());
  Layout layout(sizeof(SERVICE_REQUIRED_PRIVILEGES_INFOA));
  const std::size_t offset = list.size() > 1 ? layout.append(list.data(), list.size()) : 0;
  return layout.deliver(buffer, size, needed, [&](LPBYTE out) {
    reinterpret_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(out)->pmszRequiredPrivileges =
        offset ? reinterpret_cast<LPSTR>(out + offset) : nullptr;
  });
}

bool KnownLevel(DWORD level) {
  return level == SERVICE_CONFIG_DESCRIPTION || level == SERVICE_CONFIG_FAILURE_ACTIONS ||
         level == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG || level == SERVICE_CONFIG_SERVICE_SID_INFO ||
         level == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO;
}

// The entry's values for QueryServiceConfigA and ChangeServiceConfigA.
constexpr const char16_t* kType = u"Type";
constexpr const char16_t* kStart = u"Start";
constexpr const char16_t* kErrorControl = u"ErrorControl";
constexpr const char16_t* kImagePath = u"ImagePath";
constexpr const char16_t* kGroup = u"Group";
constexpr const char16_t* kDependencies = u"DependOnService";
constexpr const char16_t* kAccount = u"ObjectName";
constexpr const char16_t* kDisplayName = u"DisplayName";

DWORD Number(RegistryStore& store, KeyId key, const char16_t* name) {
  const std::vector<DWORD> words = Words(store, key, name);
  return words.empty() ? 0 : words[0];
}

void SetNumber(RegistryStore& store, KeyId key, const char16_t* name, DWORD number) {
  store.setValue(key, name, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
}

// The entry's dependencies as QueryServiceConfigA gives them: each name and its NUL, then
// an empty name; none gives an empty list (two NULs, so that a reader that walks to the
// empty name stops within it).
std::string DependencyList(RegistryStore& store, KeyId key) {
  auto value = store.findValue(key, kDependencies);
  std::string stored = value ? std::string(value->data.begin(), value->data.end()) : "";
  stored.append(2, '\0');
  std::string list = ListBytes(stored.c_str());
  if (list.size() == 1) list.push_back('\0');
  return list;
}

bool IsDriver(DWORD type) {
  return type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
}

// The documented values: own or shared process (either may interact with the desktop) or
// a driver; a start type up to disabled, boot and system start for drivers only; an error
// control up to critical.
bool ValidChange(DWORD type, DWORD startType, DWORD errorControl, DWORD currentType,
                 LPDWORD tagId) {
  const DWORD processType = type & ~SERVICE_INTERACTIVE_PROCESS;
  if (type != SERVICE_NO_CHANGE && !IsDriver(type) && processType != SERVICE_WIN32_OWN_PROCESS &&
      processType != SERVICE_WIN32_SHARE_PROCESS)
    return false;
  const DWORD resultingType = type == SERVICE_NO_CHANGE ? currentType : type;
  if (startType != SERVICE_NO_CHANGE &&
      (startType > SERVICE_DISABLED ||
       (startType <= SERVICE_SYSTEM_START && !IsDriver(resultingType))))
    return false;
  if (errorControl != SERVICE_NO_CHANGE && errorControl > SERVICE_ERROR_CRITICAL) return false;
  // Only a driver has a tag.
  return !tagId || IsDriver(resultingType);
}

bool RestartsService(const SERVICE_FAILURE_ACTIONSA& info) {
  for (DWORD i = 0; info.lpsaActions && i < info.cActions; ++i)
    if (info.lpsaActions[i].Type == SC_ACTION_RESTART) return true;
  return false;
}

}  // namespace
}  // namespace kstv::host

BOOL WINAPI ChangeServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPVOID info) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("ChangeServiceConfig2A")) return Fail(*code);
  // As documented: a level this manager does not take is an invalid parameter.
  if (!KnownLevel(infoLevel)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD access = SERVICE_CHANGE_CONFIG;
  // Restarting the service is the caller's right to start it.
  if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS && info &&
      RestartsService(*static_cast<SERVICE_FAILURE_ACTIONSA*>(info)))
    access |= SERVICE_START;
  DWORD refusal = ERROR_SUCCESS;
  const DWORD result = detail::useServiceEntry(
      service, access, detail::EntryUse::Change, [&](RegistryStore& store, KeyId key) {
        if (!info) return;
        switch (infoLevel) {
          case SERVICE_CONFIG_DESCRIPTION:
            SetText(store, key, kDescription,
                    static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription);
            break;
          case SERVICE_CONFIG_FAILURE_ACTIONS:
            SetFailureActions(store, key, *static_cast<SERVICE_FAILURE_ACTIONSA*>(info));
            break;
          case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG:
            SetNumber(
                store, key, kNonCrashFailures,
                static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures
                    ? 1
                    : 0);
            break;
          case SERVICE_CONFIG_SERVICE_SID_INFO: {
            const DWORD type = static_cast<SERVICE_SID_INFO*>(info)->dwServiceSidType;
            if (!ValidSidType(type)) {
              refusal = ERROR_INVALID_PARAMETER;
              return;
            }
            SetNumber(store, key, kServiceSidType, type);
            break;
          }
          default:
            SetRequiredPrivileges(store, key,
                                  *static_cast<SERVICE_REQUIRED_PRIVILEGES_INFOA*>(info));
        }
      });
  if (result != ERROR_SUCCESS) return Fail(result);
  return refusal == ERROR_SUCCESS ? TRUE : Fail(refusal);
}

BOOL WINAPI QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer,
                                 DWORD bufferSize, LPDWORD bytesNeeded) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("QueryServiceConfig2A")) return Fail(*code);
  if (!bytesNeeded) return Fail(ERROR_INVALID_PARAMETER);
  if (!KnownLevel(infoLevel)) return Fail(ERROR_INVALID_LEVEL);
  BOOL delivered = FALSE;
  DWORD delivery = ERROR_SUCCESS;
  const DWORD result = detail::useServiceEntry(
      service, SERVICE_QUERY_CONFIG, detail::EntryUse::Read, [&](RegistryStore& store, KeyId key) {
        switch (infoLevel) {
          case SERVICE_CONFIG_DESCRIPTION:
            delivered = QueryDescription(store, key, buffer, bufferSize, bytesNeeded);
            break;
          case SERVICE_CONFIG_FAILURE_ACTIONS:
            delivered = QueryFailureActions(store, key, buffer, bufferSize, bytesNeeded);
            break;
          case SERVICE_CONFIG_FAILURE_ACTIONS_FLAG:
            delivered = QueryNonCrashFailures(store, key, buffer, bufferSize, bytesNeeded);
            break;
          case SERVICE_CONFIG_SERVICE_SID_INFO:
            delivered = QuerySidType(store, key, buffer, bufferSize, bytesNeeded);
            break;
          default:
            delivered = QueryRequiredPrivileges(store, key, buffer, bufferSize, bytesNeeded);
        }
        if (!delivered) delivery = GetLastError();
      });
  if (result != ERROR_SUCCESS) return Fail(result);
  return delivered ? TRUE : Fail(delivery);
}

BOOL WINAPI QueryServiceConfigA(SC_HANDLE service, LPQUERY_SERVICE_CONFIGA config, DWORD bufferSize,
                                LPDWORD bytesNeeded) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("QueryServiceConfigA")) return Fail(*code);
  if (!bytesNeeded) return Fail(ERROR_INVALID_PARAMETER);
  BOOL delivered = FALSE;
  const DWORD result = detail::useServiceEntry(
      service, SERVICE_QUERY_CONFIG, detail::EntryUse::Read, [&](RegistryStore& store, KeyId key) {
        Layout layout(sizeof(QUERY_SERVICE_CONFIGA));
        const std::size_t path = layout.appendText(Text(store, key, kImagePath));
        const std::size_t group = layout.appendText(Text(store, key, kGroup));
        const std::string dependencies = DependencyList(store, key);
        const std::size_t dependencyList = layout.append(dependencies.data(), dependencies.size());
        const std::size_t account = layout.appendText(Text(store, key, kAccount));
        const std::size_t display = layout.appendText(Text(store, key, kDisplayName));
        QUERY_SERVICE_CONFIGA* fixed = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(layout.fixed());
        fixed->dwServiceType = Number(store, key, kType);
        fixed->dwStartType = Number(store, key, kStart);
        fixed->dwErrorControl = Number(store, key, kErrorControl);
        fixed->dwTagId = 0;
        delivered = layout.deliver(
            reinterpret_cast<LPBYTE>(config), bufferSize, bytesNeeded, [&](LPBYTE out) {
              auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(out);
              info->lpBinaryPathName = reinterpret_cast<LPSTR>(out + path);
              info->lpLoadOrderGroup = reinterpret_cast<LPSTR>(out + group);
              info->lpDependencies = reinterpret_cast<LPSTR>(out + dependencyList);
              info->lpServiceStartName = reinterpret_cast<LPSTR>(out + account);
              info->lpDisplayName = reinterpret_cast<LPSTR>(out + display);
            });
      });
  if (result != ERROR_SUCCESS) return Fail(result);
  return delivered;
}

BOOL WINAPI ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType,
                                 DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                                 LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                                 LPCSTR, LPCSTR displayName) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("ChangeServiceConfigA")) return Fail(*code);
  const std::optional<std::string> name = detail::serviceNameOf(service);
  DWORD refusal = ERROR_SUCCESS;
  const DWORD result = detail::useServiceEntry(
      service, SERVICE_CHANGE_CONFIG, detail::EntryUse::Change,
      [&](RegistryStore& store, KeyId key) {
        if (!ValidChange(serviceType, startType, errorControl, Number(store, key, kType), tagId) ||
            (binaryPathName && !*binaryPathName)) {
          refusal = ERROR_INVALID_PARAMETER;
          return;
        }
        if (displayName && *displayName && detail::displayNameTaken(displayName, *name)) {
          refusal = ERROR_DUPLICATE_SERVICE_NAME;
          return;
        }
        if (serviceType != SERVICE_NO_CHANGE) SetNumber(store, key, kType, serviceType);
        if (startType != SERVICE_NO_CHANGE) SetNumber(store, key, kStart, startType);
        if (errorControl != SERVICE_NO_CHANGE) SetNumber(store, key, kErrorControl, errorControl);
        if (binaryPathName) SetText(store, key, kImagePath, binaryPathName);
        SetText(store, key, kGroup, loadOrderGroup);
        if (dependencies && !*dependencies) store.removeValue(key, kDependencies);
        if (dependencies && *dependencies) {
          const std::string list = ListBytes(dependencies);
          store.setValue(key, kDependencies, REG_MULTI_SZ,
                         reinterpret_cast<const BYTE*>(list.data()),
                         static_cast<DWORD>(list.size()));
        }
        if (serviceStartName && *serviceStartName) SetText(store, key, kAccount, serviceStartName);
        if (displayName && *displayName) SetText(store, key, kDisplayName, displayName);
      });
  if (result != ERROR_SUCCESS) return Fail(result);
  return refusal == ERROR_SUCCESS ? TRUE : Fail(refusal);
}
