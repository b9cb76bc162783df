#include "tools/kstvreg/RegExport.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/handles.h"
#include "platform/text16.h"
#include "registrar/RegistrarParser.h"

namespace kstv {
namespace {

struct Value {
  std::string name;
  DWORD type;
  std::vector<BYTE> data;
};

// Byte order with ASCII letters folded: the same on every build and in every locale.
bool LessIgnoringCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) <
           std::toupper(static_cast<unsigned char>(y));
  });
}

std::string Escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string HexBytes(const std::vector<BYTE>& bytes) {
  std::string text;
  char pair[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, i ? ",%02x" : "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

// String data as the registry keeps it, in UTF-16, for hex(2) and hex(7) lines.
std::vector<BYTE> Utf16Bytes(const std::vector<BYTE>& ansi) {
  std::vector<BYTE> bytes;
  if (ansi.empty()) return bytes;
  int length = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(ansi.data()),
                                   static_cast<int>(ansi.size()), nullptr, 0);
  if (length <= 0) return bytes;
  std::vector<WCHAR> wide(static_cast<std::size_t>(length));
  MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(ansi.data()),
                      static_cast<int>(ansi.size()), wide.data(), length);
  for (WCHAR unit : wide) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

std::string ValueLine(const Value& value) {
  // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on chains of operator+.
  std::string line;
  if (value.name.empty()) {
    line = "@=";
  } else {
    line.append("\"").append(Escaped(value.name)).append("\"=");
  }
  char text[32];
  switch (value.type) {
    case REG_SZ: {
      std::string data(value.data.begin(), value.data.end());
      if (!data.empty() && data.back() == '\0') data.pop_back();
      return line.append("\"").append(Escaped(data.c_str())).append("\"");
    }
    case REG_DWORD:
      if (value.data.size() == 4) {
        DWORD number;
        std::memcpy(&number, value.data.data(), 4);
        std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(number));
        return line + text;
      }
      break;
    case REG_BINARY:
      return line + "hex:" + HexBytes(value.data);
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
      std::snprintf(text, sizeof text, "hex(%x):", static_cast<unsigned>(value.type));
      return line + text + HexBytes(Utf16Bytes(value.data));
  }
  std::snprintf(text, sizeof text, "hex(%x):", static_cast<unsigned>(value.type));
  return line + text + HexBytes(value.data);
}

}  // namespace

HKEY RootKeyByName(const std::string& name, std::string& fullName) {
  HKEY root = RegistrarParser::rootKeyFromName(name.c_str());
  static const struct {
    HKEY key;
    const char* name;
  } kFullNames[] = {{HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
                    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
                    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
                    {HKEY_USERS, "HKEY_USERS"},
                    {HKEY_PERFORMANCE_DATA, "HKEY_PERFORMANCE_DATA"},
                    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"},
                    {HKEY_DYN_DATA, "HKEY_DYN_DATA"}};
  for (const auto& entry : kFullNames)
    if (entry.key == root) fullName = entry.name;
  return root;
}

bool ExportKey(HKEY root, const std::string& rootName, const std::string& path, std::string& out) {
  UniqueKey key;
  if (RegOpenKeyExA(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS)
    return false;
  out.append("[").append(rootName);
  if (!path.empty()) out.append("\\").append(path);
  out.append("]\n");

  std::vector<Value> values;
  for (DWORD index = 0;; ++index) {
    std::vector<char> name(16384);
    DWORD nameLength = static_cast<DWORD>(name.size()), type = 0, size = 0;
    if (RegEnumValueA(key.get(), index, name.data(), &nameLength, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS)
      break;
    Value value{std::string(name.data(), nameLength), type, std::vector<BYTE>(size + 1)};
    nameLength = static_cast<DWORD>(name.size());
    if (RegEnumValueA(key.get(), index, name.data(), &nameLength, nullptr, &type, value.data.data(),
                      &size) != ERROR_SUCCESS)
      break;
    value.data.resize(size);
    values.push_back(std::move(value));
  }
  std::sort(values.begin(), values.end(),
            [](const Value& a, const Value& b) { return LessIgnoringCase(a.name, b.name); });
  for (const Value& value : values) out += ValueLine(value) + "\n";
  out += "\n";

  std::vector<std::string> children;
  for (DWORD index = 0;; ++index) {
    char name[256];
    DWORD length = sizeof name;
    if (RegEnumKeyExA(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS)
      break;
    children.emplace_back(name, length);
  }
  std::sort(children.begin(), children.end(), LessIgnoringCase);
  key.reset();
  for (const std::string& child : children)
    ExportKey(root, rootName, path.empty() ? child : path + "\\" + child, out);
  return true;
}

bool ExportRegFile(const std::string& key, std::string& out) {
  std::size_t slash = key.find('\\');
  std::string rootName;
  HKEY root = RootKeyByName(key.substr(0, slash), rootName);
  if (!root) return false;
  std::string body;
  if (!ExportKey(root, rootName, slash == std::string::npos ? std::string() : key.substr(slash + 1),
                 body))
    return false;
  out = "Windows Registry Editor Version 5.00\n\n" + body;
  return true;
}

}  // namespace kstv
