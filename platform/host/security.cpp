// Tokens, SIDs and security descriptors. The process token's user and primary group are
// the Unix identities as Windows networks spell them: S-1-22-1-<uid> and S-1-22-2-<gid>.
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/host/control.h"
#include "platform/host/detail/call_records.h"
#include "platform/host/detail/failures.h"
#include "platform/host/detail/kernel_handles.h"

namespace kstv::host {
namespace {

constexpr BYTE kSidRevision = 1;
constexpr BYTE kMaxSubAuthorities = 15;
constexpr DWORD kSidHeaderLength = 8;

// A SID S-1-22-<kind>-<id> in its binary form.
std::vector<BYTE> UnixSid(DWORD kind, DWORD id) {
  std::vector<BYTE> bytes(kSidHeaderLength + 2 * sizeof(DWORD));
  bytes[0] = kSidRevision;
  bytes[1] = 2;
  bytes[7] = 22;  // the identifier authority, big-endian in six bytes
  std::memcpy(bytes.data() + 8, &kind, sizeof kind);
  std::memcpy(bytes.data() + 12, &id, sizeof id);
  return bytes;
}

struct Token : detail::KernelObject {
  Token(std::vector<BYTE> userSid, std::vector<BYTE> groupSid)
      : user(std::move(userSid)), group(std::move(groupSid)) {}
  std::vector<BYTE> user;
  std::vector<BYTE> group;
};

struct Impersonation {
  DWORD user;
  DWORD group;
};
thread_local std::optional<Impersonation> threadToken;

std::mutex comSecurityLock;
bool comSecurityCalled = false;
ComSecurityArguments comSecurityGiven;

std::vector<BYTE> SidBytes(PSID sid) {
  if (!sid) return {};
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + kSidHeaderLength + 4 * bytes[1]);
}

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL FillSid(const std::vector<BYTE>& sid, LPVOID information, DWORD length, LPDWORD returnLength,
             bool user) {
  DWORD header = user ? sizeof(TOKEN_USER) : sizeof(TOKEN_PRIMARY_GROUP);
  DWORD needed = header + static_cast<DWORD>(sid.size());
  if (returnLength) *returnLength = needed;
  if (!information || length < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  BYTE* copy = static_cast<BYTE*>(information) + header;
  std::memcpy(copy, sid.data(), sid.size());
  if (user) {
    static_cast<TOKEN_USER*>(information)->User = SID_AND_ATTRIBUTES{copy, 0};
  } else {
    static_cast<TOKEN_PRIMARY_GROUP*>(information)->PrimaryGroup = copy;
  }
  return TRUE;
}

SECURITY_DESCRIPTOR* DescriptorOf(PSECURITY_DESCRIPTOR descriptor) {
  auto* absolute = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  return absolute && absolute->Revision == SECURITY_DESCRIPTOR_REVISION ? absolute : nullptr;
}

}  // namespace

void impersonate(DWORD user, DWORD group) { threadToken = Impersonation{user, group}; }
void revertToSelf() { threadToken.reset(); }

bool comSecurityInitialized() {
  std::lock_guard guard(comSecurityLock);
  return comSecurityCalled;
}

ComSecurityArguments comSecurityArguments() {
  std::lock_guard guard(comSecurityLock);
  return comSecurityGiven;
}

void resetComSecurity() {
  std::lock_guard guard(comSecurityLock);
  comSecurityCalled = false;
  comSecurityGiven = ComSecurityArguments{};
}

}  // namespace kstv::host

