// TokenSecurityDescriptor: the security descriptor handed to COM, whose owner and primary
// group are the identity of the running code (the thread's impersonation token, or the
// process token). It owns the descriptor and its own copies of the two SIDs.
#pragma once

#include "platform/win32.h"

namespace kstv {

class TokenSecurityDescriptor {
 public:
  TokenSecurityDescriptor() = default;
  ~TokenSecurityDescriptor();
  TokenSecurityDescriptor(const TokenSecurityDescriptor&) = delete;
  TokenSecurityDescriptor& operator=(const TokenSecurityDescriptor&) = delete;

  // Releases everything held and makes a fresh descriptor without owner or group.
  HRESULT Reset();
  // Sets (a copy of) `sid` as owner or group; a null SID leaves the descriptor without.
  HRESULT AssignOwner(PSID sid, BOOL defaulted);
  HRESULT AssignGroup(PSID sid, BOOL defaulted);
  // Builds the descriptor from the thread's token, or from the process token when the
  // thread has none and fallBackToProcess is set. A failure leaves the object empty.
  HRESULT InitFromToken(BOOL defaulted, BOOL fallBackToProcess);

  // The SIDs of a token's user and primary group, as plain-heap copies the caller frees
  // (HeapFree). Either output may be absent.
  static HRESULT CopyTokenIdentity(HANDLE token, PSID* userOut, PSID* groupOut);
  static HRESULT CopyThreadIdentity(PSID* userOut, PSID* groupOut, BOOL openAsSelf);
  static HRESULT CopyProcessIdentity(PSID* userOut, PSID* groupOut);

  PSECURITY_DESCRIPTOR descriptor() const { return descriptor_; }
  PSID owner() const { return owner_; }
  PSID group() const { return group_; }

 private:
  HRESULT Assign(PSID& copy, PSID sid, BOOL defaulted,
                 BOOL(WINAPI* set)(PSECURITY_DESCRIPTOR, PSID, BOOL));
  void ReleaseAll();

  SECURITY_DESCRIPTOR* descriptor_ = nullptr;
  PSID owner_ = nullptr;
  PSID group_ = nullptr;
  PACL dacl_ = nullptr;  // released, never filled: the descriptor carries no ACL
  PACL sacl_ = nullptr;
};

}  // namespace kstv
