// Host build: security tokens, SIDs and descriptors, and the process's COM security.
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

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL openAsSelf, HANDLE* token);
BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass,
                                LPVOID information, DWORD length, LPDWORD returnLength);
DWORD WINAPI GetLengthSid(PSID sid);
BOOL WINAPI IsValidSid(PSID sid);
BOOL WINAPI CopySid(DWORD length, PSID destination, PSID source);
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID owner, BOOL defaulted);
BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR descriptor, PSID group, BOOL defaulted);
HRESULT WINAPI CoInitializeSecurity(PSECURITY_DESCRIPTOR descriptor, LONG authenticationServices,
                                    SOLE_AUTHENTICATION_SERVICE* services, void* reserved1,
                                    DWORD authenticationLevel, DWORD impersonationLevel,
                                    void* authenticationList, DWORD capabilities, void* reserved3);
