// The library part of `vornctl demo`: browsing, latest items, a favourite, a stream, a cover
// through the image cache and a simulated play-through with its reports, against the reference
// server and its generated library. Runs on the main thread (it services the main run loop while
// waiting); replaces the log sink while it runs and restores it after.
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when every step gave what the server holds.
int runLibraryDemo();

}  // namespace vornctl
