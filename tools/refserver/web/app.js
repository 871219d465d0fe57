// The reference server's web interface: sign in, browse albums, play them, download them, and a
// now-playing bar.
//
// In a browser it plays with its own <audio> element. In VornKit Desktop (a web view whose host
// offers the script message handler "vornkit", see docs/desktop-messages.md) it hands queues to
// the host's native player and follows it through the statements of the host's player bridge:
//   MpvAudioPlayer / MpvVideoPlayer   onPropertyChange, onEvent, onCacheUpdate,
//                                     notifyVolumeChange, onPlaylistChanged,
//                                     onPlaylistItemRemoved, onPlaylistItemMoved
//   require(['playbackManager'], fn)  playbackManager.setVolume(n)
//   navigator.mediaSession.onRemoteEvent(command, null)   remote commands for the page's player
//   VornKitHost                       onServerReachability(reachable), openItem(id)
// Every one of them must accept whatever the host sends without throwing: a statement that throws
// is reported by the host as rejected.
//
// The parts: api.js (the host and the server's API), player.js (now playing and the page's own
// player), bridge.js (the host's player bridge); this file holds the views and the start.

import { $, api, artistOf, browserDeviceId, formatTime, host, imageUrl, inHost, session } from
    './api.js';
import { bridge } from './bridge.js';
import { command, np, playTracks, render, setVolume, stopPagePlayer } from './player.js';

// ---- views --------------------------------------------------------------------------------

const views = ['sign-in', 'albums', 'album', 'downloads'];
let currentView = null;

function showView(name) {
    currentView = name;
    for (const view of views)
        $(view).hidden = view !== name;
    for (const button of document.querySelectorAll('#nav button'))
        button.classList.toggle('active', button.dataset.view === name);
    $('nav').hidden = name === 'sign-in';
}

function element(tag, className, text) {
    const made = document.createElement(tag);
    if (className)
        made.className = className;
    if (text !== undefined)
        made.textContent = text;
    return made;
}

// ---- sign-in ------------------------------------------------------------------------------

async function loadServerInfo() {
    try {
        const info = await api('system/info/public');
        session.serverId = info.Id;
        session.serverName = info.ServerName;
        $('server-name').textContent = info.ServerName;
    } catch (e) {
        $('sign-in-error').textContent = 'The server does not answer.';
    }
}

function showSignIn() {
    session.token = null;
    $('sign-out').hidden = true;
    $('user-name').textContent = '';
    showView('sign-in');
}

async function signIn(event) {
    event.preventDefault();
    $('sign-in-error').textContent = '';
    const name = $('user').value;
    try {
        const answer = await api('Users/AuthenticateByName', {},
            { method: 'POST', body: { Username: name, Pw: $('password').value } });
        session.token = answer.AccessToken;
        session.userId = answer.User.Id;
        session.userName = answer.User.Name;
        session.serverId = answer.ServerId || session.serverId;
    } catch (e) {
        $('sign-in-error').textContent = e.status === 401 ?
            'Wrong user name or password.' : 'The server does not answer.';
        return;
    }
    await saveCredentials(true);
    await enterLibrary();
}

/** Hands this server's entry to the host (with or without its token), or keeps it for the tab. */
async function saveCredentials(withToken) {
    const server = {
        Id: session.serverId,
        Name: session.serverName || 'Server',
        LocalAddress: location.origin,
        UserId: session.userId,
        LastConnectionMode: 1,
    };
    if (withToken)
        server.AccessToken = session.token;
    if (inHost) {
        try {
            await host({ type: 'credentials', credentials: { Servers: [server] } });
        } catch (e) {
            console.error('The host did not take the credentials: ' + e.message);
        }
    } else if (withToken) {
        sessionStorage.setItem('vorn.session', JSON.stringify(session));
    } else {
        sessionStorage.removeItem('vorn.session');
    }
}

async function signOut() {
    await saveCredentials(false);
    showSignIn();
}

