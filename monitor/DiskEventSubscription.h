// The two WMI notification queries that feed the disk event sinks.
#pragma once

namespace kstv {

// Connects to ROOT\CIMV2 and starts the creation query (polled every 0.1 s) with the
// arrival sink and the deletion query (every 1 s) with the removal sink. 0 when both
// stand, 1 otherwise; what was made stays for UnsubscribeDiskEvents to clear.
int SubscribeDiskEvents();

// Cancels both queries and releases everything SubscribeDiskEvents made. Safe in any
// state, and twice.
void UnsubscribeDiskEvents();

}  // namespace kstv
