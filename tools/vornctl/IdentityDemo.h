// The identity part of `vornctl demo`: this device's identity, a login with credentials for the
// reference server through the connection manager, the registered servers with their resolved
// addresses, a query through the stored client, and the network's reachability. Runs on the main
// thread (it services the main run loop while waiting).
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when the stored client answered the query. `ownKeychain`: use an
/// encrypted file store in the current Environment's data home (the demo's throw-away home)
/// rather than the store chosen for this machine.
int runIdentityDemo(bool ownKeychain);

}  // namespace vornctl