async function enterLibrary() {
    $('user-name').textContent = session.userName || '';
    $('sign-out').hidden = false;
    $('nav-downloads').hidden = !inHost;
    $('download-album').hidden = !inHost;
    $('page-player-toggle').hidden = !inHost;
    if (reachable)
        await showAlbums();
    else
        await showDownloads();
}

// ---- albums -------------------------------------------------------------------------------

async function showAlbums() {
    showView('albums');
    $('albums-error').textContent = '';
    let answer;
    try {
        answer = await api(`Users/${session.userId}/Items`, {
            IncludeItemTypes: 'MusicAlbum', Recursive: 'true', SortBy: 'SortName',
            SortOrder: 'Ascending',
        });
    } catch (e) {
        if (e.status === 401) {
            showSignIn();
            return;
        }
        $('albums-error').textContent = 'The albums could not be loaded.';
        return;
    }
    const grid = $('album-grid');
    grid.replaceChildren();
    for (const album of answer.Items || []) {
        const card = element('button', 'card');
        card.type = 'button';
        card.dataset.id = album.Id;
        const cover = element('img');
        cover.alt = '';
        cover.loading = 'lazy';
        cover.src = imageUrl(album.Id, 320);
        card.append(cover, element('span', 'name', album.Name), element('span', 'sub', artistOf(album)));
        card.addEventListener('click', () => openAlbum(album.Id));
        grid.append(card);
    }
}

let albumTracks = [];
let openAlbumId = null;

async function openAlbum(albumId) {
    const [album, tracks] = await Promise.all([
        api(`Users/${session.userId}/Items/${encodeURIComponent(albumId)}`),
        api(`Users/${session.userId}/Items`, {
            ParentId: albumId, IncludeItemTypes: 'Audio', SortBy: 'IndexNumber',
            SortOrder: 'Ascending',
        }),
    ]);
    openAlbumId = albumId;
    albumTracks = tracks.Items || [];
    $('album-title').textContent = album.Name;
    $('album-artist').textContent = artistOf(album);
    $('album-cover').src = imageUrl(album.Id, 400);
    $('download-state').textContent = '';
    const list = $('track-list');
    list.replaceChildren();
    albumTracks.forEach((track, index) => {
        const row = element('li');
        row.dataset.id = track.Id;
        row.append(element('span', 'index', String(track.IndexNumber || index + 1)),
            element('span', 'title', track.Name),
            element('span', 'length', formatTime((track.RunTimeTicks || 0) / 10000)));
        row.addEventListener('click', () => playTracks(albumTracks, index));
        list.append(row);
    });
    showView('album');
    render();
}

async function downloadAlbum() {
    if (!openAlbumId)
        return;
    const state = $('download-state');
    state.textContent = 'Downloading…';
    try {
        const reply = await host({ type: 'download', itemId: openAlbumId });
        const done = (reply.downloaded || []).length;
        state.textContent = reply.failed && reply.failed.length ?
            `Downloaded ${done}, ${reply.failed.length} failed` : `Downloaded (${done} tracks)`;
    } catch (e) {
        state.textContent = 'Download failed: ' + e.message;
    }
}

// ---- downloads ----------------------------------------------------------------------------

async function showDownloads() {
    showView('downloads');
    let reply = { items: [] };
    try {
        reply = await host({ type: 'getDownloads' });
    } catch (e) {
        console.error('No downloads from the host: ' + e.message);
    }
    const items = reply.items || [];
    $('downloads-empty').hidden = items.length > 0;
    const list = $('download-list');
    list.replaceChildren();
    items.forEach((item, index) => {
        const row = element('li');
        row.dataset.id = item.ItemId;
        row.append(element('span', 'index', String(index + 1)),
            element('span', 'title', item.Name || item.ItemId),
            element('span', 'length', [item.Artist, item.Album].filter(Boolean).join(' – ')));
        row.addEventListener('click', () => playDownloads(items, index));
        list.append(row);
    });
}

async function playDownloads(items, startIndex) {
    stopPagePlayer();
    np.sent = [];
    np.player = 'native';
    np.state = 'loading';
    np.playlistItemId = null;
    render();
    await host({ type: 'playDownloaded', itemIds: items.map((i) => i.ItemId), startIndex });
}

