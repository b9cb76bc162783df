#include "service/EventSource.h"

#include <cstdio>
#include <cstring>

#include "module/ProgramFile.h"
#include "platform/text16.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

constexpr char kApplicationLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr char kMessageFileName[] = "KstvCardReaderMessages.dll";
constexpr char kMessageFileValue[] = "EventMessageFile";
constexpr char kTypesSupportedValue[] = "TypesSupported";
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// The message file beside the program; false when the program's folder cannot be named
// or the path does not fit.
bool MessageFilePath(char (&path)[MAX_PATH]) {
  char folder[MAX_PATH];
  if (ProgramFolder(folder) != ERROR_SUCCESS) return false;
  const int length = std::snprintf(path, sizeof path, "%s%s", folder, kMessageFileName);
  return length > 0 && length < static_cast<int>(sizeof path);
}

bool IsFile(const char* path) {
  const DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether the source key at `keyPath` names `messageFile` as its message file.
bool NamesMessageFile(const char* keyPath, const char* messageFile) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, kKeyRead, &opened) != ERROR_SUCCESS)
    return false;
  RegistryKey source;
  source.attach(opened);
  char named[MAX_PATH];
  DWORD size = sizeof named;
  return source.queryString(named, kMessageFileValue, &size) == ERROR_SUCCESS &&
         SameFileName(named, messageFile);
}

}  // namespace

void EventSourceKeyPath(const ServiceModule& module, char (&path)[kEventSourceKeyPathCapacity]) {
  std::snprintf(path, sizeof path, "%s\\%s", kApplicationLogKey, module.serviceName);
}

DWORD AddEventSource(ServiceModule& module, bool& written) {
  written = false;
  char messageFile[MAX_PATH];
  if (!MessageFilePath(messageFile) || !IsFile(messageFile)) return ERROR_SUCCESS;
  char keyPath[kEventSourceKeyPathCapacity];
  EventSourceKeyPath(module, keyPath);
  RegistryKey source;
  LONG result = source.create(HKEY_LOCAL_MACHINE, keyPath, nullptr, REG_OPTION_NON_VOLATILE,
                              kKeyWrite, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  written = true;
  result = RegSetValueExA(source.handle(), kMessageFileValue, 0, REG_EXPAND_SZ,
                          reinterpret_cast<const BYTE*>(messageFile),
                          static_cast<DWORD>(std::strlen(messageFile) + 1));
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  const DWORD types = kTypesSupported;
  result = RegSetValueExA(source.handle(), kTypesSupportedValue, 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&types), sizeof types);
  return static_cast<DWORD>(result);
}

DWORD RemoveEventSource(ServiceModule& module) {
  char messageFile[MAX_PATH];
  char keyPath[kEventSourceKeyPathCapacity];
  EventSourceKeyPath(module, keyPath);
  if (!MessageFilePath(messageFile) || !NamesMessageFile(keyPath, messageFile))
    return ERROR_SUCCESS;
  HKEY opened = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplicationLogKey, 0, kKeyAllAccess, &opened);
  if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
  RegistryKey log;
  log.attach(opened);
  result = RegistryKey::deleteTree(log, module.serviceName);
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(result);
}

}  // namespace kstv
