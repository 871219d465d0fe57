// The host's own pages (start and offline): the host's message handler, and the player bridge's
// objects for a now-playing line, so that the host's statements find what they address on these
// pages too.
'use strict';

const vornHost = (message) => window.webkit.messageHandlers.vornkit.postMessage(message);

const nowPlaying = (() => {
    const np = { queue: [], index: -1, state: 'stopped', positionMs: 0, durationMs: 0, volume: 100 };
    const $ = (id) => document.getElementById(id);
    const time = (ms) => {
        const s = Math.max(0, Math.floor((Number(ms) || 0) / 1000));
        return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
    };
    function render() {
        if (!$('now-playing'))
            return;
        const entry = np.queue[np.index];
        $('np-title').textContent = entry ? entry : 'Nothing playing';
        $('np-state').textContent = { loading: 'Loading', playing: 'Playing', paused: 'Paused',
            stopped: 'Stopped', error: 'Error' }[np.state] || np.state;
        $('np-time').textContent = `${time(np.positionMs)} / ${time(np.durationMs)}`;
    }
    const player = {
        onPropertyChange(name, value) {
            if (name === 'time-pos') np.positionMs = Number(value);
            else if (name === 'duration') np.durationMs = Number(value);
            else if (name === 'pause' && np.state !== 'stopped') np.state = value ? 'paused' : 'playing';
            else if (name === 'playlist-pos') np.index = Math.trunc(Number(value));
            render();
        },
        onEvent(name) {
            const states = { 'start-file': 'loading', 'file-loaded': 'playing', ended: 'stopped',
                error: 'error', shutdown: 'stopped' };
            if (states[name]) np.state = states[name];
            render();
        },
        onCacheUpdate() {},
        notifyVolumeChange(volume) { np.volume = Number(volume); },
        onPlaylistChanged(items) {
            np.queue = (Array.isArray(items) ? items : []).map((text) => {
                try { return JSON.parse(text).Name || ''; } catch (e) { return ''; }
            });
            render();
        },
        onPlaylistItemRemoved() {},
        onPlaylistItemMoved() {},
    };
    window.MpvAudioPlayer = player;
    window.MpvVideoPlayer = player;
    window.require = (names, callback) => callback(...names.map((name) => {
        if (name !== 'playbackManager') throw new Error(`no module ${name}`);
        return { setVolume(volume) { np.volume = Number(volume); } };
    }));
    if (!navigator.mediaSession)
        Object.defineProperty(navigator, 'mediaSession', { value: {}, configurable: true });
    navigator.mediaSession.onRemoteEvent = () => {};
    document.addEventListener('DOMContentLoaded', render);
    return { state: np, render };
})();
