// The reference server's web interface: the host (VornKit Desktop's script message handler
// "vornkit", when the page runs there) and the server's API with the signed-in session.

export const $ = (id) => document.getElementById(id);

// ---- the host -----------------------------------------------------------------------------

const hostHandler = window.webkit && window.webkit.messageHandlers &&
    window.webkit.messageHandlers.vornkit;
export const inHost = !!hostHandler;

/** Sends one message to the host; resolves with its reply, rejects with its refusal. */
export function host(message) {
    if (!hostHandler)
        return Promise.reject(new Error('not running in VornKit Desktop'));
    return hostHandler.postMessage(message);
}

// ---- session and the server's API ---------------------------------------------------------

export const session = {
    serverId: null,
    serverName: null,
    userId: null,
    userName: null,
    token: null,
    device: { id: null, name: 'Web browser', app: 'Vorn Web', version: '1.0' },
};
const apiBase = location.origin + '/vorn/';

export function browserDeviceId() {
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

export async function api(path, params = {}, options = {}) {
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

export function imageUrl(itemId, maxWidth) {
    const params = new URLSearchParams({ MaxWidth: String(maxWidth), api_key: session.token || '' });
    return `${apiBase}Items/${encodeURIComponent(itemId)}/Images/Primary?${params}`;
}

let playSessionSerial = 0;
export function streamUrl(track) {
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

export function formatTime(ms) {
    if (!Number.isFinite(ms) || ms < 0)
        ms = 0;
    const seconds = Math.floor(ms / 1000);
    return `${Math.floor(seconds / 60)}:${String(seconds % 60).padStart(2, '0')}`;
}

export function artistOf(item) {
    if (item.AlbumArtist)
        return item.AlbumArtist;
    if (Array.isArray(item.Artists) && item.Artists.length)
        return item.Artists[0];
    return '';
}