using kstv::host::detail::injectedFailure;

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD, BOOL, HANDLE* token) {
  using namespace kstv::host;
  if (auto code = injectedFailure("OpenThreadToken")) return Fail(*code);
  if (!token || thread != GetCurrentThread()) return Fail(ERROR_INVALID_PARAMETER);
  if (!threadToken) return Fail(ERROR_NO_TOKEN);
  *token = detail::KernelHandles::instance().add(
      std::make_shared<Token>(UnixSid(1, threadToken->user), UnixSid(2, threadToken->group)));
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD, HANDLE* token) {
  using namespace kstv::host;
  if (auto code = injectedFailure("OpenProcessToken")) return Fail(*code);
  if (!token || process != GetCurrentProcess()) return Fail(ERROR_INVALID_PARAMETER);
  *token = detail::KernelHandles::instance().add(
      std::make_shared<Token>(UnixSid(1, getuid()), UnixSid(2, getgid())));
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                LPVOID information, DWORD length, LPDWORD returnLength) {
  kstv::host::detail::recordCall(
      "GetTokenInformation",
      {kstv::host::detail::hexArgument(static_cast<unsigned long long>(informationClass))});
  using namespace kstv::host;
  if (auto code = injectedFailure("GetTokenInformation")) return Fail(*code);
  auto open = detail::KernelHandles::instance().find<Token>(token);
  if (!open) return Fail(ERROR_INVALID_HANDLE);
  if (informationClass == TokenUser)
    return FillSid(open->user, information, length, returnLength, true);
  if (informationClass == TokenPrimaryGroup)
    return FillSid(open->group, information, length, returnLength, false);
  return Fail(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI IsValidSid(PSID sid) {
  auto* bytes = static_cast<const BYTE*>(sid);
  return bytes && bytes[0] == kstv::host::kSidRevision &&
         bytes[1] <= kstv::host::kMaxSubAuthorities;
}

DWORD WINAPI GetLengthSid(PSID sid) {
  return kstv::host::kSidHeaderLength + static_cast<const BYTE*>(sid)[1] * sizeof(DWORD);
}

BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source) {
  using namespace kstv::host;
  if (auto code = injectedFailure("CopySid")) return Fail(*code);
  if (!IsValidSid(source)) return Fail(ERROR_INVALID_PARAMETER);
  DWORD needed = GetLengthSid(source);
  if (length < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(destination, source, needed);
  return TRUE;
}

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  using namespace kstv::host;
  if (auto code = injectedFailure("InitializeSecurityDescriptor")) return Fail(*code);
  if (revision != SECURITY_DESCRIPTOR_REVISION) return Fail(1305);  // ERROR_UNKNOWN_REVISION
  std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

namespace kstv::host {
namespace {

// Points the descriptor's owner or group at `sid` and sets or clears its defaulted flag.
BOOL SetDescriptorSid(const char* call, PSECURITY_DESCRIPTOR descriptor, PSID sid, BOOL defaulted,
                      PSID SECURITY_DESCRIPTOR::*field, WORD defaultedFlag) {
  if (auto code = injectedFailure(call)) return Fail(*code);
  SECURITY_DESCRIPTOR* absolute = DescriptorOf(descriptor);
  if (!absolute) return Fail(1305);  // ERROR_UNKNOWN_REVISION
  absolute->*field = sid;
  absolute->Control =
      static_cast<WORD>((absolute->Control & ~defaultedFlag) | (defaulted ? defaultedFlag : 0));
  return TRUE;
}

}  // namespace
}  // namespace kstv::host

BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner,
                                       BOOL defaulted) {
  return kstv::host::SetDescriptorSid("SetSecurityDescriptorOwner", descriptor, owner, defaulted,
                                      &SECURITY_DESCRIPTOR::Owner, SE_OWNER_DEFAULTED);
}

BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group,
                                       BOOL defaulted) {
  return kstv::host::SetDescriptorSid("SetSecurityDescriptorGroup", descriptor, group, defaulted,
                                      &SECURITY_DESCRIPTOR::Group, SE_GROUP_DEFAULTED);
}

HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG serviceCount,
                                    SOLE_AUTHENTICATION_SERVICE*, void*, DWORD authenticationLevel,
                                    DWORD impersonationLevel, void*, DWORD capabilities, void*) {
  using namespace kstv::host;
  if (auto code = injectedFailure("CoInitializeSecurity")) return static_cast<HRESULT>(*code);
  if (comInitializationDepth() == 0) return CO_E_NOTINITIALIZED;
  std::lock_guard guard(comSecurityLock);
  if (comSecurityCalled) return RPC_E_TOO_LATE;  // once per process
  comSecurityCalled = true;
  ComSecurityArguments given;
  if (SECURITY_DESCRIPTOR* absolute = DescriptorOf(descriptor)) {
    given.descriptorGiven = true;
    given.owner = SidBytes(absolute->Owner);
    given.group = SidBytes(absolute->Group);
  }
  given.authenticationServiceCount = serviceCount;
  given.authenticationLevel = authenticationLevel;
  given.impersonationLevel = impersonationLevel;
  given.capabilities = capabilities;
  comSecurityGiven = given;
  return S_OK;
}

BOOL WINAPI EqualSid(PSID first, PSID second) {
  using namespace kstv::host;
  if (!IsValidSid(first) || !IsValidSid(second)) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD length = GetLengthSid(first);
  return length == GetLengthSid(second) && std::memcmp(first, second, length) == 0;
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
  using namespace kstv::host;
  if (!acl || !ace || index >= acl->AceCount) return Fail(ERROR_INVALID_PARAMETER);
  BYTE* entry = reinterpret_cast<BYTE*>(acl) + sizeof(ACL);
  for (DWORD i = 0; i < index; ++i) entry += reinterpret_cast<ACE_HEADER*>(entry)->AceSize;
  *ace = entry;
  return TRUE;
}

void WINAPI MapGenericMask(PDWORD mask, PGENERIC_MAPPING mapping) {
  if (*mask & GENERIC_READ) *mask |= mapping->GenericRead;
  if (*mask & GENERIC_WRITE) *mask |= mapping->GenericWrite;
  if (*mask & GENERIC_EXECUTE) *mask |= mapping->GenericExecute;
  if (*mask & GENERIC_ALL) *mask |= mapping->GenericAll;
  *mask &= ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
