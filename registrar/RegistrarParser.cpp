// The registrar script language: expansion of %NAME% references, tokens, root keys and
// value types.
#include "registrar/RegistrarParser.h"

#include <cstring>

#include "platform/handles.h"
#include "platform/heap.h"
#include "platform/text16.h"

namespace kstv {
namespace {

constexpr int kMaxReplacementNameLength = 31;

// Exactly these four bytes separate tokens.
bool isBlank(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

int characterLength(LPCSTR position) { return static_cast<int>(CharNextA(position) - position); }

const struct {
  const char* name;
  HKEY key;
} kRootKeys[] = {
    {"HKCR", HKEY_CLASSES_ROOT},
    {"HKCU", HKEY_CURRENT_USER},
    {"HKLM", HKEY_LOCAL_MACHINE},
    {"HKU", HKEY_USERS},
    {"HKPD", HKEY_PERFORMANCE_DATA},
    {"HKDD", HKEY_DYN_DATA},
    {"HKCC", HKEY_CURRENT_CONFIG},
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},
    {"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
    {"HKEY_DYN_DATA", HKEY_DYN_DATA},
    {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

constexpr struct {
  const char* letter;
  DWORD type;
} kValueTypes[] = {{"S", REG_SZ}, {"D", REG_DWORD}, {"B", REG_BINARY}};

// The growable output of expansion, from the COM task allocator.
class ExpansionBuffer {
 public:
  explicit ExpansionBuffer(int capacity)
      : capacity_(capacity), data_(static_cast<LPSTR>(CoTaskMemAlloc(capacity))) {}
  ~ExpansionBuffer() { CoTaskMemFree(data_); }
  ExpansionBuffer(const ExpansionBuffer&) = delete;
  ExpansionBuffer& operator=(const ExpansionBuffer&) = delete;

  bool ok() const { return data_ != nullptr; }

  // Appends one character of `length` bytes, doubling the capacity when it is full.
  bool append(LPCSTR character, int length) {
    if (used_ + length > capacity_) {
      auto* grown = static_cast<LPSTR>(CoTaskMemRealloc(data_, 2 * static_cast<SIZE_T>(capacity_)));
      if (!grown) return false;
      data_ = grown;
      capacity_ *= 2;
    }
    for (int i = 0; i < length; ++i) data_[used_++] = character[i];
    return true;
  }

  LPSTR release() {
    LPSTR data = data_;
    data_ = nullptr;
    return data;
  }

 private:
  int used_ = 0;
  int capacity_;
  LPSTR data_;
};

}  // namespace

HRESULT RegistrarParser::expandReplacements(LPCSTR text, LPSTR* expanded) {
  if (!expanded) return E_POINTER;
  *expanded = nullptr;
  if (!text) return E_POINTER;
  ExpansionBuffer buffer(2 * lstrlenA(text) + 2);
  if (!buffer.ok()) return E_OUTOFMEMORY;

  for (position_ = text; *position_;) {
    if (*position_ != '%') {
      int length = characterLength(position_);
      if (!buffer.append(position_, length)) return E_OUTOFMEMORY;
      position_ += length;
      continue;
    }
    if (position_[1] == '%') {
      if (!buffer.append("%", 1)) return E_OUTOFMEMORY;
      position_ += 2;
      continue;
    }
    LPCSTR name = position_ + 1;
    LPCSTR end = name;
    while (*end && *end != '%') end = CharNextA(end);
    if (!*end) return DISP_E_EXCEPTION;
    if (end - name > kMaxReplacementNameLength) return E_FAIL;
    char key[kMaxReplacementNameLength + 1];
    std::memcpy(key, name, static_cast<std::size_t>(end - name));
    key[end - name] = '\0';
    bool outOfMemory = false;
    LPCOLESTR value = map_.lookup(key, &outOfMemory);
    if (!value) return outOfMemory ? E_OUTOFMEMORY : DISP_E_EXCEPTION;
    HeapBuffer text8 = NarrowCopy(value);
    if (!text8) return E_OUTOFMEMORY;  // the conversion failed
    for (LPCSTR c = text8.get(); *c;) {
      int length = characterLength(c);
      if (!buffer.append(c, length)) return E_OUTOFMEMORY;
      c += length;
    }
    position_ = end + 1;
  }
  if (!buffer.append("", 1)) return E_OUTOFMEMORY;
  *expanded = buffer.release();
  return S_OK;
}

void RegistrarParser::skipBlanks() {
  while (isBlank(*position_)) position_ = CharNextA(position_);
}

HRESULT RegistrarParser::readToken(LPSTR token) {
  skipBlanks();
  if (!*position_) return DISP_E_EXCEPTION;
  int used = 0;
  // Copies one whole character, refusing one that would reach the 4096th byte.
  auto copy = [&]() {
    int length = characterLength(position_);
    if (used + length >= kTokenCapacity) return false;
    for (int i = 0; i < length; ++i) token[used++] = position_[i];
    position_ += length;
    return true;
  };

  if (*position_ == '\'') {
    ++position_;
    for (;;) {
      if (!*position_) return DISP_E_EXCEPTION;  // no closing quote
      if (*position_ == '\'') {
        if (position_[1] != '\'') break;
        ++position_;  // a doubled quote stands for one
      }
      if (!copy()) return DISP_E_EXCEPTION;
    }
    token[used] = '\0';
    ++position_;
    return S_OK;
  }
  while (*position_ && !isBlank(*position_)) {
    if (!copy()) return DISP_E_EXCEPTION;
  }
  token[used] = '\0';
  return S_OK;
}

HRESULT RegistrarParser::discardAssignment(LPSTR token) {
  if (token[0] != '=') return S_OK;
  HeapBuffer scratch(kTokenCapacity);
  if (!scratch) return E_OUTOFMEMORY;
  HRESULT result = readToken(token);  // the type, not checked
  if (FAILED(result)) return result;
  skipBlanks();
  result = readToken(scratch.get());  // the value
  if (FAILED(result)) return result;
  return readToken(token);
}

HKEY RegistrarParser::rootKeyFromName(LPCSTR name) {
  for (const auto& root : kRootKeys)
    if (lstrcmpiA(name, root.name) == 0) return root.key;
  return nullptr;
}

bool RegistrarParser::valueTypeFromLetter(LPCSTR letter, DWORD& type) {
  for (const auto& candidate : kValueTypes) {
    if (lstrcmpiA(letter, candidate.letter) == 0) {
      type = candidate.type;
      return true;
    }
  }
  return false;
}

}  // namespace kstv
