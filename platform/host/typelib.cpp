// Type libraries: LoadTypeLib reads a compiled library ("MSFT" format) far enough for its
// library attributes and help string; RegisterTypeLib and UnRegisterTypeLib write and
// remove the keys Windows keeps for it under HKEY_CLASSES_ROOT\TypeLib.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/handles.h"
#include "platform/host/control.h"
#include "platform/host/detail/com_object.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/module.h"
#include "platform/host/detail/text.h"

namespace kstv::host {
namespace {

// What the host knows of a library: its attributes and its help string.
struct LibraryInfo {
  TLIBATTR attributes;
  std::u16string helpString;
};

// --- Reading the compiled format ------------------------------------------------------
// The header: "MSFT", a format version, then 32-bit fields; a help-file field follows it
// when flag 0x100 is set, then one offset per type description, then the directory of
// fifteen segments (offset, length and two reserved fields each).
constexpr std::uint32_t kSignature = 0x5446534D;  // "MSFT"
constexpr std::size_t kGuidOffsetField = 8;
constexpr std::size_t kLcidField = 12;
constexpr std::size_t kVarFlagsField = 20;
constexpr std::size_t kVersionField = 24;
constexpr std::size_t kFlagsField = 28;
constexpr std::size_t kTypeCountField = 32;
constexpr std::size_t kHelpStringField = 36;
constexpr std::size_t kHeaderSize = 0x54;
constexpr std::uint32_t kHasHelpFile = 0x100;
constexpr std::size_t kSegmentEntrySize = 16;
constexpr std::size_t kGuidSegment = 5;
constexpr std::size_t kStringSegment = 8;
constexpr std::size_t kSegmentCount = 15;

class Reader {
 public:
  explicit Reader(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}
  std::optional<std::uint32_t> word32(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) return std::nullopt;
    std::uint32_t value;
    std::memcpy(&value, bytes_.data() + offset, 4);
    return value;
  }
  std::optional<std::uint16_t> word16(std::size_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < 2) return std::nullopt;
    std::uint16_t value;
    std::memcpy(&value, bytes_.data() + offset, 2);
    return value;
  }
  bool has(std::size_t offset, std::size_t length) const {
    return offset <= bytes_.size() && bytes_.size() - offset >= length;
  }
  const unsigned char* at(std::size_t offset) const { return bytes_.data() + offset; }

 private:
  const std::vector<unsigned char>& bytes_;
};

std::optional<LibraryInfo> ParseLibrary(const std::vector<unsigned char>& bytes) {
  Reader reader(bytes);
  auto signature = reader.word32(0);
  auto guidOffset = reader.word32(kGuidOffsetField);
  auto lcid = reader.word32(kLcidField);
  auto varFlags = reader.word32(kVarFlagsField);
  auto version = reader.word32(kVersionField);
  auto flags = reader.word32(kFlagsField);
  auto typeCount = reader.word32(kTypeCountField);
  auto helpString = reader.word32(kHelpStringField);
  if (!signature || *signature != kSignature || !reader.has(0, kHeaderSize)) return std::nullopt;
  if (*typeCount > bytes.size() / 4) return std::nullopt;
  std::size_t directory = kHeaderSize + ((*varFlags & kHasHelpFile) ? 4 : 0) + *typeCount * 4;
  if (!reader.has(directory, kSegmentCount * kSegmentEntrySize)) return std::nullopt;
  auto segment = [&](std::size_t index) {
    std::size_t entry = directory + index * kSegmentEntrySize;
    return std::make_pair(*reader.word32(entry), *reader.word32(entry + 4));
  };

  LibraryInfo info{};
  auto [guids, guidsLength] = segment(kGuidSegment);
  if (*guidOffset > guidsLength || guidsLength - *guidOffset < sizeof(GUID) ||
      !reader.has(guids, guidsLength))
    return std::nullopt;
  std::memcpy(&info.attributes.guid, reader.at(guids + *guidOffset), sizeof(GUID));
  info.attributes.lcid = *lcid;
  info.attributes.syskind = static_cast<SYSKIND>(*varFlags & 0xF);
  info.attributes.wMajorVerNum = static_cast<WORD>(*version & 0xFFFF);
  info.attributes.wMinorVerNum = static_cast<WORD>(*version >> 16);
  info.attributes.wLibFlags = static_cast<WORD>(*flags | LIBFLAG_FHASDISKIMAGE);

  // A string entry: its length in 16 bits, then that many ANSI bytes.
  auto [strings, stringsLength] = segment(kStringSegment);
  if (*helpString != 0xFFFFFFFF && reader.has(strings, stringsLength) &&
      *helpString < stringsLength) {
    std::size_t entry = strings + *helpString;
    auto length = reader.word16(entry);
    if (length && entry + 2 + *length <= strings + stringsLength)
      info.helpString = detail::ansiToWide(
          std::string_view(reinterpret_cast<const char*>(reader.at(entry + 2)), *length));
  }
  return info;
}

