// Rate control under loss. Loopback loses nothing, so the packets between Chromium and the agent
// go through a relay here that drops a chosen share of the RTP packets the agent sends (media and
// retransmissions alike; RTCP, STUN and DTLS pass). The share steps 0 -> 2 -> 5 -> 0 % while a
// full-screen animation streams; every second prints the agent's target and sent bitrate, the
// frames Chromium decoded, its longest wait for a new frame, and the keyframe requests (PLI) and
// keyframes, then how soon the target fell after loss began and recovered after it ended.
//
// Environment: AGENT_BINARY, ANIMATE_BINARY; BENCH_KBPS (the agent's ceiling, 8000),
// BENCH_PHASES (seconds:percent steps, "10:0,15:2,15:5,20:0").
'use strict';
const { spawn } = require('node:child_process');
const dgram = require('node:dgram');
const os = require('node:os');
const path = require('node:path');
const { startAgent, startXorg, openClient, streamMain } = require(path.join(__dirname, '..', 'tests', 'e2e', 'harness'));
const { sleep } = require('./readback');

const KBPS = Number(process.env.BENCH_KBPS || 8000);
const PHASES = (process.env.BENCH_PHASES || '10:0,15:2,15:5,20:0').split(',')
  .map((p) => { const [s, pct] = p.split(':').map(Number); return { seconds: s, loss: pct / 100 }; });
const progress = (text) => process.stderr.write(text + '\n');

// RTP, not RTCP: version 2, and a second byte outside RTCP's packet types (RFC 5761).
function isRtp(b) {
  return b.length >= 12 && (b[0] & 0xc0) === 0x80 && !(b[1] >= 192 && b[1] <= 223);
}

// One relay per agent candidate: Chromium sends to `port`; what the agent sends back is
// forwarded unless it is an RTP packet picked to be lost.
class LossyRelay {
  constructor(agentPort) {
    this.loss = 0;
    this.forwarded = 0;
    this.dropped = 0;
    this.browser = null;
    this.front = dgram.createSocket('udp4');
    this.back = dgram.createSocket('udp4');
    this.front.on('message', (msg, from) => {
      this.browser = from;
      this.back.send(msg, agentPort, '127.0.0.1');
    });
    this.back.on('message', (msg) => {
      if (!this.browser) return;
      if (isRtp(msg)) {
        if (Math.random() < this.loss) { this.dropped++; return; }
        this.forwarded++;
      }
      this.front.send(msg, this.browser.port, this.browser.address);
    });
  }
  async open() {
    await Promise.all([this.front, this.back].map((s) => new Promise((resolve) => s.bind(0, '127.0.0.1', resolve))));
    return this.front.address().port;
  }
  close() { this.front.close(); this.back.close(); }
}

