// The network part of `vornctl demo`: address resolution and an authorised request against the
// reference server. Runs on the main thread (it services the main run loop while waiting).
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when resolution picked the fast address and the request succeeded.
int runNetworkDemo();

}  // namespace vornctl
