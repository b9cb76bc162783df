// RegistrarParser: reads a registrar script (replacement expansion, tokens, root keys,
// value types) and runs it against the registry in registration or unregistration mode.
#pragma once

#include "platform/win32.h"
#include "registrar/ReplacementMap.h"

namespace kstv {

class RegistrarParser {
 public:
  // Every token is read into a buffer of this size: at most 4095 bytes and a NUL.
  static constexpr int kTokenCapacity = 4096;
  // Blocks nest no deeper than registry keys can (512 levels): a deeper script is
  // refused before it can exhaust the stack.
  static constexpr int kMaxBlockDepth = 512;

  explicit RegistrarParser(const ReplacementMap& map) : map_(map) {}

  // Expands the replacements of `text` and runs its root entries. At registration a
  // failed root entry is run again in unregistration mode before the failure returns.
  HRESULT runScript(LPCSTR text, BOOL doRegister);

  // %NAME% references replaced, %% made one %; the caller frees the new text with
  // CoTaskMemFree. The result slot is null unless the expansion succeeds.
  HRESULT expandReplacements(LPCSTR text, LPSTR* expanded);
  void skipBlanks();
  // Reads the next token into a kTokenCapacity-byte buffer.
  HRESULT readToken(LPSTR token);
  // When `token` begins with '=', reads past the type and the value and reads the next
  // token into `token`; otherwise changes nothing.
  HRESULT discardAssignment(LPSTR token);

  static HKEY rootKeyFromName(LPCSTR name);
  static bool valueTypeFromLetter(LPCSTR letter, DWORD& type);

  // Where the next token is read (tests and the script tool read text token by token).
  void setReadPosition(LPCSTR position) { position_ = position; }
  LPCSTR readPosition() const { return position_; }

 private:
  // The items of one block, up to its closing token. Each item function reads its item
  // from its first token to the token after it.
  struct Block;
  HRESULT processBlock(LPSTR token, HKEY parent, BOOL doRegister, BOOL recovery);
  HRESULT processItem(Block& block, bool& keyEntry);
  HRESULT removeNamedKey(Block& block, bool deleteItem, bool& itemDone);
  HRESULT processValue(Block& block);
  HRESULT registerKey(Block& block);
  HRESULT unregisterKey(Block& block);
  HRESULT removeEmptyKey(Block& block);
  HRESULT unregisterKeyAndBlock(Block& block);
  HRESULT endItem(Block& block, bool keyEntry);
  // Reads a block body to its closing token without touching the registry and without
  // recursion: unregistration's way past blocks nested deeper than kMaxBlockDepth.
  HRESULT skipBlock(LPSTR token);
  HRESULT writeItemValue(HKEY key, LPCSTR valueName, LPSTR token, bool quoteModule);
  HRESULT quotedModuleValue(LPCSTR text, char* result, bool& quoted) const;

  LPCSTR position_ = nullptr;
  int depth_ = 0;
  const ReplacementMap& map_;
};

}  // namespace kstv
