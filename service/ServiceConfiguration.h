// Reading a service entry's configuration from the service manager, in buffers of the
// size the manager asks for.
#pragma once

#include "platform/heap.h"
#include "platform/win32.h"

namespace kstv {

// The entry's QUERY_SERVICE_CONFIGA with the texts it names; empty on failure, with the
// code in `code`.
HeapBuffer ReadServiceConfiguration(SC_HANDLE service, DWORD& code);

// Its optional configuration of `level` (QueryServiceConfig2A: the description, the
// failure actions, their flag); empty where the platform keeps none or it cannot be read.
HeapBuffer ReadOptionalServiceConfiguration(SC_HANDLE service, DWORD level);

}  // namespace kstv
