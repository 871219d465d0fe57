// The companion-link part of `vornctl demo`: the application side (CompanionHost) and the watch
// simulator, each with its own socket session, linked over a private Unix socket in a temporary
// directory (never the user's own socket). The watch asks for the credentials, starts playback
// of an album of the reference library and sends nextTrack; both sides' lines are printed as
// they happen. Runs on the main thread and serves its run loop; replaces the log sink while it
// runs.
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when the watch got the credentials and saw the album's first two
/// tracks load, the second after its nextTrack.
int runCompanionDemo();

}  // namespace vornctl
