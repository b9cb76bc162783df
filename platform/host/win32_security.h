// Host build: security tokens, SIDs and descriptors, the security of files, and the
// process's COM security.
#pragma once

#include "platform/host/win32_com.h"
#include "platform/host/win32_types.h"

#define TOKEN_QUERY 0x0008UL
#define ERROR_NO_TOKEN 1008L
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define RPC_E_TOO_LATE static_cast<HRESULT>(0x80010119L)

enum TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups = 2,
  TokenPrivileges = 3,
  TokenOwner = 4,
  TokenPrimaryGroup = 5
};
struct SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
};
struct SID {
  BYTE Revision;
  BYTE SubAuthorityCount;
  SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
  DWORD SubAuthority[1];
};
struct SID_AND_ATTRIBUTES {
  PSID Sid;
  DWORD Attributes;
};
struct TOKEN_USER {
  SID_AND_ATTRIBUTES User;
};
struct TOKEN_PRIMARY_GROUP {
  PSID PrimaryGroup;
};
struct ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
};
typedef ACL* PACL;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
struct SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
};
typedef void* PSECURITY_DESCRIPTOR;
struct SOLE_AUTHENTICATION_SERVICE;

// Access control entries: a header, then for the plain kinds the mask and the SID.
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define ACCESS_ALLOWED_COMPOUND_ACE_TYPE 0x4
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE 0x5
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE 0x9
#define ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE 0xB
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define INHERITED_ACE 0x10
struct ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
};
struct ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
};
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_PROTECTED 0x1000
struct GENERIC_MAPPING {
  ACCESS_MASK GenericRead;
  ACCESS_MASK GenericWrite;
  ACCESS_MASK GenericExecute;
  ACCESS_MASK GenericAll;
};
typedef GENERIC_MAPPING* PGENERIC_MAPPING;

typedef DWORD SECURITY_INFORMATION;
#define OWNER_SECURITY_INFORMATION 0x1UL
#define GROUP_SECURITY_INFORMATION 0x2UL
#define DACL_SECURITY_INFORMATION 0x4UL
#define SACL_SECURITY_INFORMATION 0x8UL
#define ERROR_PRIVILEGE_NOT_HELD 1314L
enum SE_OBJECT_TYPE { SE_UNKNOWN_OBJECT_TYPE = 0, SE_FILE_OBJECT = 1 };

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                LPVOID information, DWORD length, LPDWORD returnLength);
DWORD WINAPI GetLengthSid(PSID sid);
BOOL WINAPI IsValidSid(PSID sid);
BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source);
BOOL WINAPI EqualSid(PSID first, PSID second);
BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace);
// Replaces the generic rights in `mask` by the specific ones `mapping` gives them.
void WINAPI MapGenericMask(PDWORD mask, PGENERIC_MAPPING mapping);
// The owner, group and access list of a file or folder of drive C:, in one descriptor
// that the caller frees with LocalFree; the parts not asked for are null.
DWORD WINAPI GetNamedSecurityInfoA(LPCSTR objectName, SE_OBJECT_TYPE objectType,
                                   SECURITY_INFORMATION securityInfo, PSID* owner, PSID* group,
                                   PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor);
// The descriptor SDDL text describes (owner, group and an access list of allowing and
// denying entries, as Windows writes them), in one block the caller frees with LocalFree;
// ERROR_INVALID_PARAMETER for text that is not such SDDL or another revision.
#define SDDL_REVISION_1 1
BOOL WINAPI ConvertStringSecurityDescriptorToSecurityDescriptorA(LPCSTR text, DWORD revision,
                                                                 PSECURITY_DESCRIPTOR* descriptor,
                                                                 ULONG* size);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted);
HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG authenticationServices,
                                    SOLE_AUTHENTICATION_SERVICE* services, void* reserved1,
                                    DWORD authenticationLevel, DWORD impersonationLevel,
                                    void* authenticationList, DWORD capabilities, void* reserved3);
