// Host build, internal: keeping the arguments of the calls that tests pin down.
#pragma once

#include <string>
#include <vector>

namespace kstv::host::detail {

// True while a test has call recording switched on (see control.h); cheap to ask.
bool recordingCalls();
// Keeps one call with its arguments as text, if recording is on.
void recordCall(const char* call, std::vector<std::string> arguments);

// Argument texts in one form for every call: numbers in upper-case hexadecimal with
// "0x", pointers as "null" or their address.
std::string hexArgument(unsigned long long number);
std::string pointerArgument(const void* pointer);
std::string textArgument(const char16_t* text);  // UTF-8, or "null"

}  // namespace kstv::host::detail
