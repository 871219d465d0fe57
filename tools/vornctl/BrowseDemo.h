// The browsing part of `vornctl demo`: MediaSource against the reference server and its generated
// library: the views, the artists of the music view, the latest music, favourite songs, and a
// search for an album by name, with the front-end values of what was found. Runs on the main
// thread (it services the main run loop while waiting).
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when the search found the album and its tracks.
int runBrowseDemo();

}  // namespace vornctl
