#include "service/TokenSecurityDescriptor.h"

#include <new>

namespace kstv {
namespace {

// The calling thread's last error, converted; a failure whatever the error says.
HRESULT LastError() {
  HRESULT result = HRESULT_FROM_WIN32(GetLastError());
  return FAILED(result) ? result : E_FAIL;
}

void FreeHeap(void*& block) {
  if (!block) return;
  HeapFree(GetProcessHeap(), 0, block);
  block = nullptr;
}

template <typename Block>
void FreeHeapBlock(Block*& block) {
  void* raw = block;
  FreeHeap(raw);
  block = nullptr;
}

// Copies the SID of one kind of token information (TokenUser or TokenPrimaryGroup).
HRESULT CopyTokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind, PSID* out) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return LastError();
  void* information = HeapAlloc(GetProcessHeap(), 0, size);
  if (!information) return E_OUTOFMEMORY;
  HRESULT result = S_OK;
  if (!GetTokenInformation(token, kind, information, size, &size)) {
    result = LastError();
  } else {
    PSID sid = kind == TokenUser ? static_cast<TOKEN_USER*>(information)->User.Sid
                                 : static_cast<TOKEN_PRIMARY_GROUP*>(information)->PrimaryGroup;
    DWORD length = GetLengthSid(sid);
    void* copy = HeapAlloc(GetProcessHeap(), 0, length);
    if (!copy) {
      result = E_OUTOFMEMORY;
    } else if (!CopySid(length, copy, sid)) {
      result = LastError();
      FreeHeap(copy);
    } else {
      *out = copy;
    }
  }
  FreeHeap(information);
  return result;
}

}  // namespace

TokenSecurityDescriptor::~TokenSecurityDescriptor() { ReleaseAll(); }

void TokenSecurityDescriptor::ReleaseAll() {
  delete descriptor_;
  descriptor_ = nullptr;
  FreeHeap(owner_);
  FreeHeap(group_);
  FreeHeapBlock(dacl_);
  FreeHeapBlock(sacl_);
}

HRESULT TokenSecurityDescriptor::Reset() {
  ReleaseAll();
  descriptor_ = new (std::nothrow) SECURITY_DESCRIPTOR;
  if (!descriptor_) return E_OUTOFMEMORY;
  if (!InitializeSecurityDescriptor(descriptor_, SECURITY_DESCRIPTOR_REVISION)) {
    HRESULT result = LastError();
    delete descriptor_;
    descriptor_ = nullptr;
    return result;
  }
  return S_OK;
}

HRESULT TokenSecurityDescriptor::Assign(PSID& copy, PSID sid, BOOL defaulted,
                                        BOOL(WINAPI* set)(PSECURITY_DESCRIPTOR, PSID, BOOL)) {
  // First the descriptor is left without this SID, then the old copy goes.
  if (!set(descriptor_, nullptr, defaulted)) return LastError();
  FreeHeap(copy);
  if (!sid) return S_OK;
  if (!IsValidSid(sid)) return E_INVALIDARG;
  DWORD length = GetLengthSid(sid);
  copy = HeapAlloc(GetProcessHeap(), 0, length);
  if (!copy) return E_OUTOFMEMORY;
  if (!CopySid(length, copy, sid) || !set(descriptor_, copy, defaulted)) {
    HRESULT result = LastError();
    FreeHeap(copy);
    return result;
  }
  return S_OK;
}

HRESULT TokenSecurityDescriptor::AssignOwner(PSID sid, BOOL defaulted) {
  return Assign(owner_, sid, defaulted, SetSecurityDescriptorOwner);
}

HRESULT TokenSecurityDescriptor::AssignGroup(PSID sid, BOOL defaulted) {
  return Assign(group_, sid, defaulted, SetSecurityDescriptorGroup);
}

HRESULT TokenSecurityDescriptor::CopyTokenIdentity(HANDLE token, PSID* userOut, PSID* groupOut) {
  if (userOut) *userOut = nullptr;
  if (groupOut) *groupOut = nullptr;
  if (userOut) {
    HRESULT result = CopyTokenSid(token, TokenUser, userOut);
    if (FAILED(result)) return result;
  }
  if (groupOut) return CopyTokenSid(token, TokenPrimaryGroup, groupOut);
  return S_OK;
}

HRESULT TokenSecurityDescriptor::CopyThreadIdentity(PSID* userOut, PSID* groupOut,
                                                    BOOL openAsSelf) {
  if (userOut) *userOut = nullptr;
  if (groupOut) *groupOut = nullptr;
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, openAsSelf, &token)) return LastError();
  HRESULT result = CopyTokenIdentity(token, userOut, groupOut);
  CloseHandle(token);
  return result;
}

HRESULT TokenSecurityDescriptor::CopyProcessIdentity(PSID* userOut, PSID* groupOut) {
  if (userOut) *userOut = nullptr;
  if (groupOut) *groupOut = nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return LastError();
  HRESULT result = CopyTokenIdentity(token, userOut, groupOut);
  CloseHandle(token);
  return result;
}

HRESULT TokenSecurityDescriptor::InitFromToken(BOOL defaulted, BOOL fallBackToProcess) {
  HRESULT result = Reset();
  if (FAILED(result)) return result;
  PSID user = nullptr;
  PSID group = nullptr;
  result = CopyThreadIdentity(&user, &group, FALSE);
  if ((result & 0xFFFF) == ERROR_NO_TOKEN && fallBackToProcess) {
    // A failed thread copy may have left the user SID: the retry must not lose it.
    FreeHeap(user);
    FreeHeap(group);
    result = CopyProcessIdentity(&user, &group);
  }
  if (SUCCEEDED(result)) {
    result = AssignOwner(user, defaulted);
    if (SUCCEEDED(result)) result = AssignGroup(group, defaulted);
  }
  FreeHeap(user);
  FreeHeap(group);
  if (FAILED(result)) {
    delete descriptor_;
    descriptor_ = nullptr;
    FreeHeap(owner_);
    FreeHeap(group_);
  }
  return result;
}

}  // namespace kstv
