#include "service/ServiceConfiguration.h"

#include <utility>

namespace kstv {
namespace {

// What QueryServiceConfigA or QueryServiceConfig2A gives, in a buffer of the size asked
// for; empty on failure, with the code in `code`.
template <typename Query>
HeapBuffer ReadConfiguration(Query query, DWORD& code) {
  DWORD needed = 0;
  if (query(nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    code = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_GEN_FAILURE;
    return HeapBuffer();
  }
  HeapBuffer buffer(needed);
  if (!buffer) {
    code = ERROR_OUTOFMEMORY;
    return buffer;
  }
  code = query(reinterpret_cast<LPBYTE>(buffer.get()), needed, &needed) ? ERROR_SUCCESS
                                                                        : GetLastError();
  return code == ERROR_SUCCESS ? std::move(buffer) : HeapBuffer();
}

}  // namespace

HeapBuffer ReadServiceConfiguration(SC_HANDLE service, DWORD& code) {
  return ReadConfiguration(
      [&](LPBYTE buffer, DWORD size, LPDWORD needed) {
        return QueryServiceConfigA(service, reinterpret_cast<LPQUERY_SERVICE_CONFIGA>(buffer), size,
                                   needed);
      },
      code);
}

HeapBuffer ReadOptionalServiceConfiguration(SC_HANDLE service, DWORD level) {
  DWORD ignored = 0;
  return ReadConfiguration(
      [&](LPBYTE buffer, DWORD size, LPDWORD needed) {
        return QueryServiceConfig2A(service, level, buffer, size, needed);
      },
      ignored);
}

}  // namespace kstv
