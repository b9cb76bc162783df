// Control API of the emulated machine, for host tests and tools only. System code never
// includes this header.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32.h"

namespace kstv::host {

// --- Failure injection -------------------------------------------------------------
// Makes the named platform call fail with `code`: registry calls return it, calls that
// report through the last error set it, COM calls return it as their HRESULT.
// The first `after` calls still succeed; then `times` calls fail (kAlways: every call).
inline constexpr unsigned kAlways = ~0U;
void failCall(const std::string& call, DWORD code, unsigned times = kAlways, unsigned after = 0);
void clearFailures();

// --- Registry ------------------------------------------------------------------------
// Lets the key at `path` below `root` be opened for reading only (KEY_READ); any wider
// access, deletion included, is refused with ERROR_ACCESS_DENIED. The key must exist.
bool markKeyReadOnly(HKEY root, const char* path);
void clearReadOnlyMarks();
// Open registry handles of this process, the predefined roots not counted.
std::size_t openRegistryHandleCount();
// In-memory machines only: forget every key and value (handles still open go stale).
void resetRegistry();

// --- Text ----------------------------------------------------------------------------
// The ANSI code page: 1252 (default) or the double-byte code page 932.
void setAnsiCodePage(UINT codePage);

// --- The program's module --------------------------------------------------------------
// The path GetModuleFileNameA reports for the program's own module.
void setModulePath(const std::string& path);
// The text GetCommandLineA returns.
void setCommandLine(const std::string& commandLine);

// --- COM -----------------------------------------------------------------------------
// How many successful CoInitialize(Ex) calls of the calling thread are not yet undone.
int comInitializationDepth();

// --- The machine ---------------------------------------------------------------------
// The machine directory named by KSTV_MACHINE, or empty for an in-memory machine.
const std::string& machineDirectory();

}  // namespace kstv::host
