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

bool isPercent(char c) { return c == '%'; }
bool isQuote(char c) { return c == '\''; }

// The end of the run of whole characters from `position`: its terminating NUL or the
// first character that `stops` it.
template <typename Stops>
LPCSTR endOfRun(LPCSTR position, Stops stops) {
  while (*position && !stops(*position)) position += characterLength(position);
  return position;
}

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
  explicit ExpansionBuffer(std::size_t capacity)
      : capacity_(capacity), data_(static_cast<LPSTR>(CoTaskMemAlloc(capacity))) {}
  ~ExpansionBuffer() { CoTaskMemFree(data_); }
  ExpansionBuffer(const ExpansionBuffer&) = delete;
  ExpansionBuffer& operator=(const ExpansionBuffer&) = delete;

  bool ok() const { return data_ != nullptr; }

  // Appends `length` bytes (whole characters), doubling the capacity as often as it
  // takes when they do not fit.
  bool append(LPCSTR characters, std::size_t length) {
    while (used_ + length > capacity_) {
      auto* grown = static_cast<LPSTR>(CoTaskMemRealloc(data_, 2 * capacity_));
      if (!grown) return false;
      data_ = grown;
      capacity_ *= 2;
    }
    std::memcpy(data_ + used_, characters, length);
    used_ += length;
    return true;
  }

  LPSTR release() {
    LPSTR data = data_;
    data_ = nullptr;
    return data;
  }

 private:
  std::size_t used_ = 0;
  std::size_t capacity_;
  LPSTR data_;
};

}  // namespace

HRESULT RegistrarParser::expandReplacements(LPCSTR text, LPSTR* expanded) {
  if (!expanded) return E_POINTER;
  *expanded = nullptr;
  if (!text) return E_POINTER;
  ExpansionBuffer buffer(2 * static_cast<std::size_t>(lstrlenA(text)) + 2);
  if (!buffer.ok()) return E_OUTOFMEMORY;

  for (position_ = text; *position_;) {
    if (*position_ != '%') {
      // The characters up to the next '%' go in at once.
      LPCSTR run = position_;
      position_ = endOfRun(run, isPercent);
      if (!buffer.append(run, static_cast<std::size_t>(position_ - run))) return E_OUTOFMEMORY;
      continue;
    }
    if (position_[1] == '%') {
      if (!buffer.append("%", 1)) return E_OUTOFMEMORY;
      position_ += 2;
      continue;
    }
    LPCSTR name = position_ + 1;
    LPCSTR end = endOfRun(name, isPercent);
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
    // Its characters, each whole, are all of its bytes.
    if (!buffer.append(text8.get(), static_cast<std::size_t>(lstrlenA(text8.get()))))
      return E_OUTOFMEMORY;
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
  std::size_t used = 0;
  // Copies a run of whole characters, refusing it when it would reach the 4096th byte:
  // the same as refusing the first character that would.
  auto take = [&](LPCSTR run, std::size_t length) {
    if (used + length >= static_cast<std::size_t>(kTokenCapacity)) return false;
    std::memcpy(token + used, run, length);
    used += length;
    return true;
  };

  if (*position_ == '\'') {
    ++position_;
    for (;;) {
      LPCSTR run = position_;
      position_ = endOfRun(run, isQuote);
      if (!take(run, static_cast<std::size_t>(position_ - run))) return DISP_E_EXCEPTION;
      if (!*position_) return DISP_E_EXCEPTION;  // no closing quote
      if (position_[1] != '\'') break;
      if (!take(position_, 1)) return DISP_E_EXCEPTION;  // a doubled quote stands for one
      position_ += 2;
    }
    token[used] = '\0';
    ++position_;
    return S_OK;
  }
  LPCSTR run = position_;
  position_ = endOfRun(run, isBlank);
  if (!take(run, static_cast<std::size_t>(position_ - run))) return DISP_E_EXCEPTION;
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