(async () => {
  progress(`load average at start: ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
  const xorg = await startXorg();
  const animation = spawn(process.env.ANIMATE_BINARY, ['1920', '1080', '60'], { env: xorg.env, stdio: ['ignore', 'pipe', 'inherit'] });
  await new Promise((resolve) => animation.stdout.once('data', resolve));
  const agent = await startAgent({ stream: { full: { maxKbps: KBPS } } }, xorg.env);
  const client = await openClient();
  const { page } = client;
  const relays = new Map(); // agent port -> relay
  const setLoss = (loss) => { for (const r of relays.values()) r.loss = loss; };
  try {
    // Chromium learns the agent only through the relays, and the agent learns Chromium only from
    // the connectivity checks the relays forward, so every packet takes the lossy path.
    await page.exposeFunction('relayPort', async (agentPort) => {
      if (!relays.has(agentPort)) {
        const relay = new LossyRelay(agentPort);
        relay.port = await relay.open();
        relays.set(agentPort, relay);
      }
      return relays.get(agentPort).port;
    });
    await page.evaluate(() => {
      const rewrite = async (candidate) => {
        const f = candidate.replace(/^a=/, '').split(' ');
        if (f.length < 8 || f[2].toUpperCase() !== 'UDP' || f[4] !== '127.0.0.1') return null;
        f[5] = String(await window.relayPort(Number(f[5])));
        return f.join(' ');
      };
      const request = rc.request.bind(rc);
      rc.request = async (type, params) => {
        if (type === 'rtc.ice') return { ok: true };
        const reply = await request(type, params);
        if (type === 'rtc.offer' && reply.ok) {
          const lines = [];
          for (const line of reply.data.sdp.split('\r\n')) {
            if (!line.startsWith('a=candidate:')) { lines.push(line); continue; }
            const c = await rewrite(line);
            if (c) lines.push('a=' + c);
          }
          reply.data.sdp = lines.join('\r\n');
        }
        return reply;
      };
      const receive = rc.receive.bind(rc);
      rc.receive = (msg) => {
        if (msg.type !== 'rtc.ice') return receive(msg);
        rewrite(msg.candidate).then((c) => { if (c) receive({ ...msg, candidate: c }); });
      };
    });
    await streamMain(page, agent, { stats: true });
    if (!relays.size) throw new Error('the connection did not go through the relay');

    // The page notes every new decoded frame, keyframe request and keyframe as it happens.
    await page.evaluate(() => {
      window.loss = { decodedAt: [], pliAt: [], keyAt: [], stats: [], last: null };
      rc.listeners.add((e) => { if (e.type === 'stats' && e.width) loss.stats.push({ at: Date.now(), ...e }); });
      const poll = async () => {
        const s = await rc.inbound();
        const now = Date.now();
        if (s && loss.last) {
          if (s.framesDecoded > loss.last.framesDecoded) loss.decodedAt.push(now);
          if ((s.pliCount || 0) > (loss.last.pliCount || 0)) loss.pliAt.push(now);
          if ((s.keyFramesDecoded || 0) > (loss.last.keyFramesDecoded || 0)) loss.keyAt.push(now);
        }
        if (s) loss.last = s;
        setTimeout(poll, 20);
      };
      poll();
    });
    progress(`waiting for the target to reach ${KBPS} kbit/s`);
    const from = await page.evaluate(() => rc.events.length);
    await page.evaluate(([f, k]) => Promise.race([rc.waitEvent('stats', (e) => e.targetKbps >= k, f),
                                                  new Promise((resolve) => setTimeout(resolve, 40000))]), [from, KBPS]);

    const schedule = [];
    let t = Date.now();
    for (const p of PHASES) { schedule.push({ ...p, from: t, to: t + p.seconds * 1000 }); t += p.seconds * 1000; }
    console.log(`machine: ${os.cpus().length} x ${os.cpus()[0].model}, load average ${os.loadavg().map((l) => l.toFixed(2)).join(' ')}`);
    console.log('  s  loss  target kbit/s  sent kbit/s  decoded fps  longest wait ms  PLI  keyframes  RTP dropped/forwarded');
    const start = schedule[0].from;
    let prev = await page.evaluate(() => ({ ...loss.last }));
    let prevRelay = { dropped: 0, forwarded: 0 };
    for (const phase of schedule) {
      setLoss(phase.loss);
      while (Date.now() < phase.to) {
        const tickStart = Date.now();
        await sleep(1000);
        const now = Date.now();
        const s = await page.evaluate(([a, b]) => ({
          inbound: { ...loss.last },
          decodedAt: loss.decodedAt.filter((x) => x >= a - 1000 && x <= b),
          pli: loss.pliAt.filter((x) => x > a && x <= b).length,
          keys: loss.keyAt.filter((x) => x > a && x <= b).length,
          stats: loss.stats.filter((x) => x.at <= b).slice(-1)[0] || {},
        }), [tickStart, now]);
        // The longest time without a new frame that ended or is still open in this second.
        const times = [...s.decodedAt, now];
        let wait = 0;
        for (let i = 1; i < times.length; i++) if (times[i] > tickStart) wait = Math.max(wait, times[i] - times[i - 1]);
        const fps = (s.inbound.framesDecoded - prev.framesDecoded) / ((now - tickStart) / 1000);
        const relay = [...relays.values()].reduce((a, r) => ({ dropped: a.dropped + r.dropped, forwarded: a.forwarded + r.forwarded }), { dropped: 0, forwarded: 0 });
        console.log(`${String(Math.round((now - start) / 1000)).padStart(3)}  ${(phase.loss * 100).toFixed(0).padStart(3)} %` +
                    `  ${String(s.stats.targetKbps ?? '-').padStart(13)}  ${String(s.stats.sentKbps ?? '-').padStart(11)}` +
                    `  ${fps.toFixed(1).padStart(11)}  ${String(wait).padStart(15)}  ${String(s.pli).padStart(3)}` +
                    `  ${String(s.keys).padStart(9)}  ${relay.dropped - prevRelay.dropped}/${relay.forwarded - prevRelay.forwarded}`);
        prev = s.inbound;
        prevRelay = relay;
      }
    }
    setLoss(0);

    // How the target followed: when it first fell after loss began, and when it was back at the
    // level it had before, after loss ended.
    const r = await page.evaluate(() => ({ stats: loss.stats, decodedAt: loss.decodedAt, pliAt: loss.pliAt, keyAt: loss.keyAt }));
    const lossStart = schedule.find((p) => p.loss > 0);
    const lossEnd = schedule.filter((p) => p.loss > 0).slice(-1)[0];
    const before = r.stats.filter((x) => x.at <= lossStart.from).slice(-1)[0];
    const fell = r.stats.find((x) => x.at > lossStart.from && x.targetKbps < before.targetKbps);
    const lowest = Math.min(...r.stats.filter((x) => x.at > lossStart.from && x.at <= lossEnd.to + 1000).map((x) => x.targetKbps));
    const back = r.stats.find((x) => x.at > lossEnd.to && x.targetKbps >= before.targetKbps);
    console.log(`target before loss: ${before.targetKbps} kbit/s; lowest during loss: ${lowest} kbit/s`);
    console.log(`target fell ${fell ? ((fell.at - lossStart.from) / 1000).toFixed(1) + ' s after loss began' : 'never'}; ` +
                `back at ${before.targetKbps} kbit/s ${back ? ((back.at - lossEnd.to) / 1000).toFixed(1) + ' s after loss ended' : 'not within the run'}`);
    // Freezes: waits for a new frame over 200 ms while loss ran, and how long each keyframe
    // request took to be answered by a decoded keyframe.
    const during = r.decodedAt.filter((x) => x >= lossStart.from && x <= lossEnd.to + 2000);
    const freezes = [];
    for (let i = 1; i < during.length; i++) if (during[i] - during[i - 1] > 200) freezes.push(during[i] - during[i - 1]);
    const answers = r.pliAt.filter((p) => p >= lossStart.from).map((p) => { const k = r.keyAt.find((x) => x >= p); return k ? k - p : null; });
    console.log(`freezes over 200 ms during loss: ${freezes.length}${freezes.length ? ', longest ' + Math.max(...freezes) + ' ms' : ''}`);
    console.log(`keyframe requests during loss: ${answers.length}; answered by a keyframe after ` +
                `${answers.length ? answers.map((a) => (a === null ? 'never' : a + ' ms')).join(', ') : '-'}`);
  } finally {
    for (const r of relays.values()) r.close();
    await client.close();
    await agent.stop();
    animation.kill('SIGTERM');
    await xorg.stop();
  }
})().catch((e) => { console.error(e); process.exit(1); });
