// Operations that a later part of the product provides: until then they say so.
#pragma once

namespace kstv {

// Writes "KstvCardReader: <operation> is not available in this build" to standard error.
void ReportUnavailable(const char* operation);

}  // namespace kstv
