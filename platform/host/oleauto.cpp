// BSTR and VARIANT. A BSTR is preceded by its length in bytes and followed by a 16-bit
// NUL, as OLE Automation lays it out.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/control.h"
#include "platform/host/detail/failures.h"

namespace kstv::host {
namespace {

std::atomic<long> liveStrings{0};

}  // namespace

std::size_t liveBstrCount() { return static_cast<std::size_t>(liveStrings.load()); }

}  // namespace kstv::host

BSTR WINAPI SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (kstv::host::detail::injectedFailure("SysAllocString")) return nullptr;
  auto* block =
      static_cast<unsigned char*>(std::malloc(sizeof(DWORD) + (length + 1) * sizeof(OLECHAR)));
  if (!block) return nullptr;
  DWORD bytes = length * sizeof(OLECHAR);
  std::memcpy(block, &bytes, sizeof bytes);
  auto* string = reinterpret_cast<BSTR>(block + sizeof(DWORD));
  if (text)
    std::memcpy(string, text, bytes);
  else
    std::memset(string, 0, bytes);
  string[length] = 0;
  ++kstv::host::liveStrings;
  return string;
}

BSTR WINAPI SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  UINT length = 0;
  while (text[length]) ++length;
  return SysAllocStringLen(text, length);
}

void WINAPI SysFreeString(BSTR text) {
  if (!text) return;
  --kstv::host::liveStrings;
  std::free(reinterpret_cast<unsigned char*>(text) - sizeof(DWORD));
}

UINT WINAPI SysStringLen(BSTR text) {
  if (!text) return 0;
  DWORD bytes;
  std::memcpy(&bytes, reinterpret_cast<unsigned char*>(text) - sizeof(DWORD), sizeof bytes);
  return bytes / sizeof(OLECHAR);
}

void WINAPI VariantInit(VARIANTARG* variant) {
  std::memset(variant, 0, sizeof *variant);
  variant->vt = VT_EMPTY;
}

HRESULT WINAPI VariantClear(VARIANTARG* variant) {
  switch (variant->vt) {
    case VT_BSTR:
      SysFreeString(variant->bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (variant->punkVal) variant->punkVal->Release();
      break;
    default:
      break;
  }
  VariantInit(variant);
  return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG* destination, const VARIANTARG* source) {
  VARIANT copy = *source;
  if (source->vt == VT_BSTR && source->bstrVal) {
    copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) && source->punkVal) {
    source->punkVal->AddRef();
  }
  VariantClear(destination);
  *destination = copy;
  return S_OK;
}

namespace {

HRESULT toString(const VARIANT& source, VARIANT& result) {
  std::u16string text;
  switch (source.vt) {
    case VT_EMPTY:
      break;
    case VT_I2:
    case VT_I4:
    case VT_UI4: {
      long long number = source.vt == VT_I2   ? source.iVal
                         : source.vt == VT_I4 ? source.lVal
                                              : source.ulVal;
      for (char c : std::to_string(number)) text.push_back(static_cast<char16_t>(c));
      break;
    }
    case VT_BOOL:
      text = source.boolVal ? u"True" : u"False";
      break;
    default:
      return DISP_E_TYPEMISMATCH;
  }
  result.vt = VT_BSTR;
  result.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return result.bstrVal ? S_OK : E_OUTOFMEMORY;
}

HRESULT toUnknown(const VARIANT& source, VARIANT& result) {
  if (source.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  result.vt = VT_UNKNOWN;
  result.punkVal = nullptr;
  if (!source.punkVal) return S_OK;
  return source.punkVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&result.punkVal));
}

}  // namespace

HRESULT WINAPI VariantChangeType(VARIANTARG* destination, VARIANTARG* source, WORD, VARTYPE type) {
  if (!destination || !source) return E_INVALIDARG;
  if (source->vt == type) return destination == source ? S_OK : VariantCopy(destination, source);
  VARIANT result;
  VariantInit(&result);
  HRESULT status;
  switch (type) {
    case VT_BSTR:
      status = toString(*source, result);
      break;
    case VT_UNKNOWN:
      status = toUnknown(*source, result);
      break;
    default:
      status = DISP_E_TYPEMISMATCH;
      break;
  }
  if (FAILED(status)) return status;
  VariantClear(destination);  // when destination is source, the source is done with here
  *destination = result;
  return S_OK;
}
