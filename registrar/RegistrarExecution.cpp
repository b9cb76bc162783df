// What a registrar script does to the registry: runScript over the root entries,
// processBlock over the items of a block (one function per kind of item), writeItemValue
// for the values.
#include <algorithm>
#include <cstring>

#include "platform/handles.h"
#include "platform/heap.h"
#include "platform/text16.h"
#include "registrar/RegistrarParser.h"
#include "registry/RegistryKey.h"

namespace kstv {
namespace {

constexpr int kValueNameCapacity = MAX_PATH;
constexpr int kMaxLocalServerValueLength = 4094;
constexpr char kLocalServerKeyName[] = "LocalServer32";
constexpr char kModuleReplacement[] = "Module";

bool isKeyword(LPCSTR token, LPCSTR keyword) { return lstrcmpiA(token, keyword) == 0; }
bool isOpeningBrace(LPCSTR token) { return token[0] == '{' && token[1] == '\0'; }

// A key name is one name: not empty (that would stand for the parent itself) and without
// a backslash, looked for by whole characters.
bool isKeyName(LPCSTR name) {
  if (!*name) return false;
  for (LPCSTR c = name; *c; c = CharNextA(c))
    if (*c == '\\') return false;
  return true;
}

// Never deleted by force.
bool isProtectedKeyName(LPCSTR name) {
  return isKeyword(name, "CLSID") || isKeyword(name, "TYPELIB");
}

bool holdsSubkeys(HKEY key) {
  DWORD subKeys = 0;
  return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                          nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
         subKeys > 0;
}

// A key whose only value is its default value holds no named values.
bool holdsNamedValues(HKEY key) {
  DWORD values = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                       nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    return false;
  if (values != 1) return values > 1;
  // Room for the empty name only: a longer one does not fit.
  char name[1];
  DWORD length = sizeof name;
  return RegEnumValueA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_MORE_DATA;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;  // anything else counts as the digit 0
}

}  // namespace

HRESULT RegistrarParser::runScript(LPCSTR text, BOOL doRegister) {
  HeapBuffer token(kTokenCapacity);
  if (!token) return E_OUTOFMEMORY;
  LPSTR expanded = nullptr;
  HRESULT result = expandReplacements(text, &expanded);
  if (FAILED(result)) return result;
  UniqueTaskMemory expansion(expanded);

  position_ = expanded;
  for (skipBlanks(); *position_; skipBlanks()) {
    if (FAILED(result = readToken(token.get()))) return result;
    HKEY root = rootKeyFromName(token.get());
    if (!root) return DISP_E_EXCEPTION;
    if (FAILED(result = readToken(token.get()))) return result;
    if (token.get()[0] != '{') return DISP_E_EXCEPTION;

    LPCSTR blockStart = position_;
    result = processBlock(token.get(), root, doRegister, FALSE);
    if (FAILED(result)) {
      // Undo what this root entry did, and only this one.
      if (doRegister) {
        position_ = blockStart;
        processBlock(token.get(), root, FALSE, FALSE);
      }
      return result;
    }
  }
  return S_OK;
}

// What the items of one block share: the parent key, the mode, and what an item leaves
// for the ones after it (a NoRemove, a key that could not be opened, the open key).
struct RegistrarParser::Block {
  LPSTR token;
  HKEY parent;
  BOOL doRegister;
  BOOL recovery;
  const BOOL recoveryOnEntry;
  RegistryKey current{};
  HeapBuffer rememberedName{};  // kept for the block's later entries, grown for a longer name
  std::size_t rememberedCapacity = 0;
  bool noRemove = false;
  char valueName[kValueNameCapacity] = {};
};

HRESULT RegistrarParser::processBlock(LPSTR token, HKEY parent, BOOL doRegister, BOOL recovery) {
  if (depth_ >= kMaxBlockDepth) {
    // Registration never gets this deep, so no key or value below here was written:
    // unregistration and the undo pass read past the rest without recursion.
    return doRegister ? DISP_E_EXCEPTION : skipBlock(token);
  }
  struct Nesting {
    int& depth;
    explicit Nesting(int& d) : depth(++d) {}
    ~Nesting() { --depth; }
  } nesting(depth_);
  Block block{token, parent, doRegister, recovery, recovery};

  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  while (token[0] != '}') {
    bool keyEntry = false;  // whether the item was a key entry, which a block may follow
    if (FAILED(result = processItem(block, keyEntry))) return result;
    if (FAILED(result = endItem(block, keyEntry))) return result;
  }
  return S_OK;
}

// One item: "Delete" or "ForceRemove", then "NoRemove", then a value or a key entry.
HRESULT RegistrarParser::processItem(Block& block, bool& keyEntry) {
  LPSTR token = block.token;
  HRESULT result = S_OK;
  const bool deleteItem = isKeyword(token, "Delete");
  if (deleteItem || isKeyword(token, "ForceRemove")) {
    bool itemDone = false;
    if (FAILED(result = removeNamedKey(block, deleteItem, itemDone)) || itemDone) return result;
  }
  if (isKeyword(token, "NoRemove")) {
    block.noRemove = true;  // for this item and every later one of the block
    if (FAILED(result = readToken(token))) return result;
  }
  if (isKeyword(token, "Val")) return processValue(block);

  keyEntry = true;
  if (!isKeyName(token)) return DISP_E_EXCEPTION;
  return block.doRegister ? registerKey(block) : unregisterKey(block);
}

// "Delete" or "ForceRemove" and the name after it. At registration the named key goes
// with everything below it (CLSID and TypeLib excepted), and a Delete item ends there.
// At unregistration the word is passed over and the name read as a key entry.
HRESULT RegistrarParser::removeNamedKey(Block& block, bool deleteItem, bool& itemDone) {
  LPSTR token = block.token;
  HRESULT result = readToken(token);
  if (FAILED(result) || !block.doRegister) return result;
  if (!isKeyName(token)) return DISP_E_EXCEPTION;
  if (!isProtectedKeyName(token)) RegistryKey::deleteTree(block.parent, token);
  if (!deleteItem) return S_OK;
  itemDone = true;
  if (FAILED(result = readToken(token))) return result;
  return discardAssignment(token);
}

// "Val", a name and an assignment: written at registration; at unregistration the value
// goes unless its key could not be opened.
HRESULT RegistrarParser::processValue(Block& block) {
  LPSTR token = block.token;
  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  if (lstrlenA(token) >= kValueNameCapacity) return DISP_E_EXCEPTION;  // too long a value name
  std::memcpy(block.valueName, token, lstrlenA(token) + 1);
  if (FAILED(result = readToken(token))) return result;
  if (token[0] != '=') return DISP_E_EXCEPTION;
  if (block.doRegister) return writeItemValue(block.parent, block.valueName, token, false);

  if (!block.recovery) {
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExA(block.parent, nullptr, 0, KEY_WRITE, &opened);
    if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
    RegistryKey writable;
    writable.attach(opened);
    status = RegDeleteValueA(writable.handle(), block.valueName);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
      return HRESULT_FROM_WIN32(status);
  }
  return discardAssignment(token);
}

// A key entry at registration: the key opened with full access, else for reading, else
// created; then its default value when an assignment follows.
HRESULT RegistrarParser::registerKey(Block& block) {
  LPSTR token = block.token;
  RegistryKey& current = block.current;
  HKEY opened = nullptr;
  const bool held =
      (RegOpenKeyExA(block.parent, token, 0, KEY_ALL_ACCESS, &opened) == ERROR_SUCCESS &&
       current.attach(opened) == ERROR_SUCCESS) ||
      (RegOpenKeyExA(block.parent, token, 0, KEY_READ, &opened) == ERROR_SUCCESS &&
       current.attach(opened) == ERROR_SUCCESS) ||
      current.create(block.parent, token, nullptr, REG_OPTION_NON_VOLATILE, kKeyDeleteTree, nullptr,
                     nullptr) == ERROR_SUCCESS;
  if (!held) return DISP_E_EXCEPTION;
  const bool quoteModule = isKeyword(token, kLocalServerKeyName);
  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  if (token[0] != '=') return S_OK;
  return writeItemValue(current.handle(), nullptr, token, quoteModule);
}

// A key entry at unregistration. A key that cannot be opened puts the block in recovery:
// what follows is read without effect until the key's own block ends.
HRESULT RegistrarParser::unregisterKey(Block& block) {
  LPSTR token = block.token;
  if (!block.recovery) {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(block.parent, token, 0, KEY_READ, &opened) != ERROR_SUCCESS ||
        block.current.attach(opened) != ERROR_SUCCESS)
      block.recovery = TRUE;
  }
  // The whole name: a shorter one could name a different key.
  const std::size_t nameSize = static_cast<std::size_t>(lstrlenA(token)) + 1;
  if (nameSize > block.rememberedCapacity) {
    const std::size_t capacity = std::max<std::size_t>(nameSize, MAX_PATH);
    block.rememberedName = HeapBuffer(capacity);
    if (!block.rememberedName) return E_OUTOFMEMORY;
    block.rememberedCapacity = capacity;
  }
  std::memcpy(block.rememberedName.get(), token, nameSize);

