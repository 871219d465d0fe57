// The reference server's web interface: the host's player bridge. The objects the host's
// statements call (MpvAudioPlayer, MpvVideoPlayer, require(['playbackManager']),
// navigator.mediaSession.onRemoteEvent), each following the host's native player into what the
// bar shows; none of them throws on what the host sends.

import { fromItemJson, np, pagePlayer, render } from './player.js';

// ---- the host's player bridge (statements of the host) ------------------------------------

/** The host's statements received so far (shown through VornWeb). */
export const bridge = { calls: 0 };

// While the page's own player plays, the host's player is stopped: its last statements
// (the stop of what it played) do not change what the bar shows.
const pagePlays = () => np.player === 'page';

function nativePlayer() {
    return {
        onPropertyChange(name, value) {
            ++bridge.calls;
            if (pagePlays())
                return;
            switch (name) {
                case 'time-pos': np.positionMs = Number(value); break;
                case 'duration': np.durationMs = Number(value); break;
                case 'pause':
                    np.paused = !!value;
                    if (np.state !== 'stopped' && np.state !== 'error')
                        np.state = np.paused ? 'paused' : 'playing';
                    break;
                case 'playlistItemId': np.playlistItemId = String(value); break;
                case 'playlist-pos': np.index = Math.trunc(Number(value)); break;
                case 'repeat-mode': np.repeatMode = String(value); break;
                default: break;  // speed, sub-delay: nothing shown
            }
            render();
        },
        onEvent(name) {
            ++bridge.calls;
            if (pagePlays())
                return;
            switch (name) {
                case 'start-file': np.state = 'loading'; np.positionMs = 0; break;
                case 'file-loaded': np.state = np.paused ? 'paused' : 'playing'; break;
                case 'ended': np.state = 'stopped'; break;
                case 'error': np.state = 'error'; break;
                case 'shutdown': np.state = 'stopped'; np.positionMs = 0; break;
                default: break;
            }
            render();
        },
        onCacheUpdate(start, end) {
            ++bridge.calls;
            np.cache = [Number(start), Number(end)];
        },
        notifyVolumeChange(volume) {
            ++bridge.calls;
            np.volume = Math.max(0, Math.min(100, Math.round(Number(volume))));
            render();
        },
        onPlaylistChanged(items) {
            ++bridge.calls;
            if (pagePlays())
                return;
            np.queue = (Array.isArray(items) ? items : []).map((text, i) => fromItemJson(String(text), i));
            render();
        },
        onPlaylistItemRemoved(playlistItemId) {
            ++bridge.calls;
            if (pagePlays())
                return;
            np.queue = np.queue.filter((e) => e.PlaylistItemId !== playlistItemId);
            render();
        },
        onPlaylistItemMoved(playlistItemId, newIndex) {
            ++bridge.calls;
            if (pagePlays())
                return;
            const from = np.queue.findIndex((e) => e.PlaylistItemId === playlistItemId);
            if (from >= 0) {
                const [entry] = np.queue.splice(from, 1);
                np.queue.splice(Math.max(0, Math.min(np.queue.length, newIndex)), 0, entry);
            }
            render();
        },
    };
}
window.MpvAudioPlayer = nativePlayer();
window.MpvVideoPlayer = nativePlayer();

// A module loader just big enough for the host's require(['playbackManager'], fn) calls.
const modules = {
    playbackManager: {
        setVolume(volume) {
            ++bridge.calls;
            np.volume = Math.max(0, Math.min(100, Math.round(Number(volume))));
            pagePlayer.setVolume(np.volume);
            render();
        },
        getVolume() {
            return np.volume;
        },
    },
};
window.require = function (names, callback) {
    const found = names.map((name) => {
        if (!(name in modules))
            throw new Error(`no module ${name}`);
        return modules[name];
    });
    if (typeof callback === 'function')
        callback(...found);
};

// Remote commands (media keys, the desktop's player applet) for the page's own player.
if (!navigator.mediaSession)
    Object.defineProperty(navigator, 'mediaSession', { value: {}, configurable: true });
navigator.mediaSession.onRemoteEvent = function (name) {
    ++bridge.calls;
    const commands = {
        playPause: 'playPause', pause: 'pause', play: 'unpause', nextTrack: 'nextTrack',
        previousTrack: 'prevTrack',
    };
    if (commands[name])
        pagePlayer.command(commands[name], {});
};
