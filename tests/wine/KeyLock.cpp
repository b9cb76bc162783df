// Windows build, for the Wine scenarios: makes a key below HKEY_CLASSES_ROOT that everyone
// may read and nobody may write (lock), and removes it again (unlock), so that a scenario
// can make a registration step fail the way a key without rights does.
// Usage: kstv_wine_keylock.exe lock KEY          (KEY below HKEY_CLASSES_ROOT; made if missing)
//        kstv_wine_keylock.exe unlock KEY [TOP]  (gives KEY its rights back, then deletes TOP,
//                                                 a key on KEY's path, or KEY, with its subtree)
// Exit code 0 on success, else the Win32 code of the step that failed.
#include <cstring>

#include "platform/handles.h"
#include "platform/win32.h"

// After windows.h, which it needs.
#include <sddl.h>

namespace {

// Protected from inheritance; read access for everyone, nothing else.
constexpr char kReadOnly[] = "D:P(A;;KR;;;WD)";
// What the owner may always do: take the key's rights back, and then delete it.
constexpr char kFullControl[] = "D:P(A;;KA;;;WD)";

LONG SetRights(HKEY key, const char* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr))
    return static_cast<LONG>(GetLastError());
  const LONG result = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
  LocalFree(descriptor);
  return result;
}

LONG Lock(const char* path) {
  kstv::UniqueKey key;
  LONG result = RegCreateKeyExA(HKEY_CLASSES_ROOT, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                key.put(), nullptr);
  return result != ERROR_SUCCESS ? result : SetRights(key.get(), kReadOnly);
}

LONG Unlock(const char* path, const char* top) {
  kstv::UniqueKey key;
  LONG result = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, WRITE_DAC, key.put());
  if (result == ERROR_SUCCESS) result = SetRights(key.get(), kFullControl);
  key.reset();
  if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) return result;
  result = RegDeleteTreeA(HKEY_CLASSES_ROOT, top);
  if (result == ERROR_SUCCESS) result = RegDeleteKeyA(HKEY_CLASSES_ROOT, top);
  return result == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "lock") == 0) return static_cast<int>(Lock(argv[2]));
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "unlock") == 0)
    return static_cast<int>(Unlock(argv[2], argv[argc - 1]));
  return ERROR_INVALID_PARAMETER;
}
