// The program's own module on the host: its path on the emulated machine, its command
// line, and the resources embedded at build time.
#include "platform/host/detail/module.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/text.h"
#include "platform/host/resources.h"

namespace kstv::host {
namespace {

struct ModuleState {
  std::mutex lock;
  // As given in the ANSI code page, or, when the path was given in Unicode (`wide`), that
  // path in the code page as GetModuleFileNameA gives it.
  std::string path = kDefaultModulePath;
  std::optional<std::u16string> wide;
  std::string commandLine = std::string("\"") + kDefaultModulePath + "\"";
  const ResourceTable* resources = nullptr;
};

ModuleState& state() {
  static ModuleState module;
  return module;
}

HMODULE const kOwnModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x140000000ULL));
// The program's own file loaded as data: like Windows, the base with its low bit set.
HMODULE const kOwnDataModule = reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x140000001ULL));
std::atomic<long> dataLoads{0};
// oleaut32.dll, the one other library a program can load here.
HMODULE const kOleAutomationModule =
    reinterpret_cast<HMODULE>(static_cast<ULONG_PTR>(0x7FF800000000ULL));
std::atomic<long> libraryLoads{0};

bool isOwnModule(HMODULE module) { return module == nullptr || module == kOwnModule; }

// The module path into the caller's buffer, as GetModuleFileName gives it: a path that
// does not fit fills the buffer, without a NUL as Wine does it, and the result is the
// buffer size with ERROR_INSUFFICIENT_BUFFER.
template <typename Unit>
DWORD copyModulePath(const std::basic_string<Unit>& path, Unit* fileName, DWORD size) {
  if (size == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() + 1 > size) {
    std::copy(path.data(), path.data() + size, fileName);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::copy(path.c_str(), path.c_str() + path.size() + 1, fileName);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}
bool hasOwnResources(HMODULE module) { return isOwnModule(module) || module == kOwnDataModule; }

// Resource names and types compare like Windows: integer ids by value, names without
// regard to case; "#123" names the integer 123.
bool matches(LPCSTR wanted, const char* name, WORD id) {
  if (IS_INTRESOURCE(wanted)) return name == nullptr && LOWORD(wanted) == id;
  if (wanted[0] == '#') return name == nullptr && std::strtoul(wanted + 1, nullptr, 10) == id;
  return name != nullptr && lstrcmpiA(wanted, name) == 0;
}

}  // namespace

bool registerOwnModuleResources(const ResourceTable& table) {
  static ResourceTable registered;
  std::lock_guard guard(state().lock);
  registered = table;
  state().resources = &registered;
  return true;
}

ResourceTable ownModuleResources() {
  std::lock_guard guard(state().lock);
  return state().resources ? *state().resources : ResourceTable{};
}

std::size_t loadedDataModules() { return static_cast<std::size_t>(dataLoads.load()); }
std::size_t loadedLibraries() { return static_cast<std::size_t>(libraryLoads.load()); }

void setModulePath(const std::string& path) {
  std::lock_guard guard(state().lock);
  state().path = path;
  state().wide.reset();
}

void setModulePathUtf8(const std::string& path) {
  std::u16string wide = detail::utf8ToWide(path);
  std::lock_guard guard(state().lock);
  state().wide = wide;
  state().path.clear();
}

void setCommandLine(const std::string& commandLine) {
  std::lock_guard guard(state().lock);
  state().commandLine = commandLine;
}

namespace detail {

HMODULE ownModule() { return kOwnModule; }

std::string ownModulePath() {
  std::lock_guard guard(state().lock);
  return state().wide ? wideToAnsi(*state().wide) : state().path;
}

std::u16string ownModuleWidePath() {
  std::lock_guard guard(state().lock);
  return state().wide ? *state().wide : ansiToWide(state().path);
}

bool ownResource(const char* typeName, WORD id, const unsigned char** bytes, std::size_t* size) {
  const ResourceTable* table = state().resources;
  if (!table) return false;
  for (std::size_t i = 0; i < table->resourceCount; ++i) {
    const EmbeddedResource& resource = table->resources[i];
    if (resource.typeName && lstrcmpiA(resource.typeName, typeName) == 0 && resource.id == id) {
      *bytes = resource.bytes;
      *size = resource.size;
      return true;
    }
  }
  return false;
}

void setCommandLineFromArguments(int argc, char** argv) {
  std::string line = "\"" + ownModulePath() + "\"";
  for (int i = 1; i < argc; ++i) {
    bool quote = std::strpbrk(argv[i], " \t") != nullptr;
    line += quote ? std::string(" \"") + argv[i] + "\"" : std::string(" ") + argv[i];
  }
  setCommandLine(line);
}

}  // namespace detail
}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

