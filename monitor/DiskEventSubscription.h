// The two WMI notification queries that feed the disk event sinks.
#pragma once

#include "platform/win32.h"

namespace kstv {

// Connects to ROOT\CIMV2 and starts the creation query (polled every 0.1 s) with the
// arrival sink and the deletion query (every 1 s) with the removal sink. 0 when both
// stand, 1 otherwise; what was made stays for UnsubscribeDiskEvents to clear.
int SubscribeDiskEvents();

// The HRESULT of the step the last SubscribeDiskEvents failed at (E_POINTER for a call that
// succeeded without giving its object); S_OK after a subscription that stands.
HRESULT DiskEventSubscriptionFailure();

// Cancels both queries and releases everything SubscribeDiskEvents made. Safe in any
// state, and twice.
void UnsubscribeDiskEvents();

}  // namespace kstv