std::optional<std::vector<unsigned char>> LibraryBytes(const std::string& path) {
  if (lstrcmpiA(path.c_str(), detail::ownModulePath().c_str()) == 0) {
    const unsigned char* bytes;
    std::size_t size;
    if (!detail::ownResource("TYPELIB", 1, &bytes, &size)) return std::nullopt;
    return std::vector<unsigned char>(bytes, bytes + size);
  }
  std::string file = hostPathOf(path);
  if (file.empty()) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

// --- The library object ---------------------------------------------------------------
class TypeLibrary : public detail::ComObject<ITypeLib, &IID_ITypeLib> {
 public:
  explicit TypeLibrary(LibraryInfo info) : info_(std::move(info)) {}
  const LibraryInfo& info() const { return info_; }

  UINT STDMETHODCALLTYPE GetTypeInfoCount() override { return 0; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoType(UINT, TYPEKIND*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoOfGuid(REFGUID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetLibAttr(TLIBATTR** attributes) override {
    if (!attributes) return E_INVALIDARG;
    if (auto code = detail::injectedFailure("ITypeLib::GetLibAttr")) {
      *attributes = nullptr;
      return static_cast<HRESULT>(*code);
    }
    *attributes = new TLIBATTR(info_.attributes);
    ++liveAttributes_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDocumentation(INT index, BSTR* name, BSTR* docString,
                                             DWORD* helpContext, BSTR* helpFile) override {
    if (index != -1) return E_NOTIMPL;
    if (name) *name = nullptr;
    if (docString) *docString = SysAllocString(info_.helpString.c_str());
    if (helpContext) *helpContext = 0;
    if (helpFile) *helpFile = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsName(LPOLESTR, ULONG, BOOL*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE FindName(LPOLESTR, ULONG, ITypeInfo**, MEMBERID*, USHORT*) override {
    return E_NOTIMPL;
  }
  void STDMETHODCALLTYPE ReleaseTLibAttr(TLIBATTR* attributes) override {
    if (!attributes) return;
    delete attributes;
    --liveAttributes_;
  }

  static std::atomic<long> liveAttributes_;

 private:
  LibraryInfo info_;
};

std::atomic<long> TypeLibrary::liveAttributes_{0};

// --- The registry side ------------------------------------------------------------------
const char* SystemKindName(SYSKIND kind) {
  switch (kind) {
    case SYS_WIN16:
      return "win16";
    case SYS_WIN32:
      return "win32";
    case SYS_MAC:
      return "mac";
    case SYS_WIN64:
      return "win64";
  }
  return nullptr;
}

// TypeLib\{LIBID}\<major>.<minor>, versions in hexadecimal as Windows writes them.
std::string VersionKeyPath(REFGUID id, WORD major, WORD minor) {
  char path[96];
  std::snprintf(
      path, sizeof path, "TypeLib\\{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}\\%x.%x",
      static_cast<unsigned>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
      id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7], major, minor);
  return path;
}

std::string LocaleName(LCID locale) {
  char name[16];
  std::snprintf(name, sizeof name, "%x", static_cast<unsigned>(locale));
  return name;
}

bool SetDefaultValue(const std::string& keyPath, const std::string& text) {
  UniqueKey key;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                      key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1)) == ERROR_SUCCESS;
}

// The names of a key's subkeys; none when it cannot be opened.
std::vector<std::string> SubkeyNames(const std::string& keyPath) {
  std::vector<std::string> names;
  UniqueKey key;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
    return names;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    names.emplace_back(name, length);
  }
  return names;
}

// Whether a version key still holds a locale (a subkey named by a hexadecimal number).
bool HoldsLocale(const std::string& versionPath) {
  for (const std::string& name : SubkeyNames(versionPath))
    if (name.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) return true;
  return false;
}

void DeleteTree(const std::string& keyPath) {
  for (const std::string& child : SubkeyNames(keyPath)) DeleteTree(keyPath + "\\" + child);
  RegDeleteKeyA(HKEY_CLASSES_ROOT, keyPath.c_str());
}

}  // namespace

std::size_t liveTypeLibraryAttributes() {
  return static_cast<std::size_t>(TypeLibrary::liveAttributes_.load());
}

}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

HRESULT WINAPI LoadTypeLib(LPCOLESTR file, ITypeLib** library) {
  using namespace kstv::host;
  if (!library) return E_INVALIDARG;
  *library = nullptr;
  if (auto code = injectedFailure("LoadTypeLib")) return static_cast<HRESULT>(*code);
  if (!file) return E_INVALIDARG;
  auto bytes = LibraryBytes(detail::wideToAnsi(file));
  if (!bytes) return TYPE_E_CANTLOADLIBRARY;
  auto info = ParseLibrary(*bytes);
  if (!info) return TYPE_E_CANTLOADLIBRARY;
  *library = new TypeLibrary(std::move(*info));
  return S_OK;
}

HRESULT WINAPI RegisterTypeLib(ITypeLib* library, LPCOLESTR fullPath, LPCOLESTR helpDirectory) {
  using namespace kstv::host;
  if (auto code = injectedFailure("RegisterTypeLib")) return static_cast<HRESULT>(*code);
  if (!library || !fullPath) return E_INVALIDARG;
  const LibraryInfo& info = static_cast<TypeLibrary*>(library)->info();
  const TLIBATTR& attributes = info.attributes;
  const char* kind = SystemKindName(attributes.syskind);
  if (!kind) return E_INVALIDARG;
  std::string version =
      VersionKeyPath(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum);
  bool written =
      SetDefaultValue(version, detail::wideToAnsi(info.helpString)) &&
      SetDefaultValue(version + "\\FLAGS", std::to_string(attributes.wLibFlags)) &&
      SetDefaultValue(version + "\\" + LocaleName(attributes.lcid) + "\\" + kind,
                      detail::wideToAnsi(fullPath)) &&
      (!helpDirectory || SetDefaultValue(version + "\\HELPDIR", detail::wideToAnsi(helpDirectory)));
  return written ? S_OK : TYPE_E_REGISTRYACCESS;
}

HRESULT WINAPI UnRegisterTypeLib(REFGUID libraryId, WORD majorVersion, WORD minorVersion,
                                 LCID locale, SYSKIND kind) {
  using namespace kstv::host;
  if (auto code = injectedFailure("UnRegisterTypeLib")) return static_cast<HRESULT>(*code);
  const char* kindName = SystemKindName(kind);
  if (!kindName) return E_INVALIDARG;
  std::string version = VersionKeyPath(libraryId, majorVersion, minorVersion);
  std::string localeKey = version + "\\" + LocaleName(locale);
  if (RegDeleteKeyA(HKEY_CLASSES_ROOT, (localeKey + "\\" + kindName).c_str()) != ERROR_SUCCESS)
    return TYPE_E_REGISTRYACCESS;
  if (SubkeyNames(localeKey).empty()) RegDeleteKeyA(HKEY_CLASSES_ROOT, localeKey.c_str());
  // The version goes when no locale of it is left; the library when no version is.
  if (!HoldsLocale(version)) DeleteTree(version);
  std::string library = version.substr(0, version.rfind('\\'));
  if (SubkeyNames(library).empty()) RegDeleteKeyA(HKEY_CLASSES_ROOT, library.c_str());
  return S_OK;
}

HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID libraryId, WORD majorVersion, WORD minorVersion,
                                     LCID locale, BSTR* path) {
  using namespace kstv::host;
  if (!path) return E_INVALIDARG;
  *path = nullptr;
  if (auto code = injectedFailure("QueryPathOfRegTypeLib")) return static_cast<HRESULT>(*code);
  const std::string version = VersionKeyPath(libraryId, majorVersion, minorVersion);
  const LCID language = locale & 0x3FF;  // the primary language, without its sublanguage
  for (LCID candidate : {locale, language, static_cast<LCID>(0)}) {
    for (SYSKIND kind : {SYS_WIN64, SYS_WIN32}) {
      std::string key = version + "\\" + LocaleName(candidate) + "\\" + SystemKindName(kind);
      kstv::UniqueKey opened;
      if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS)
        continue;
      char text[MAX_PATH] = {};
      DWORD size = sizeof text - 1;
      if (RegQueryValueExA(opened.get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                           &size) != ERROR_SUCCESS)
        continue;
      *path = SysAllocString(detail::ansiToWide(text).c_str());
      return *path ? S_OK : E_OUTOFMEMORY;
    }
  }
  return TYPE_E_LIBNOTREGISTERED;
}
