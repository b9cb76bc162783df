// Host build: files, as the debug log writes them and the card probe opens volumes, and
// folders, for tests that need one of their own.
#pragma once

#include "platform/host/win32_types.h"

// Specific rights of a file handle. A handle with FILE_APPEND_DATA but not FILE_WRITE_DATA
// writes at the file's end, wherever another handle has put it.
#define FILE_READ_DATA 0x1UL
#define FILE_WRITE_DATA 0x2UL
#define FILE_APPEND_DATA 0x4UL
#define FILE_EXECUTE 0x20UL
// The same bits on a folder, and the rights of both.
#define FILE_LIST_DIRECTORY 0x1UL
#define FILE_ADD_FILE 0x2UL
#define FILE_ADD_SUBDIRECTORY 0x4UL
#define FILE_READ_EA 0x8UL
#define FILE_WRITE_EA 0x10UL
#define FILE_TRAVERSE 0x20UL
#define FILE_DELETE_CHILD 0x40UL
#define FILE_READ_ATTRIBUTES 0x80UL
#define FILE_WRITE_ATTRIBUTES 0x100UL
#define FILE_ALL_ACCESS 0x1F01FFUL
#define FILE_GENERIC_READ 0x120089UL
#define FILE_GENERIC_WRITE 0x120116UL
#define FILE_GENERIC_EXECUTE 0x1200A0UL
#define FILE_SHARE_READ 0x1UL
#define FILE_SHARE_WRITE 0x2UL
#define FILE_SHARE_DELETE 0x4UL
#define CREATE_NEW 1UL
#define CREATE_ALWAYS 2UL
#define OPEN_EXISTING 3UL
#define OPEN_ALWAYS 4UL
#define TRUNCATE_EXISTING 5UL
#define FILE_ATTRIBUTE_NORMAL 0x80UL
// How far the server of a named pipe that is opened may act as the caller.
#define SECURITY_IDENTIFICATION 0x10000UL
#define SECURITY_SQOS_PRESENT 0x100000UL

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD access, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
// Reads from the handle's position (0 at first), which moves on by what was read.
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);
BOOL WINAPI DeleteFileA(LPCSTR fileName);
// Renames a file (folders are not served); MOVEFILE_REPLACE_EXISTING is the one flag
// served. As on Windows: every open handle of the file must share deletion
// (ERROR_SHARING_VIOLATION), an existing target is replaced only with the flag
// (ERROR_ALREADY_EXISTS) and only when no handle holds it (ERROR_ACCESS_DENIED); open
// handles of the file go on with it under its new name.
#define MOVEFILE_REPLACE_EXISTING 0x1UL
BOOL WINAPI MoveFileExA(LPCSTR existingFileName, LPCSTR newFileName, DWORD flags);
// What a path on drive C: is: FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_ARCHIVE
// for a file (as a file that was written has it); INVALID_FILE_ATTRIBUTES with
// ERROR_FILE_NOT_FOUND when its folder exists, else ERROR_PATH_NOT_FOUND. Only what
// drive_c holds is there.
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFUL
#define FILE_ATTRIBUTE_DIRECTORY 0x10UL
#define FILE_ATTRIBUTE_ARCHIVE 0x20UL
DWORD WINAPI GetFileAttributesA(LPCSTR fileName);
BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
BOOL WINAPI RemoveDirectoryA(LPCSTR pathName);
