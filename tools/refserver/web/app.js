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
'use strict';

(() => {
    const $ = (id) => document.getElementById(id);

    // ---- the host -----------------------------------------------------------------------------

    const hostHandler = window.webkit && window.webkit.messageHandlers &&
        window.webkit.messageHandlers.vornkit;
    const inHost = !!hostHandler;

    /** Sends one message to the host; resolves with its reply, rejects with its refusal. */
    function host(message) {
        if (!hostHandler)
            return Promise.reject(new Error('not running in VornKit Desktop'));
        return hostHandler.postMessage(message);
    }

    // ---- session and the server's API ---------------------------------------------------------

    const session = {
        serverId: null,
        serverName: null,
        userId: null,
        userName: null,
        token: null,
        device: { id: null, name: 'Web browser', app: 'Vorn Web', version: '1.0' },
    };
    const apiBase = location.origin + '/vorn/';

    function browserDeviceId() {
        let id = localStorage.getItem('vorn.deviceId');
        if (!id) {
            id = Array.from(crypto.getRandomValues(new Uint8Array(16)),
                (b) => b.toString(16).padStart(2, '0')).join('');
            localStorage.setItem('vorn.deviceId', id);
        }
        return id;
    }

    function headerValue(text) {
        return String(text || '').replace(/[",\r\n]/g, '');
    }

    function authorization() {
        const d = session.device;
        let value = `Talvex Device=${headerValue(d.name)},DeviceId=${headerValue(d.id)},` +
            `Version=${headerValue(d.version)},Client=${headerValue(d.app)}`;
        if (session.token)
            value += `,Token=${session.token}`;
        return value;
    }

    async function api(path, params = {}, options = {}) {
        const url = new URL(apiBase + path);
        for (const [name, value] of Object.entries(params))
            url.searchParams.set(name, value);
        const headers = { 'X-Vorn-Authorization': authorization() };
        if (options.body !== undefined)
            headers['Content-Type'] = 'application/json';
        const response = await fetch(url, {
            method: options.method || 'GET',
            headers,
            body: options.body === undefined ? undefined : JSON.stringify(options.body),
        });
        if (!response.ok) {
            const error = new Error(`${path}: HTTP ${response.status}`);
            error.status = response.status;
            throw error;
        }
        if (response.status === 204)
            return null;
        return response.json();
    }

    function imageUrl(itemId, maxWidth) {
        const params = new URLSearchParams({ MaxWidth: String(maxWidth), api_key: session.token || '' });
        return `${apiBase}Items/${encodeURIComponent(itemId)}/Images/Primary?${params}`;
    }

    let playSessionSerial = 0;
    function streamUrl(track) {
        const playSession = `${session.device.id || 'web'}-${Date.now()}-${++playSessionSerial}`;
        const params = new URLSearchParams({
            UserId: session.userId,
            DeviceId: session.device.id || '',
            api_key: session.token || '',
            PlaySessionId: playSession,
            StartTimeTicks: '0',
            EnableRedirection: 'true',
            EnableRemoteMedia: 'false',
        });
        return `${apiBase}Audio/${encodeURIComponent(track.Id)}/universal?${params}`;
    }

    function formatTime(ms) {
        if (!Number.isFinite(ms) || ms < 0)
            ms = 0;
        const seconds = Math.floor(ms / 1000);
        return `${Math.floor(seconds / 60)}:${String(seconds % 60).padStart(2, '0')}`;
    }

    function artistOf(item) {
        if (item.AlbumArtist)
            return item.AlbumArtist;
        if (Array.isArray(item.Artists) && item.Artists.length)
            return item.Artists[0];
        return '';
    }

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

    // ---- now playing --------------------------------------------------------------------------

    /** What the bar shows. The host's statements and the page's own player both write here. */
    const np = {
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

    function fromItemJson(text, index) {
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

    function render() {
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

    async function playTracks(tracks, startIndex) {
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
    function command(name, extra = {}) {
        if (np.player === 'page') {
            pagePlayer.command(name, extra);
            return;
        }
        if (inHost)
            host({ type: 'command', command: name, ...extra }).catch((e) => console.error(e.message));
    }

    function setVolume(volume) {
        np.volume = volume;
        if (np.player === 'page' || !inHost)
            pagePlayer.setVolume(volume);
        else
            host({ type: 'setVolume', volume }).catch((e) => console.error(e.message));
    }

    // ---- the host's player bridge (statements of the host) ------------------------------------

    let bridgeCalls = 0;

    // While the page's own player plays, the host's player is stopped: its last statements
    // (the stop of what it played) do not change what the bar shows.
    const pagePlays = () => np.player === 'page';

    function nativePlayer() {
        return {
            onPropertyChange(name, value) {
                ++bridgeCalls;
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
                ++bridgeCalls;
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
                ++bridgeCalls;
                np.cache = [Number(start), Number(end)];
            },
            notifyVolumeChange(volume) {
                ++bridgeCalls;
                np.volume = Math.max(0, Math.min(100, Math.round(Number(volume))));
                render();
            },
            onPlaylistChanged(items) {
                ++bridgeCalls;
                if (pagePlays())
                    return;
                np.queue = (Array.isArray(items) ? items : []).map((text, i) => fromItemJson(String(text), i));
                render();
            },
            onPlaylistItemRemoved(playlistItemId) {
                ++bridgeCalls;
                if (pagePlays())
                    return;
                np.queue = np.queue.filter((e) => e.PlaylistItemId !== playlistItemId);
                render();
            },
            onPlaylistItemMoved(playlistItemId, newIndex) {
                ++bridgeCalls;
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
                ++bridgeCalls;
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
        ++bridgeCalls;
        const commands = {
            playPause: 'playPause', pause: 'pause', play: 'unpause', nextTrack: 'nextTrack',
            previousTrack: 'prevTrack',
        };
        if (commands[name])
            pagePlayer.command(commands[name], {});
    };

    // ---- the page's own player ----------------------------------------------------------------

    const pagePlayer = (() => {
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

    function stopPagePlayer() {
        pagePlayer.stop();
    }

    // ---- what the host tells the page beyond the player bridge --------------------------------

    let reachable = true;

    window.VornKitHost = {
        onServerReachability(isReachable) {
            ++bridgeCalls;
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
            ++bridgeCalls;
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
        get bridgeCalls() { return bridgeCalls; },
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
})();
