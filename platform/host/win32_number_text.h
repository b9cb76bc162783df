// Host build: OLE Automation's conversion of text to a number.
#pragma once

#include "platform/host/win32_oleauto.h"
#include "platform/host/win32_types.h"

// Converts text to an unsigned 32-bit number as OLE Automation does: blanks around it,
// an optional sign, decimal digits with an optional fraction (rounded half to even), or
// &H / &O for hexadecimal and octal.
HRESULT WINAPI VarUI4FromStr(const OLECHAR* text, LCID locale, ULONG flags, ULONG* number);
