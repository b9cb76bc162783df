// Runs registrar script bodies below HKCU\Software\KstvTests\<name>, a scratch key.
#pragma once

#include <string>

#include "registrar/RegistrarParser.h"
#include "tests/support/ScratchKey.h"
#include "tools/kstvreg/RegExport.h"

namespace kstv::test {

class ScriptRunner {
 public:
  explicit ScriptRunner(const std::string& name) : name_(name), scratch_(name) {}

  // Runs `body` as the content of the scratch key's block.
  HRESULT run(const std::string& body, BOOL doRegister) {
    return runScript(wrap(body), doRegister);
  }
  HRESULT runScript(const std::string& script, BOOL doRegister) {
    RegistrarParser parser(map);
    return parser.runScript(script.c_str(), doRegister);
  }
  // The scratch key's root entry holding `body`.
  std::string wrap(const std::string& body) const {
    return "HKCU { NoRemove Software { NoRemove KstvTests { NoRemove " + name_ + " {\r\n" + body +
           "\r\n} } } }\r\n";
  }

  HKEY key() const { return scratch_.get(); }
  std::string path(const std::string& below) const { return scratch_.path() + "\\" + below; }
  bool exists(const std::string& below) const {
    return keyExists(HKEY_CURRENT_USER, path(below).c_str());
  }

  // The value `value` of the key `below` as text: strings as they are, numbers in
  // decimal, bytes in hex; "<none>" when missing.
  std::string value(const std::string& below, const char* value) const {
    UniqueKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path(below).c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
      return "<no key>";
    BYTE data[8192];
    DWORD size = sizeof data, type = 0;
    if (RegQueryValueExA(key.get(), value, nullptr, &type, data, &size) != ERROR_SUCCESS)
      return "<none>";
    if (type == REG_SZ) return std::string(reinterpret_cast<char*>(data), size ? size - 1 : 0);
    if (type == REG_DWORD) return std::to_string(*reinterpret_cast<DWORD*>(data));
    std::string hex = "hex:";
    for (DWORD i = 0; i < size; ++i)
      hex += "0123456789ABCDEF"[data[i] >> 4], hex += "0123456789ABCDEF"[data[i] & 15];
    return hex;
  }

  // The scratch key and everything below it in .reg form.
  std::string exported() const {
    std::string text;
    ExportKey(HKEY_CURRENT_USER, "HKEY_CURRENT_USER", scratch_.path(), text);
    return text;
  }

  ReplacementMap map;

 private:
  std::string name_;
  ScratchKey scratch_;
};

}  // namespace kstv::test