// ---- what the host tells the page beyond the player bridge --------------------------------

let reachable = true;

window.VornKitHost = {
    onServerReachability(isReachable) {
        ++bridge.calls;
        reachable = !!isReachable;
        $('offline-banner').hidden = reachable;
        if (!session.token)
            return;
        if (!reachable && currentView !== 'downloads')
            showDownloads();
        else if (reachable && currentView === 'downloads')
            showAlbums();
    },
    openItem(itemId) {
        ++bridge.calls;
        openItem(String(itemId)).catch((e) => console.error('openItem: ' + e.message));
    },
};

async function openItem(itemId) {
    if (!session.token)
        return;
    const item = await api(`Users/${session.userId}/Items/${encodeURIComponent(itemId)}`);
    if (item.Type === 'MusicAlbum')
        await openAlbum(item.Id);
    else if (item.AlbumId)
        await openAlbum(item.AlbumId);
    else
        await showAlbums();
}

// What the page exposes to people debugging it (and to scripted checks).
window.VornWeb = {
    get bridgeCalls() { return bridge.calls; },
    get nowPlaying() { return { ...np, queue: np.queue.length, sent: np.sent.length }; },
    get view() { return currentView; },
};

// ---- start --------------------------------------------------------------------------------

function installControls() {
    $('sign-in-form').addEventListener('submit', signIn);
    $('sign-out').addEventListener('click', signOut);
    for (const button of document.querySelectorAll('#nav button'))
        button.addEventListener('click', () =>
            (button.dataset.view === 'albums' ? showAlbums() : showDownloads()));
    $('play-album').addEventListener('click', () => {
        if (albumTracks.length)
            playTracks(albumTracks, 0);
    });
    $('download-album').addEventListener('click', downloadAlbum);
    $('np-play').addEventListener('click', () => command('playPause'));
    $('np-prev').addEventListener('click', () => command('prevTrack'));
    $('np-next').addEventListener('click', () => command('nextTrack'));
    $('np-volume').addEventListener('input', (e) => setVolume(Number(e.target.value)));
    $('np-bar').addEventListener('click', (e) => {
        if (np.durationMs <= 0)
            return;
        const box = e.currentTarget.getBoundingClientRect();
        const fraction = Math.max(0, Math.min(1, (e.clientX - box.left) / box.width));
        command('seek', { positionMs: Math.round(fraction * np.durationMs) });
    });
}

async function start() {
    installControls();
    render();
    if (inHost) {
        try {
            const reply = await host({ type: 'getCredentials' });
            if (reply.device)
                Object.assign(session.device, reply.device);
            if (reply.server) {
                session.serverId = reply.server.Id;
                session.serverName = reply.server.Name;
                session.userId = reply.server.UserId;
                session.token = reply.server.AccessToken || null;
                session.userName = reply.server.UserName || null;
            }
            const state = await host({ type: 'getState' });
            reachable = state.serverReachable !== false;
            $('offline-banner').hidden = reachable;
            np.volume = Number.isFinite(state.volume) ? state.volume : np.volume;
        } catch (e) {
            console.error('The host did not answer: ' + e.message);
        }
    } else {
        session.device.id = browserDeviceId();
        try {
            Object.assign(session, JSON.parse(sessionStorage.getItem('vorn.session') || '{}'));
        } catch (e) {
            sessionStorage.removeItem('vorn.session');
        }
    }
    if (reachable)
        await loadServerInfo();
    if (session.token && session.userId) {
        await enterLibrary();
        await openLinkedItem();
    } else {
        showSignIn();
    }
    render();
}

// "#/item/<id>" opens an item (the host's way to open a search result on a fresh page).
async function openLinkedItem() {
    const match = /^#\/item\/(.+)$/.exec(location.hash);
    if (match && session.token)
        await openItem(decodeURIComponent(match[1])).catch((e) => console.error(e.message));
}
window.addEventListener('hashchange', openLinkedItem);

start();
