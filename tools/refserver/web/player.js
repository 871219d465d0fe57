// The reference server's web interface: now playing. What the bar shows, the queue handed to
// the host's native player, and the page's own player (an <audio> element) for the browser or
// when the user picks it.

import { $, artistOf, formatTime, host, imageUrl, inHost, session, streamUrl } from './api.js';

// ---- now playing --------------------------------------------------------------------------

/** What the bar shows. The host's statements and the page's own player both write here. */
export const np = {
    player: null,         // 'native' (the host's) or 'page'
    queue: [],            // {PlaylistItemId, Title, Artist, Album, CoverUrl, ItemId}
    sent: [],             // the queue items last handed to the host
    index: -1,
    playlistItemId: null,
    state: 'stopped',     // 'loading', 'playing', 'paused', 'stopped', 'error'
    paused: false,
    positionMs: 0,
    durationMs: 0,
    volume: 100,
    repeatMode: 'RepeatNone',
    cache: null,
};

export function fromItemJson(text, index) {
    let dto = {};
    try {
        dto = JSON.parse(text);
    } catch (e) {
        dto = {};
    }
    const sent = np.sent[index];
    if (sent && sent.ItemId === dto.Id)
        return sent;
    return {
        PlaylistItemId: null,
        Title: dto.Name || '',
        Artist: artistOf(dto),
        Album: dto.Album || '',
        CoverUrl: dto.AlbumId && session.token ? imageUrl(dto.AlbumId, 160) : '',
        ItemId: dto.Id || '',
    };
}

function currentEntry() {
    if (np.playlistItemId) {
        const byId = np.queue.find((e) => e.PlaylistItemId === np.playlistItemId);
        if (byId)
            return byId;
    }
    return np.queue[np.index] || null;
}

const stateNames = {
    loading: 'Loading', playing: 'Playing', paused: 'Paused', stopped: 'Stopped', error: 'Error',
};

export function render() {
    const entry = currentEntry();
    const bar = $('now-playing');
    bar.dataset.state = np.state;
    $('np-title').textContent = entry ? entry.Title : 'Nothing playing';
    $('np-artist').textContent = entry ? [entry.Artist, entry.Album].filter(Boolean).join(' – ') : '';
    if (entry && entry.CoverUrl)
        $('np-cover').src = entry.CoverUrl;
    else
        $('np-cover').removeAttribute('src');
    $('np-state').textContent = stateNames[np.state] || np.state;
    $('np-time').textContent = formatTime(np.positionMs);
    $('np-duration').textContent = formatTime(np.durationMs);
    const fraction = np.durationMs > 0 ? Math.min(1, np.positionMs / np.durationMs) : 0;
    $('np-fill').style.width = `${(fraction * 100).toFixed(2)}%`;
    if (document.activeElement !== $('np-volume'))
        $('np-volume').value = String(np.volume);
    for (const row of document.querySelectorAll('#track-list li'))
        row.classList.toggle('current', !!entry && row.dataset.id === entry.ItemId);
}

let queueSerial = 0;
function queueItem(track, index) {
    return {
        Path: streamUrl(track),
        Title: track.Name || '',
        Artist: artistOf(track),
        Album: track.Album || '',
        CoverUrl: imageUrl(track.AlbumId || track.Id, 600),
        ItemId: track.Id,
        ServerId: track.ServerId || session.serverId,
        PlaylistItemId: `q${queueSerial}-${index}`,
        ItemJson: JSON.stringify(track),
    };
}

export async function playTracks(tracks, startIndex) {
    ++queueSerial;
    const items = tracks.map(queueItem);
    if (inHost && !$('use-page-player').checked) {
        stopPagePlayer();
        np.sent = items;
        np.queue = items;
        np.index = startIndex;
        np.playlistItemId = items[startIndex].PlaylistItemId;
        np.state = 'loading';
        np.player = 'native';
        render();
        try {
            await host({ type: 'playAudio', items, startIndex, startPositionMs: 0 });
        } catch (e) {
            np.state = 'error';
            render();
            console.error('The host did not play the queue: ' + e.message);
        }
    } else {
        if (inHost && np.player === 'native')
            host({ type: 'command', command: 'stop' }).catch(() => {});
        pagePlayer.play(items, startIndex);
    }
}

