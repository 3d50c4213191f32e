// Page controls: connect, pick a display, forward mouse and keyboard, show statistics.
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);
  const video = $('video');
  const status = (t) => { $('status').textContent = t; };
  let streaming = null;

  // Mac virtual key codes for keys that are not text.
  const keyCodes = { Enter: 36, Tab: 48, Backspace: 51, Escape: 53, Delete: 117, Home: 115, End: 119,
                     PageUp: 116, PageDown: 121, ArrowLeft: 123, ArrowRight: 124, ArrowDown: 125, ArrowUp: 126 };

  function position(e) {
    // The picture is letter-boxed inside the element (object-fit: contain).
    const r = video.getBoundingClientRect();
    const scale = Math.min(r.width / video.videoWidth, r.height / video.videoHeight);
    const w = video.videoWidth * scale, h = video.videoHeight * scale;
    const x = (e.clientX - r.left - (r.width - w) / 2) / w;
    const y = (e.clientY - r.top - (r.height - h) / 2) / h;
    return { x: Math.min(Math.max(x, 0), 1), y: Math.min(Math.max(y, 0), 1) };
  }

  video.addEventListener('mousemove', (e) => { if (video.videoWidth) rc.send({ t: 'move', ...position(e) }); });
  video.addEventListener('mousedown', (e) => { rc.send({ t: 'down', b: e.button === 2 ? 'right' : 'left' }); });
  video.addEventListener('mouseup', (e) => { rc.send({ t: 'up', b: e.button === 2 ? 'right' : 'left' }); });
  video.addEventListener('contextmenu', (e) => e.preventDefault());
  video.addEventListener('wheel', (e) => { e.preventDefault(); rc.send({ t: 'scroll', dx: -e.deltaX, dy: -e.deltaY }); },
                         { passive: false });
  video.addEventListener('keydown', (e) => {
    const mods = [];
    if (e.ctrlKey) mods.push('ctrl');
    if (e.altKey) mods.push('alt');
    if (e.metaKey) mods.push('cmd');
    if (keyCodes[e.key] !== undefined) {
      if (e.shiftKey) mods.push('shift');
      rc.send({ t: 'key', code: keyCodes[e.key], mods });
    } else if (e.key.length === 1 && mods.length === 0) {
      rc.send({ t: 'text', s: e.key });
    } else {
      return;
    }
    e.preventDefault();
  });

  async function start(id) {
    const reply = await rc.request(streaming === null ? 'stream.start' : 'stream.switch',
                                   { displayId: id, profile: $('profile').value });
    if (reply.ok) { streaming = id; $('stop').disabled = false; video.focus(); status(''); }
    else status(reply.error);
  }

  $('stop').onclick = async () => { await rc.request('stream.stop'); streaming = null; $('stop').disabled = true; };

  $('connect').onclick = async () => {
    try {
      const hello = {};
      if ($('code').value) hello.pairCode = $('code').value;
      const info = await rc.connect($('url').value, hello);
      status(info.macName);
      const answer = await rc.negotiate($('profile').value);
      if (!answer.ok) return status(answer.error);
      for (const d of info.displays) {
        const b = document.createElement('button');
        b.textContent = d.name;
        b.onclick = () => start(d.id);
        $('displays').appendChild(b);
      }
      await rc.request('stats.start');
    } catch (e) {
      status(e.message);
    }
  };

  rc.listeners.add((e) => {
    if (e.type === 'stats') {
      const keys = ['codec', 'captureFps', 'encodeFps', 'width', 'height', 'captureMs', 'convertMs', 'encodeMs',
                    'sendMs', 'targetKbps', 'sentKbps', 'limit', 'encoder'];
      $('stats').textContent = keys.filter((k) => e[k] !== undefined)
        .map((k) => k + ': ' + (typeof e[k] === 'number' ? Math.round(e[k] * 10) / 10 : e[k])).join('\n');
    } else if (e.type === 'stream.ended') {
      streaming = null;
      $('stop').disabled = true;
      status('stream ended: ' + e.reason);
    } else if (e.type === 'closed') {
      status('closed ' + e.code + ' ' + e.reason);
    }
  });
})();
