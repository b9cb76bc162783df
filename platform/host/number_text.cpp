// VarUI4FromStr: text to an unsigned 32-bit number as OLE Automation reads it in the
// user default locale (English, United States): white space around, signs before or
// after, a currency sign, parentheses for a negative number, thousands separators, a
// decimal point, an exponent, &H and &O forms; the value rounded half to even.
#include <cstdint>
#include <string>

#include "platform/win32.h"

namespace kstv::host {
namespace {

constexpr std::uint64_t kLargest = 0xFFFFFFFFULL;

bool isSpace(OLECHAR c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' ||
         c == 0x00A0;
}
bool isDigit(OLECHAR c) { return c >= u'0' && c <= u'9'; }

int radixDigit(OLECHAR c, unsigned base) {
  int digit = -1;
  if (isDigit(c))
    digit = c - u'0';
  else if (c >= u'a' && c <= u'f')
    digit = c - u'a' + 10;
  else if (c >= u'A' && c <= u'F')
    digit = c - u'A' + 10;
  return digit >= 0 && static_cast<unsigned>(digit) < base ? digit : -1;
}

// What stands before the number.
struct Leading {
  bool plus = false, minus = false, currency = false, parenthesis = false;
};

// What stands after it: white space, signs (not one of a kind already in front), a
// currency sign where the number may have one, closing parentheses after an opening one.
bool readTrailing(const OLECHAR* p, const Leading& leading, bool currencyAllowed, bool& negative) {
  bool closed = false;
  for (; *p; ++p) {
    if (isSpace(*p)) continue;
    if (*p == u'+' && !leading.plus) continue;
    if (*p == u'-' && !leading.minus) {
      negative = true;
      continue;
    }
    if (*p == u'$' && currencyAllowed) continue;
    if (*p == u')' && leading.parenthesis) {
      closed = true;
      continue;
    }
    return false;
  }
  return closed == leading.parenthesis;
}

// `digits` × 10^exponent, rounded half to even; false when it passes kLargest.
bool roundedValue(const std::string& digits, std::int64_t exponent, std::uint64_t& value) {
  std::size_t first = digits.find_first_not_of('0');
  value = 0;
  if (first == std::string::npos) return true;
  const std::string significant = digits.substr(first);
  const std::int64_t integerLength = static_cast<std::int64_t>(significant.size()) + exponent;
  if (integerLength > 10) return false;
  for (std::int64_t i = 0; i < integerLength; ++i)
    value =
        value * 10 + (i < static_cast<std::int64_t>(significant.size()) ? significant[i] - '0' : 0);
  // The first digit behind the point decides, the rest breaks a tie.
  if (integerLength >= 0 && integerLength < static_cast<std::int64_t>(significant.size())) {
    const char decider = significant[integerLength];
    const bool rest = significant.find_first_not_of('0', integerLength + 1) != std::string::npos;
    if (decider > '5' || (decider == '5' && (rest || (value & 1)))) ++value;
  }
  return value <= kLargest;
}

// The signs, currency sign and parenthesis before the number, with white space; gives
// where the number begins.
const OLECHAR* readLeading(const OLECHAR* p, Leading& leading) {
  for (;; ++p) {
    if (isSpace(*p)) continue;
    if (*p == u'+' && !leading.plus)
      leading.plus = true;
    else if (*p == u'-' && !leading.minus)
      leading.minus = true;
    else if (*p == u'$' && !leading.currency)
      leading.currency = true;
    else if (*p == u'(' && !leading.parenthesis)
      leading.parenthesis = true;
    else
      return p;
  }
}

// &H and &O (p is past them): the digits as a bit pattern, whatever the signs say.
HRESULT radixNumber(const OLECHAR* p, unsigned base, const Leading& leading, ULONG* number) {
  std::uint64_t value = 0;
  bool digits = false, overflow = false;
  for (int digit; (digit = radixDigit(*p, base)) >= 0; ++p, digits = true) {
    value = value * base + static_cast<unsigned>(digit);
    if (value > kLargest) overflow = true, value = kLargest;
  }
  bool ignored = false;
  if (!digits || !readTrailing(p, leading, false, ignored)) return DISP_E_TYPEMISMATCH;
  if (overflow) return DISP_E_OVERFLOW;
  *number = static_cast<ULONG>(value);
  return S_OK;
}

// A decimal number as read: its digits, how many stand behind the point, the exponent.
struct Decimal {
  std::string digits;
  std::int64_t fractionDigits = 0;
  bool digitSeen = false;
  std::uint32_t exponent = 0;  // accumulates with wrap-around, as the platform's does
  bool exponentMinus = false;
};

// Digits with thousands separators and a point, then an exponent. A digit after the
// exponent's own digits and a separator joins the mantissa again. Gives where the
// number ends, or null for an exponent without digits.
const OLECHAR* readDecimal(const OLECHAR* p, Decimal& number) {
  bool pointSeen = false, exponentSeen = false, inExponent = false;
  bool exponentDigits = false, exponentPlus = false;
  for (;; ++p) {
    if (isDigit(*p)) {
      if (inExponent) {
        number.exponent = number.exponent * 10 + static_cast<std::uint32_t>(*p - u'0');
        exponentDigits = true;
      } else {
        number.digits.push_back(static_cast<char>(*p));
        if (pointSeen) ++number.fractionDigits;
        number.digitSeen = true;
      }
      continue;
    }
    if (*p == u',' && (number.digitSeen || pointSeen)) {
      if (inExponent && exponentDigits) inExponent = false;
      continue;
    }
    if (inExponent && !exponentDigits) {
      if (*p == u'+' && !exponentPlus) {
        exponentPlus = true;
        continue;
      }
      if (*p == u'-' && !number.exponentMinus) {
        number.exponentMinus = true;
        continue;
      }
      return nullptr;
    }
    inExponent = false;
    if (*p == u'.' && !pointSeen && !exponentSeen) {
      pointSeen = true;
      continue;
    }
    if ((*p == u'e' || *p == u'E') && number.digitSeen && !exponentSeen) {
      exponentSeen = inExponent = true;
      continue;
    }
    return p;
  }
}

HRESULT decimalNumber(const OLECHAR* p, const Leading& leading, ULONG* number) {
  bool negative = leading.minus || leading.parenthesis;
  Decimal decimal;
  p = readDecimal(p, decimal);
  if (!p || !decimal.digitSeen || !readTrailing(p, leading, true, negative))
    return DISP_E_TYPEMISMATCH;
  std::int64_t scale = static_cast<std::int32_t>(decimal.exponent);
  if (decimal.exponentMinus) scale = -scale;
  std::uint64_t value = 0;
  if (!roundedValue(decimal.digits, scale - decimal.fractionDigits, value)) return DISP_E_OVERFLOW;
  if (negative && value != 0) return DISP_E_OVERFLOW;
  *number = static_cast<ULONG>(value);
  return S_OK;
}

}  // namespace
}  // namespace kstv::host

HRESULT WINAPI VarUI4FromStr(const OLECHAR* text, LCID, ULONG, ULONG* number) {
  using namespace kstv::host;
  if (!text || !number) return E_INVALIDARG;
  Leading leading;
  const OLECHAR* p = readLeading(text, leading);
  if (p[0] == u'&' && !leading.currency &&
      (p[1] == u'H' || p[1] == u'h' || p[1] == u'O' || p[1] == u'o'))
    return radixNumber(p + 2, (p[1] == u'H' || p[1] == u'h') ? 16 : 8, leading, number);
  return decimalNumber(p, leading, number);
}