  if (!block.recovery && !holdsSubkeys(block.current.handle()) &&
      !holdsNamedValues(block.current.handle()))
    return removeEmptyKey(block);
  return unregisterKeyAndBlock(block);
}

// An empty key goes, unless NoRemove; a block after it is read without effect.
HRESULT RegistrarParser::removeEmptyKey(Block& block) {
  LPSTR token = block.token;
  if (RegCloseKey(block.current.detach()) != ERROR_SUCCESS) return DISP_E_EXCEPTION;
  if (!block.noRemove) RegDeleteKeyA(block.parent, block.rememberedName.get());
  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  if (FAILED(result = discardAssignment(token))) return result;
  if (!isOpeningBrace(token)) return S_OK;
  if (FAILED(result = processBlock(token, nullptr, FALSE, TRUE))) return result;
  return readToken(token);
}

// A key with subkeys or named values, or one that could not be opened: its block first,
// then the key. A key that still has subkeys stays with everything below it: only what
// the script names is ever deleted. Otherwise the key goes, unless NoRemove.
HRESULT RegistrarParser::unregisterKeyAndBlock(Block& block) {
  LPSTR token = block.token;
  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  if (FAILED(result = discardAssignment(token))) return result;
  const bool nested = isOpeningBrace(token);
  if (nested && FAILED(result = processBlock(token, block.current.handle(), FALSE, block.recovery)))
    return result;
  if (block.recovery) {
    if (!nested) return S_OK;
    block.recovery = block.recoveryOnEntry;  // the key's own block has ended
    if (FAILED(result = readToken(token))) return result;
    return discardAssignment(token);
  }
  if (holdsSubkeys(block.current.handle())) return nested ? readToken(token) : S_OK;
  if (RegCloseKey(block.current.detach()) != ERROR_SUCCESS) return DISP_E_EXCEPTION;
  if (!block.noRemove) RegDeleteKeyA(block.parent, block.rememberedName.get());
  if (!nested) return S_OK;
  if (FAILED(result = readToken(token))) return result;
  return discardAssignment(token);
}

