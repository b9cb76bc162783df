// A service's optional configuration, as ChangeServiceConfig2A and QueryServiceConfig2A
// see it: the description, the failure actions and their flag, kept in the entry's key
// with the names and layouts Windows gives them.
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
  if (infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
      infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
    return Fail(ERROR_INVALID_PARAMETER);
  DWORD access = SERVICE_CHANGE_CONFIG;
  // Restarting the service is the caller's right to start it.
  if (infoLevel == SERVICE_CONFIG_FAILURE_ACTIONS && info &&
      RestartsService(*static_cast<SERVICE_FAILURE_ACTIONSA*>(info)))
    access |= SERVICE_START;
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
          default: {
            const DWORD flag =
                static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures
                    ? 1
                    : 0;
            store.setValue(key, kNonCrashFailures, REG_DWORD, reinterpret_cast<const BYTE*>(&flag),
                           sizeof flag);
          }
        }
      });
  return result == ERROR_SUCCESS ? TRUE : Fail(result);
}

BOOL WINAPI QueryServiceConfig2A(SC_HANDLE service, DWORD infoLevel, LPBYTE buffer,
                                 DWORD bufferSize, LPDWORD bytesNeeded) {
  using namespace kstv::host;
  if (auto code = detail::injectedFailure("QueryServiceConfig2A")) return Fail(*code);
  if (!bytesNeeded) return Fail(ERROR_INVALID_PARAMETER);
  if (infoLevel != SERVICE_CONFIG_DESCRIPTION && infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
      infoLevel != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG)
    return Fail(ERROR_INVALID_LEVEL);
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
          default:
            delivered = QueryNonCrashFailures(store, key, buffer, bufferSize, bytesNeeded);
        }
        if (!delivered) delivery = GetLastError();
      });
  if (result != ERROR_SUCCESS) return Fail(result);
  return delivered ? TRUE : Fail(delivery);
}
