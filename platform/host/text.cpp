// ANSI code pages on the host: 1252 by table, 932 (double-byte) through the C library's
// iconv; UTF-8 by hand. Conversions follow MultiByteToWideChar / WideCharToMultiByte.
#include "platform/host/detail/text.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"

namespace kstv::host {
namespace {

std::atomic<UINT> activeCodePage{1252};

constexpr char16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// What code page 932 gives for a byte or byte pair it does not define.
constexpr char16_t kDefault932 = 0x30FB;
constexpr char16_t kReplacement = 0xFFFD;

bool isLeadByte(UINT codePage, unsigned char byte) {
  return codePage == 932 && ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC));
}

class Iconv {
 public:
  Iconv(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Iconv() {
    if (handle_ != reinterpret_cast<iconv_t>(-1)) iconv_close(handle_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;

  // Converts one whole character; nothing when the input is not one mappable character.
  std::optional<std::string> convert(const char* in, std::size_t length) {
    if (handle_ == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    char out[8];
    char* input = const_cast<char*>(in);
    char* output = out;
    std::size_t inLeft = length, outLeft = sizeof out;
    if (iconv(handle_, &input, &inLeft, &output, &outLeft) == static_cast<std::size_t>(-1) ||
        inLeft != 0)
      return std::nullopt;
    return std::string(out, output);
  }

 private:
  iconv_t handle_;
};

// Conversions of code page 932 come from iconv once per character and are remembered
// here, shared by every thread: 0 for not yet asked, else kKnown with the answer, or
// kUnmapped. Two threads asking at once store the same answer.
constexpr std::uint32_t kKnown = 1U << 24;
constexpr std::uint32_t kUnmapped = 2U << 24;

std::optional<char16_t> decode932PairByIconv(unsigned char lead, unsigned char trail) {
  thread_local Iconv decoder("UTF-16LE", "CP932");
  const char pair[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  auto unit = decoder.convert(pair, 2);
  if (!unit || unit->size() != 2) return std::nullopt;
  return static_cast<char16_t>(static_cast<unsigned char>((*unit)[0]) |
                               (static_cast<unsigned char>((*unit)[1]) << 8));
}

std::optional<char16_t> decode932Pair(unsigned char lead, unsigned char trail) {
  static std::atomic<std::uint32_t> pairs[0x10000];
  std::atomic<std::uint32_t>& entry = pairs[(lead << 8) | trail];
  std::uint32_t known = entry.load(std::memory_order_relaxed);
  if (known == 0) {
    auto unit = decode932PairByIconv(lead, trail);
    known = unit ? kKnown | *unit : kUnmapped;
    entry.store(known, std::memory_order_relaxed);
  }
  if (known == kUnmapped) return std::nullopt;
  return static_cast<char16_t>(known & 0xFFFF);
}

std::optional<std::string> encode932ByIconv(char16_t unit) {
  thread_local Iconv encoder("CP932", "UTF-16LE");
  const char bytes[2] = {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
  return encoder.convert(bytes, 2);
}

std::optional<std::string> encode932(char16_t unit) {
  if (unit < 0x80) return std::string(1, static_cast<char>(unit));
  if (unit >= 0xFF61 && unit <= 0xFF9F)
    return std::string(1, static_cast<char>(0xA1 + (unit - 0xFF61)));
  // An answer of one or two bytes: the byte count in bits 16 and up, the bytes below.
  static std::atomic<std::uint32_t> units[0x10000];
  std::atomic<std::uint32_t>& entry = units[unit];
  std::uint32_t known = entry.load(std::memory_order_relaxed);
  if (known == 0) {
    auto bytes = encode932ByIconv(unit);
    known = kUnmapped;
    if (bytes && bytes->size() == 1)
      known = kKnown | (1U << 16) | static_cast<unsigned char>((*bytes)[0]);
    else if (bytes && bytes->size() == 2)
      known = kKnown | (2U << 16) | (static_cast<unsigned char>((*bytes)[0]) << 8) |
              static_cast<unsigned char>((*bytes)[1]);
    entry.store(known, std::memory_order_relaxed);
  }
  if (known == kUnmapped) return std::nullopt;
  const char pair[2] = {static_cast<char>((known >> 8) & 0xFF), static_cast<char>(known & 0xFF)};
  return ((known >> 16) & 0xFF) == 1 ? std::string(1, pair[1]) : std::string(pair, 2);
}

// Decodes the UTF-8 character at text[i] into `out` and steps past it: the count of
// units written (two for a character beyond the BMP), or 0 when the bytes are no valid
// character (`i` then steps one byte).
int decodeUtf8Character(std::string_view text, std::size_t& i, char16_t out[2]) {
  auto byte = static_cast<unsigned char>(text[i]);
  int extra = byte < 0x80             ? 0
              : (byte & 0xE0) == 0xC0 ? 1
              : (byte & 0xF0) == 0xE0 ? 2
              : (byte & 0xF8) == 0xF0 ? 3
                                      : -1;
  char32_t code = extra == 0   ? byte
                  : extra == 1 ? (byte & 0x1F)
                  : extra == 2 ? (byte & 0x0F)
                               : (byte & 0x07);
  bool valid = extra >= 0 && i + extra < text.size();
  for (int k = 1; valid && k <= extra; ++k) {
    auto next = static_cast<unsigned char>(text[i + k]);
    valid = (next & 0xC0) == 0x80;
    code = (code << 6) | (next & 0x3F);
  }
  if (valid &&
      ((extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) ||
       (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) || (code >= 0xD800 && code <= 0xDFFF)))
    valid = false;
  if (!valid) {
    ++i;
    return 0;
  }
  i += extra + 1;
  if (code < 0x10000) {
    out[0] = static_cast<char16_t>(code);
    return 1;
  }
  code -= 0x10000;
  out[0] = static_cast<char16_t>(0xD800 + (code >> 10));
  out[1] = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  return 2;
}

// Decodes the character of ANSI code page 932 or 1252 at text[i] and steps past it;
// nothing when the bytes are no character of the code page.
std::optional<char16_t> decodeAnsiCharacter(UINT codePage, std::string_view text, std::size_t& i) {
  auto byte = static_cast<unsigned char>(text[i]);
  if (codePage != 932) {
    ++i;
    return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
  }
  if (byte < 0x80) {
    ++i;
    return byte;
  }
  if (byte >= 0xA1 && byte <= 0xDF) {
    ++i;
    return static_cast<char16_t>(0xFF61 + (byte - 0xA1));
  }
  if (isLeadByte(932, byte) && i + 1 < text.size()) {
    auto trail = static_cast<unsigned char>(text[i + 1]);
    i += 2;
    return decode932Pair(byte, trail);
  }
  ++i;
  return std::nullopt;
}

// Decodes `text` in `codePage`; nothing when strict and a byte sequence is invalid.
std::optional<std::u16string> decode(UINT codePage, std::string_view text, bool strict) {
  std::u16string wide(text.size(), u'\0');  // never more units than bytes
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (codePage == 65001) {
      int units = decodeUtf8Character(text, i, &wide[used]);
      if (units == 0 && strict) return std::nullopt;
      if (units == 0) wide[used++] = kReplacement;
      used += static_cast<std::size_t>(units);
      continue;
    }
    std::optional<char16_t> unit = decodeAnsiCharacter(codePage, text, i);
    if (!unit && strict) return std::nullopt;
    wide[used++] = unit.value_or(kDefault932);
  }
  wide.resize(used);
  return wide;
}

// Appends `wide` in UTF-8, each unit passed through `map` first (surrogates pass
// unchanged); a surrogate without its partner becomes U+FFFD.
template <typename Map>
void appendUtf8(std::u16string_view wide, std::string& text, Map map) {
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t code = map(wide[i]);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (wide[++i] - 0xDC00);
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement;
    }
    if (code < 0x80) {
      text.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      text.push_back(static_cast<char>(0xC0 | (code >> 6)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      text.push_back(static_cast<char>(0xE0 | (code >> 12)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      text.push_back(static_cast<char>(0xF0 | (code >> 18)));
      text.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      text.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
}

// Encodes `wide` in `codePage`; unmappable characters become `defaultChar`.
std::string encode(UINT codePage, std::u16string_view wide, char defaultChar, bool* usedDefault) {
  std::string text;
  text.reserve(wide.size());
  if (codePage == 65001) {
    appendUtf8(wide, text, [](char16_t unit) { return unit; });
    return text;
  }
  for (char16_t unit : wide) {
    std::optional<std::string> bytes;
    if (codePage == 932) {
      bytes = encode932(unit);
    } else if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
      bytes = std::string(1, static_cast<char>(unit));
    } else {
      for (int k = 0; k < 32; ++k)
        if (kWindows1252High[k] == unit) bytes = std::string(1, static_cast<char>(0x80 + k));
    }
    if (!bytes) {
      bytes = std::string(1, defaultChar);
      if (usedDefault) *usedDefault = true;
    }
    text += *bytes;
  }
  return text;
}

// The units a character weighs as in lstrcmpiA's comparison (see collationForm): none,
// one or two, written to `out`.
int collationUnits(char16_t unit, char16_t out[2]) {
  const char16_t* expansion = nullptr;
  switch (unit) {
    case 0x00AD:  // the soft hyphen weighs nothing
      return 0;
    case 0x02C6:  // the modifier circumflex sorts as the circumflex accent
      out[0] = u'^';
      return 1;
    case 0x00C6:
    case 0x00E6:
      expansion = u"AE";
      break;
    case 0x0152:
    case 0x0153:
      expansion = u"OE";
      break;
    case 0x00DE:
    case 0x00FE:
      expansion = u"TH";
      break;
    case 0x00DF:
      expansion = u"SS";
      break;
    default:
      out[0] = detail::foldCase(unit);
      return 1;
  }
  out[0] = expansion[0];
  out[1] = expansion[1];
  return 2;
}

// The collation units of an ANSI string, one at a time: the units of
// collationForm(ansiToWide(text)), without making either string.
class CollationUnits {
 public:
  explicit CollationUnits(LPCSTR text) : text_(text) {}

  // The next unit; nothing after the last.
  std::optional<char16_t> next() {
    while (index_ == count_) {
      if (position_ == text_.size()) return std::nullopt;
      char16_t unit = decodeAnsiCharacter(activeCodePage, text_, position_).value_or(kDefault932);
      count_ = collationUnits(unit, units_);
      index_ = 0;
    }
    return units_[index_++];
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
  char16_t units_[2] = {};
  int count_ = 0;
  int index_ = 0;
};

UINT resolve(UINT codePage) { return codePage == CP_ACP ? activeCodePage.load() : codePage; }

bool supported(UINT codePage) { return codePage == 1252 || codePage == 932 || codePage == 65001; }

}  // namespace

void setAnsiCodePage(UINT codePage) {
  if (codePage == 1252 || codePage == 932 || codePage == 65001) activeCodePage = codePage;
}

namespace detail {

std::u16string ansiToWide(std::string_view text) { return *decode(activeCodePage, text, false); }

std::string wideToAnsi(std::u16string_view text) {
  return encode(activeCodePage, text, '?', nullptr);
}

std::string wideToUtf8(std::u16string_view text) { return encode(65001, text, '?', nullptr); }

std::u16string utf8ToWide(std::string_view text) { return *decode(65001, text, false); }

char16_t foldCase(char16_t unit) {
  if (unit >= u'a' && unit <= u'z') return unit - 0x20;
  if (unit < 0x80) return unit;
  if ((unit >= 0xE0 && unit <= 0xFE && unit != 0xF7)) return unit - 0x20;
  if (unit == 0xFF) return 0x178;
  if (unit >= 0x100 && unit <= 0x17F && unit != 0x130 && unit != 0x131 && unit != 0x138 &&
      unit != 0x149 && unit != 0x17F) {
    // Latin Extended-A pairs capital and small letters as even/odd, except in the
    // stretch 0x139-0x148 and 0x179-0x17E, where the capital is odd.
    bool oddCapital = (unit >= 0x139 && unit <= 0x148) || (unit >= 0x179 && unit <= 0x17E);
    bool isSmall = oddCapital ? (unit % 2 == 0) : (unit % 2 == 1);
    return isSmall ? unit - 1 : unit;
  }
  if (unit >= 0x3B1 && unit <= 0x3C9 && unit != 0x3C2) return unit - 0x20;
  if (unit >= 0x430 && unit <= 0x44F) return unit - 0x20;
  if (unit >= 0x450 && unit <= 0x45F) return unit - 0x50;
  return unit;
}

void assignFoldedUtf8(std::u16string_view text, std::string& folded) {
  folded.clear();
  appendUtf8(text, folded, [](char16_t unit) { return foldCase(unit); });
}

std::u16string foldCase(std::u16string_view text) {
  std::u16string folded(text);
  for (char16_t& unit : folded) unit = foldCase(unit);
  return folded;
}

std::u16string collationForm(std::u16string_view text) {
  std::u16string form;
  char16_t units[2];
  for (char16_t unit : text)
    form.append(units, static_cast<std::size_t>(collationUnits(unit, units)));
  return form;
}

}  // namespace detail
}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

UINT WINAPI GetACP() { return kstv::host::activeCodePage; }

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
  return kstv::host::isLeadByte(kstv::host::activeCodePage, testChar) ? TRUE : FALSE;
}

LPSTR WINAPI CharNextA(LPCSTR current) {
  if (*current == '\0') return const_cast<LPSTR>(current);
  if (IsDBCSLeadByte(static_cast<BYTE>(*current)) && current[1] != '\0')
    return const_cast<LPSTR>(current + 2);
  return const_cast<LPSTR>(current + 1);
}

int WINAPI lstrlenA(LPCSTR text) { return text ? static_cast<int>(std::strlen(text)) : 0; }

int WINAPI CompareStringOrdinal(LPCWSTR first, int firstCount, LPCWSTR second, int secondCount,
                                BOOL ignoreCase) {
  if (!first || !second || firstCount < -1 || secondCount < -1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto length = [](LPCWSTR text, int count) {
    return count >= 0 ? static_cast<std::size_t>(count)
                      : std::u16string_view(reinterpret_cast<const char16_t*>(text)).size();
  };
  const std::size_t firstLength = length(first, firstCount);
  const std::size_t secondLength = length(second, secondCount);
  for (std::size_t i = 0; i < firstLength && i < secondLength; ++i) {
    char16_t x = static_cast<char16_t>(first[i]), y = static_cast<char16_t>(second[i]);
    if (ignoreCase) x = kstv::host::detail::foldCase(x), y = kstv::host::detail::foldCase(y);
    if (x != y) return x < y ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (firstLength == secondLength) return CSTR_EQUAL;
  return firstLength < secondLength ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second) {
  if (!first || !second) return first == second ? 0 : (first ? 1 : -1);
  // ASCII reads the same in every ANSI code page and its collation form is its upper
  // case: compare it in place (keywords and names are compared this way all the time).
  const auto* x = reinterpret_cast<const unsigned char*>(first);
  const auto* y = reinterpret_cast<const unsigned char*>(second);
  for (;; ++x, ++y) {
    if (*x >= 0x80 || *y >= 0x80) break;
    unsigned char upperX = (*x >= 'a' && *x <= 'z') ? *x - 0x20 : *x;
    unsigned char upperY = (*y >= 'a' && *y <= 'z') ? *y - 0x20 : *y;
    if (upperX != upperY) {
      // The rest decides only when both strings stay ASCII to their ends.
      bool ascii = true;
      for (const unsigned char* p = x; *p && ascii; ++p) ascii = *p < 0x80;
      for (const unsigned char* p = y; *p && ascii; ++p) ascii = *p < 0x80;
      if (!ascii) break;
      return upperX < upperY ? -1 : 1;
    }
    if (!*x) return 0;
  }
  // The rest by collation units, as the two strings' collation forms compare. The
  // equal ASCII prefix ends on a character boundary in either code page.
  kstv::host::CollationUnits a(reinterpret_cast<LPCSTR>(x)), b(reinterpret_cast<LPCSTR>(y));
  for (;;) {
    std::optional<char16_t> unitA = a.next(), unitB = b.next();
    if (!unitA || !unitB) return unitA ? 1 : (unitB ? -1 : 0);
    if (*unitA != *unitB) return *unitA < *unitB ? -1 : 1;
  }
}

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int byteCount, LPWSTR wide,
                               int wideCount) {
  if (auto code = injectedFailure("MultiByteToWideChar")) {
    SetLastError(*code);
    return 0;
  }
  codePage = kstv::host::resolve(codePage);
  if (!text || byteCount == 0 || wideCount < 0 || (!wide && wideCount > 0) ||
      !kstv::host::supported(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD allowed = codePage == 65001 ? MB_ERR_INVALID_CHARS : 0xFUL;
  if (flags & ~allowed) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::size_t length = byteCount < 0 ? std::strlen(text) + 1 : static_cast<std::size_t>(byteCount);
  auto converted = kstv::host::decode(codePage, std::string_view(text, length),
                                      (flags & MB_ERR_INVALID_CHARS) != 0);
  if (!converted) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (wideCount == 0) return static_cast<int>(converted->size());
  if (converted->size() > static_cast<std::size_t>(wideCount)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(converted->begin(), converted->end(), wide);
  return static_cast<int>(converted->size());
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount, LPSTR text,
                               int byteCount, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  if (auto code = injectedFailure("WideCharToMultiByte")) {
    SetLastError(*code);
    return 0;
  }
  codePage = kstv::host::resolve(codePage);
  if (!wide || wideCount == 0 || byteCount < 0 || (!text && byteCount > 0) ||
      !kstv::host::supported(codePage) || (codePage == 65001 && (defaultChar || usedDefaultChar))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // UTF-8 takes no flag but WC_ERR_INVALID_CHARS, which only it takes.
  if ((codePage == 65001 && (flags & ~WC_ERR_INVALID_CHARS)) ||
      (codePage != 65001 && (flags & ~WC_NO_BEST_FIT_CHARS & ~0x270UL))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  std::size_t length = 0;
  if (wideCount < 0) {
    while (wide[length] != 0) ++length;
    ++length;
  } else {
    length = static_cast<std::size_t>(wideCount);
  }
  if (codePage == 65001 && (flags & WC_ERR_INVALID_CHARS)) {
    for (std::size_t i = 0; i < length; ++i) {
      const bool high = wide[i] >= 0xD800 && wide[i] <= 0xDBFF;
      const bool low = wide[i] >= 0xDC00 && wide[i] <= 0xDFFF;
      if (high && i + 1 < length && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
        ++i;
      } else if (high || low) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
    }
  }
  bool usedDefault = false;
  std::string converted = kstv::host::encode(codePage, std::u16string_view(wide, length),
                                             defaultChar ? *defaultChar : '?', &usedDefault);
  if (usedDefaultChar) *usedDefaultChar = usedDefault ? TRUE : FALSE;
  if (byteCount == 0) return static_cast<int>(converted.size());
  if (converted.size() > static_cast<std::size_t>(byteCount)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(text, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}