// Commands of the bar go to whichever player plays.
export function command(name, extra = {}) {
    if (np.player === 'page') {
        pagePlayer.command(name, extra);
        return;
    }
    if (inHost)
        host({ type: 'command', command: name, ...extra }).catch((e) => console.error(e.message));
}

export function setVolume(volume) {
    np.volume = volume;
    if (np.player === 'page' || !inHost)
        pagePlayer.setVolume(volume);
    else
        host({ type: 'setVolume', volume }).catch((e) => console.error(e.message));
}

// ---- the page's own player ----------------------------------------------------------------

export const pagePlayer = (() => {
    const audio = $('page-audio');
    let items = [];
    let index = -1;
    let active = false;

    function tellHost(state) {
        if (!inHost)
            return;
        const item = items[index];
        host({
            type: 'pagePlayer', state, item: item || null,
            positionMs: Math.round(audio.currentTime * 1000),
            durationMs: Number.isFinite(audio.duration) ? Math.round(audio.duration * 1000) : 0,
        }).catch((e) => console.error(e.message));
    }

    function load(at) {
        index = at;
        const item = items[index];
        np.player = 'page';
        np.queue = items;
        np.index = index;
        np.playlistItemId = item.PlaylistItemId;
        np.state = 'loading';
        np.positionMs = 0;
        np.durationMs = 0;
        audio.src = item.Path;
        audio.volume = np.volume / 100;
        audio.play().catch((e) => console.error('page player: ' + e.message));
        tellHost('loading');
        render();
    }

    audio.addEventListener('playing', () => {
        if (!active)
            return;
        np.state = 'playing';
        np.paused = false;
        tellHost('playing');
        render();
    });
    audio.addEventListener('pause', () => {
        if (!active || audio.ended)
            return;
        np.state = 'paused';
        np.paused = true;
        tellHost('paused');
        render();
    });
    audio.addEventListener('timeupdate', () => {
        if (!active)
            return;
        np.positionMs = audio.currentTime * 1000;
        render();
    });
    audio.addEventListener('durationchange', () => {
        if (active && Number.isFinite(audio.duration)) {
            np.durationMs = audio.duration * 1000;
            render();
        }
    });
    audio.addEventListener('ended', () => {
        if (!active)
            return;
        if (index + 1 < items.length) {
            load(index + 1);
        } else {
            np.state = 'stopped';
            active = false;
            tellHost('stopped');
            render();
        }
    });
    audio.addEventListener('error', () => {
        if (!active)
            return;
        np.state = 'error';
        render();
    });

    return {
        play(queue, startIndex) {
            items = queue;
            active = true;
            load(startIndex);
        },
        stop() {
            if (!active)
                return;
            active = false;
            np.player = null;
            audio.pause();
            audio.removeAttribute('src');
            tellHost('stopped');
        },
        setVolume(volume) {
            audio.volume = Math.max(0, Math.min(1, volume / 100));
        },
        command(name, extra) {
            if (!active)
                return;
            switch (name) {
                case 'playPause': audio.paused ? audio.play() : audio.pause(); break;
                case 'pause': audio.pause(); break;
                case 'unpause': audio.play(); break;
                case 'nextTrack': if (index + 1 < items.length) load(index + 1); break;
                case 'prevTrack':
                    if (audio.currentTime > 3 || index === 0)
                        audio.currentTime = 0;
                    else
                        load(index - 1);
                    break;
                case 'seek': audio.currentTime = (extra.positionMs || 0) / 1000; break;
                case 'stop': this.stop(); np.state = 'stopped'; render(); break;
                default: break;
            }
        },
    };
})();

export function stopPagePlayer() {
    pagePlayer.stop();
}