// The end of an item. A nested block belongs to a key entry and runs here at
// registration (unregistration has read it already); one after "Val" or "Delete" is
// refused.
HRESULT RegistrarParser::endItem(Block& block, bool keyEntry) {
  if (!isOpeningBrace(block.token)) return S_OK;
  if (!keyEntry) return DISP_E_EXCEPTION;
  if (!block.doRegister) return S_OK;
  HRESULT result = processBlock(block.token, block.current.handle(), TRUE, FALSE);
  if (FAILED(result)) return result;
  return readToken(block.token);
}

HRESULT RegistrarParser::skipBlock(LPSTR token) {
  // Reads items as an unregistration in recovery mode does, with a count of the blocks
  // still open in place of the recursion.
  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  for (int open = 1;;) {
    if (token[0] == '}') {
      if (--open == 0) return S_OK;
      // The end of a nested block ends the key entry that opened it.
      if (FAILED(result = readToken(token))) return result;
      if (FAILED(result = discardAssignment(token))) return result;
      continue;
    }
    if ((isKeyword(token, "Delete") || isKeyword(token, "ForceRemove")) &&
        FAILED(result = readToken(token)))
      return result;
    if (isKeyword(token, "NoRemove") && FAILED(result = readToken(token))) return result;
    if (isKeyword(token, "Val")) {
      if (FAILED(result = readToken(token))) return result;
      if (lstrlenA(token) >= kValueNameCapacity) return DISP_E_EXCEPTION;
      if (FAILED(result = readToken(token))) return result;
      if (token[0] != '=') return DISP_E_EXCEPTION;
      if (FAILED(result = discardAssignment(token))) return result;
      if (isOpeningBrace(token)) return DISP_E_EXCEPTION;
      continue;
    }
    if (!isKeyName(token)) return DISP_E_EXCEPTION;
    if (FAILED(result = readToken(token))) return result;
    if (FAILED(result = discardAssignment(token))) return result;
    if (isOpeningBrace(token)) {
      ++open;
      if (FAILED(result = readToken(token))) return result;
    }
  }
}

