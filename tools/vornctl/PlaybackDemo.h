// The playback part of `vornctl demo`: two tracks of the reference library played through the
// event bridge (libmpv with its null audio output, or the simulated player when vornctl was built
// without libmpv), the JavaScript statements and reports as they happen, then the reports the
// reference server recorded. Runs on the main thread; replaces the log sink while it runs.
#pragma once

namespace vornctl {

/// Prints what ran; returns 0 when both tracks played and the server recorded their start and
/// stop reports.
int runPlaybackDemo();

}  // namespace vornctl