LPSTR WINAPI GetCommandLineA() {
  // Windows hands out one buffer for the life of the process; so do we, per text set.
  static std::string current;
  std::lock_guard guard(kstv::host::state().lock);
  current = kstv::host::state().commandLine;
  return current.data();
}

HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName) {
  if (moduleName == nullptr) return kstv::host::kOwnModule;
  SetLastError(126);  // ERROR_MOD_NOT_FOUND: the host has no other modules
  return nullptr;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (auto code = injectedFailure("GetModuleFileNameA")) {
    SetLastError(*code);
    return 0;
  }
  if (!kstv::host::isOwnModule(module)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return kstv::host::copyModulePath(kstv::host::detail::ownModulePath(), fileName, size);
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
  if (auto code = injectedFailure("GetModuleFileNameW")) {
    SetLastError(*code);
    return 0;
  }
  if (!kstv::host::isOwnModule(module)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return kstv::host::copyModulePath(kstv::host::detail::ownModuleWidePath(), fileName, size);
}

int WINAPI LoadStringA(HINSTANCE instance, UINT id, LPSTR buffer, int bufferMax) {
  if (auto code = injectedFailure("LoadStringA")) {
    SetLastError(*code);
    return 0;
  }
  const kstv::host::ResourceTable* table = kstv::host::state().resources;
  if (!kstv::host::hasOwnResources(instance) || !table || !buffer || bufferMax <= 0) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return 0;
  }
  for (std::size_t i = 0; i < table->stringCount; ++i) {
    if (table->strings[i].id != id) continue;
    std::size_t length =
        std::min(std::strlen(table->strings[i].text), static_cast<std::size_t>(bufferMax - 1));
    std::memcpy(buffer, table->strings[i].text, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
  }
  buffer[0] = '\0';
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
}

HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type) {
  if (auto code = injectedFailure("FindResourceA")) {
    SetLastError(*code);
    return nullptr;
  }
  const kstv::host::ResourceTable* table = kstv::host::state().resources;
  if (!kstv::host::hasOwnResources(module) || !table) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  bool typeFound = false;
  for (std::size_t i = 0; i < table->resourceCount; ++i) {
    const kstv::host::EmbeddedResource& resource = table->resources[i];
    if (!kstv::host::matches(type, resource.typeName, resource.typeId)) continue;
    typeFound = true;
    if (kstv::host::matches(name, nullptr, resource.id))
      return reinterpret_cast<HRSRC>(const_cast<kstv::host::EmbeddedResource*>(&resource));
  }
  SetLastError(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource) {
  if (auto code = injectedFailure("LoadResource")) {
    SetLastError(*code);
    return nullptr;
  }
  if (!kstv::host::hasOwnResources(module) || !resource) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto* embedded = reinterpret_cast<const kstv::host::EmbeddedResource*>(resource);
  return const_cast<unsigned char*>(embedded->bytes);
}

LPVOID WINAPI LockResource(HGLOBAL data) { return data; }

DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource) {
  if (!kstv::host::hasOwnResources(module) || !resource) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return static_cast<DWORD>(reinterpret_cast<const kstv::host::EmbeddedResource*>(resource)->size);
}

HMODULE WINAPI LoadLibraryExA(LPCSTR fileName, HANDLE, DWORD flags) {
  if (auto code = injectedFailure("LoadLibraryExA")) {
    SetLastError(*code);
    return nullptr;
  }
  const std::string path = kstv::host::detail::ownModulePath();
  if (!fileName || !(flags & LOAD_LIBRARY_AS_DATAFILE) || lstrcmpiA(fileName, path.c_str()) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  ++kstv::host::dataLoads;
  return kstv::host::kOwnDataModule;
}

HMODULE WINAPI LoadLibraryA(LPCSTR fileName) {
  if (auto code = injectedFailure("LoadLibraryA")) {
    SetLastError(*code);
    return nullptr;
  }
  if (!fileName || lstrcmpiA(fileName, "oleaut32.dll") != 0) {
    SetLastError(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
  }
  ++kstv::host::libraryLoads;
  return kstv::host::kOleAutomationModule;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  if (auto code = injectedFailure("GetProcAddress")) {
    SetLastError(*code);
    return nullptr;
  }
  if (module != kstv::host::kOleAutomationModule || kstv::host::libraryLoads.load() == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (IS_INTRESOURCE(procName) || std::strcmp(procName, "UnRegisterTypeLib") != 0) {
    SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return nullptr;
  }
  // Through void(*)() as Windows code does: a procedure's address is untyped.
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&UnRegisterTypeLib));
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  if (module == kstv::host::kOleAutomationModule && kstv::host::libraryLoads.load() > 0) {
    --kstv::host::libraryLoads;
    return TRUE;
  }
  if (module != kstv::host::kOwnDataModule || kstv::host::dataLoads.load() == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --kstv::host::dataLoads;
  return TRUE;
}