HRESULT RegistrarParser::writeItemValue(HKEY key, LPCSTR valueName, LPSTR token, bool quoteModule) {
  // The type letter goes where the '=' was; the token after the value replaces it.
  HeapBuffer valueText(kTokenCapacity);
  if (!valueText) return E_OUTOFMEMORY;
  HRESULT result = readToken(token);
  if (FAILED(result)) return result;
  DWORD type;
  if (!valueTypeFromLetter(token, type)) return DISP_E_EXCEPTION;
  skipBlanks();
  if (FAILED(result = readToken(valueText.get()))) return result;
  const char* text = valueText.get();
  const int length = lstrlenA(text);

  if (type == REG_SZ) {
    HeapBuffer quoted;
    if (quoteModule) {
      if (length > kMaxLocalServerValueLength) return E_FAIL;
      quoted = HeapBuffer(kTokenCapacity);
      if (!quoted) return E_OUTOFMEMORY;
      bool changed = false;
      if (FAILED(result = quotedModuleValue(text, quoted.get(), changed))) return result;
      if (changed) text = quoted.get();
    }
    RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(lstrlenA(text) + 1));
  } else if (type == REG_DWORD) {
    int wideLength = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    HeapBuffer wide(static_cast<std::size_t>(wideLength > 0 ? wideLength : 1) * sizeof(WCHAR));
    if (wideLength <= 0 || !wide ||
        MultiByteToWideChar(CP_ACP, 0, text, -1, reinterpret_cast<LPWSTR>(wide.get()),
                            wideLength) == 0)
      return E_OUTOFMEMORY;
    ULONG number = 0;
    // Text that is no number is a fault of the script, reported like any other.
    if (FAILED(VarUI4FromStr(reinterpret_cast<LPWSTR>(wide.get()), 0, 0, &number)))
      return DISP_E_EXCEPTION;
    DWORD value = number;
    RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
  } else {
    if (length % 2) return E_FAIL;
    HeapBuffer bytes(static_cast<std::size_t>(length / 2), HEAP_ZERO_MEMORY);
    if (!bytes) return E_FAIL;
    for (int i = 0; i < length / 2; ++i)
      bytes.get()[i] = static_cast<char>(hexDigit(text[2 * i]) << 4 | hexDigit(text[2 * i + 1]));
    RegSetValueExA(key, valueName, 0, REG_BINARY, reinterpret_cast<const BYTE*>(bytes.get()),
                   static_cast<DWORD>(length / 2));
  }
  return readToken(token);
}

// The value text with the first occurrence of the Module path put in double quotes,
// unless a double quote already stands right before it. `quoted` says whether it was.
HRESULT RegistrarParser::quotedModuleValue(LPCSTR text, char* result, bool& quoted) const {
  quoted = false;
  bool outOfMemory = false;
  LPCOLESTR module = map_.lookup(kModuleReplacement, &outOfMemory);
  if (!module) return outOfMemory ? E_OUTOFMEMORY : S_OK;
  HeapBuffer path = NarrowCopy(module);
  if (!path) return E_OUTOFMEMORY;
  const std::size_t pathLength = std::strlen(path.get());
  if (pathLength == 0) return S_OK;
  LPCSTR previous = nullptr;
  for (LPCSTR c = text; *c; previous = c, c = CharNextA(c)) {
    if (std::strncmp(c, path.get(), pathLength) != 0) continue;
    if (previous && *previous == '"') return S_OK;
    // Before, the quoted path, after: it must fit its buffer like any token.
    const std::size_t before = static_cast<std::size_t>(c - text);
    const std::size_t after = std::strlen(c + pathLength);
    if (before + pathLength + after + 2 >= static_cast<std::size_t>(kTokenCapacity)) return E_FAIL;
    char* out = result;
    std::memcpy(out, text, before);
    out += before;
    *out++ = '"';
    std::memcpy(out, path.get(), pathLength);
    out += pathLength;
    *out++ = '"';
    std::memcpy(out, c + pathLength, after + 1);
    quoted = true;
    return S_OK;
  }
  return S_OK;
}

}  // namespace kstv
