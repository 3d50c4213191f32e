// Clipboard benchmark: 8 MiB PNG round trips (phone -> desktop -> phone) while a 1920x1080 stream
// runs to Chromium on loopback. Each round: the phone sets an 8 MiB image, another X client
// (clip-peer) reads it from the agent (INCR) and copies a new 8 MiB image, which reaches the phone
// as a "clipboard" event. Prints the stream's decoded frame rate without and with the round trips,
// the round-trip times, and the reply time of requests sent back to back on a second connection
// meanwhile (see startPinger): their worst case bounds how long the agent's main thread was held up.
'use strict';
const { spawn } = require('node:child_process');
const crypto = require('node:crypto');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { startAgent, startXorg, openClient, streamMain, startClipPeer } = require(path.join(__dirname, '..', 'tests', 'e2e', 'harness'));

const SECONDS = Number(process.env.BENCH_SECONDS || 10);
const FPS = 60;
const PNG_BYTES = 8 * 1024 * 1024;

function startAnimation(env) {
  const proc = spawn(process.env.ANIMATE_BINARY, ['1920', '1080', String(FPS)], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve) => proc.stdout.once('data', () => resolve(proc)));
}

// Requests sent back to back from this process on a second connection, so they neither queue
// behind the 11 MB messages of the session's own connection nor wait for the browser's busy
// thread. Its hello is turned away (another device holds the Mac) and every later request is
// answered "send hello first", from the agent's main thread all the same. A bare WebSocket
// client: masked text frames out, small unfragmented frames in.
function startPinger(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const pings = [];
    let buffer = Buffer.alloc(0);
    let upgraded = false;
    let pinging = true;
    let sent = 0;
    let done;
    const send = (text) => {
      const payload = Buffer.from(text);
      const mask = crypto.randomBytes(4);
      const masked = Buffer.from(payload.map((b, i) => b ^ mask[i % 4]));
      socket.write(Buffer.concat([Buffer.from([0x81, 0x80 | payload.length]), mask, masked]));
    };
    const ping = () => { sent = performance.now(); send('{"type":"displays.list","id":2}'); };
    socket.on('error', reject);
    socket.on('connect', () => socket.write(
      `GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n` +
      `Sec-WebSocket-Key: ${crypto.randomBytes(16).toString('base64')}\r\nSec-WebSocket-Version: 13\r\n\r\n`));
    socket.on('data', (d) => {
      buffer = Buffer.concat([buffer, d]);
      if (!upgraded) {
        const end = buffer.indexOf('\r\n\r\n');
        if (end < 0) return;
        buffer = buffer.subarray(end + 4);
        upgraded = true;
        send('{"type":"hello","id":1}');
      }
      while (buffer.length >= 2) {
        const short = buffer[1] & 0x7f;
        const header = short === 126 ? 4 : 2;
        const length = short === 126 ? buffer.readUInt16BE(2) : short;
        if (buffer.length < header + length) return;
        const message = JSON.parse(buffer.subarray(header, header + length).toString());
        buffer = buffer.subarray(header + length);
        if (message.id === 1) {
          resolve({ stop: () => { pinging = false; return new Promise((r) => { done = r; }); } });
        } else {
          pings.push(performance.now() - sent);
        }
        if (pinging) ping();
        else { socket.destroy(); done(pings); }
      }
    });
  });
}

function percentile(values, p) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p / 100 * sorted.length))];
}

(async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'clipboard-bench-'));
  const xorg = await startXorg();
  const animation = await startAnimation(xorg.env);
  const agent = await startAgent({}, xorg.env);
  const peer = startClipPeer(xorg.env);
  const client = await openClient();
  const { page } = client;
  try {
    await streamMain(page, agent);
    // The first clipboard request starts watching.
    await page.evaluate(() => rc.request('clipboard.get'));

    // One phase: decoded frames per second and the main thread's reply times, with `work` running
    // beside them until the phase ends.
    const phase = async (work) => {
      const pinger = await startPinger(agent.port);
      const decoded = () => page.evaluate(async () => (await rc.inbound()).framesDecoded);
      const d0 = await decoded();
      const t0 = Date.now();
      const rounds = [];
      let running = true;
      const worker = (async () => { while (running && work) rounds.push(await work()); })();
      await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
      running = false;
      await worker;
      const fps = (await decoded() - d0) / ((Date.now() - t0) / 1000);
      const pings = await pinger.stop();
      return { fps, pings, rounds };
    };

    // The bench's own process times the pings, so the heavy lifting stays out of it: the phone's
    // image is made in the page, the desktop's images are written to files beforehand.
    const outFiles = [0, 1].map((i) => {
      const file = path.join(dir, 'out' + i);
      fs.writeFileSync(file, crypto.randomBytes(PNG_BYTES));
      return file;
    });
    let round = 0;
    const roundTrip = async () => {
      const t0 = Date.now();
      const set = await page.evaluate((size) => {
        const bytes = new Uint8Array(size);
        for (let i = 0; i < size; i += 65536) crypto.getRandomValues(bytes.subarray(i, i + 65536));
        let binary = '';
        for (let i = 0; i < size; i += 65536) binary += String.fromCharCode(...bytes.subarray(i, i + 65536));
        return rc.request('clipboard.set', { png: btoa(binary) });
      }, PNG_BYTES);
      if (!set.ok) throw new Error(set.error);
      const t1 = Date.now();
      const file = path.join(dir, 'in');
      const got = await peer.command(`get image/png ${file}`);
      if (got !== `ok ${PNG_BYTES}`) throw new Error('the desktop read ' + got);
      const t2 = Date.now();
      const since = await page.evaluate(() => rc.events.length);
      await peer.command(`set image/png ${outFiles[round++ % 2]}`);
      const t3 = Date.now();
      const event = await page.evaluate((from) => rc.waitEvent('clipboard', () => true, from).then((e) => e.png.length), since);
      if (event !== Math.ceil(PNG_BYTES / 3) * 4) throw new Error('the phone got ' + event + ' base64 characters');
      if (process.env.BENCH_STEPS) console.log('steps', t1 - t0, t2 - t1, t3 - t2, Date.now() - t3);
      return Date.now() - t0;
    };

    const idle = await phase(null);
    const busy = await phase(roundTrip);
    const line = (name, p) => console.log(
      `${name} ${p.fps.toFixed(1)} fps decoded; main-thread round trip p50 ${percentile(p.pings, 50).toFixed(1)} ms, ` +
      `p99 ${percentile(p.pings, 99).toFixed(1)} ms, max ${Math.max(...p.pings).toFixed(1)} ms (${p.pings.length} requests)`);
    line('stream alone:           ', idle);
    line('with 8 MiB round trips: ', busy);
    console.log(`round trips:             ${busy.rounds.length} in ${SECONDS} s, p50 ${percentile(busy.rounds, 50)} ms, ` +
                `max ${Math.max(...busy.rounds)} ms (phone set, desktop read, desktop copy, phone event)`);
    await page.evaluate(() => rc.request('stream.stop'));
  } finally {
    await client.close();
    peer.proc.stdin.end();
    await agent.stop();
    animation.kill('SIGTERM');
    await xorg.stop();
    fs.rmSync(dir, { recursive: true, force: true });
  }
})().catch((e) => { console.error(e); process.exit(1); });
