// Shared set-up for the end-to-end tests: the real agent in developer mode under a temporary home,
// and Debian's Chromium (never a downloaded browser) as the phone, running the web client.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');
const { chromium } = require('playwright-core');

const root = path.resolve(__dirname, '..', '..');
const CHROMIUM = '/usr/bin/chromium';

function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(name + ' is not set');
  return value;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

class Agent {
  constructor(proc, home, port) {
    this.proc = proc;
    this.home = home;
    this.port = port;
    this.stderr = '';
    this.waiters = [];
    proc.stderr.on('data', (d) => {
      this.stderr += d.toString();
      if (process.env.E2E_AGENT_LOG) process.stderr.write(d);
      this.waiters = this.waiters.filter((w) => !w());
    });
    this.exited = new Promise((resolve) => proc.once('exit', resolve));
    // A sanitized agent reports leaks as it exits: its output is complete once the pipe closes.
    this.outputClosed = new Promise((resolve) => proc.stderr.once('close', resolve));
  }
  get url() { return 'ws://127.0.0.1:' + this.port; }
  // Resolves once the log holds `text`.
  waitForLog(text) {
    return new Promise((resolve) => {
      const check = () => { if (this.stderr.includes(text)) { resolve(); return true; } return false; };
      if (!check()) this.waiters.push(check);
    });
  }
  // Quits the agent with SIGTERM; rejects when its output holds a sanitizer report.
  async stop() {
    this.proc.kill('SIGTERM');
    await this.exited;
    // A program the agent started may hold the pipe open after it: its end is waited for a while only.
    await Promise.race([this.outputClosed, new Promise((resolve) => setTimeout(resolve, 10000).unref())]);
    fs.rmSync(this.home, { recursive: true, force: true });
    const at = this.stderr.search(/ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:|UndefinedBehaviorSanitizer/);
    if (at >= 0) throw new Error('sanitizer report from the agent:\n' + this.stderr.slice(Math.max(0, at - 200), at + 20000));
  }
}

const XORG_CONFIG = path.join(__dirname, '..', 'support', 'xorg-dummy.conf');

function run(cmd, args, env) {
  return new Promise((resolve, reject) => {
    const p = spawn(cmd, args, { env, stdio: ['ignore', 'ignore', 'pipe'] });
    let err = '';
    p.stderr.on('data', (d) => { err += d; });
    p.once('error', reject);
    p.once('exit', (code) => (code === 0 ? resolve() : reject(new Error(cmd + ' ' + args.join(' ') + ': ' + err))));
  });
}

// A private Xorg server with the dummy driver (Xvfb ignores extra monitors) and openbox, with a
// 1920x1080 primary output on a 3840x1080 framebuffer so that a second monitor fits beside it.
async function startXorg() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'xorg-e2e-'));
  fs.copyFileSync(XORG_CONFIG, path.join(dir, 'xorg.conf'));
  const server = spawn('Xorg', ['-displayfd', '3', '-config', path.join(dir, 'xorg.conf'), '-configdir',
                                path.join(dir, 'none'), '-logfile', path.join(dir, 'Xorg.log'), '-nolisten', 'tcp',
                                '-noreset'],
                       { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const number = await new Promise((resolve, reject) => {
    let text = '';
    server.stdio[3].on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve(text.trim());
    });
    server.once('exit', () => reject(new Error('Xorg with the dummy driver did not start: ' +
                                               fs.readFileSync(path.join(dir, 'Xorg.log'), 'utf8').slice(-2000))));
  });
  const env = { ...process.env, DISPLAY: ':' + number };
  const x = (cmd, ...args) => run(cmd, args, env);
  const w = 1920, h = 1080, htotal = w + 160, vtotal = h + 30;
  const clock = (htotal * vtotal * 60 / 1e6).toFixed(2);
  try {
    // The driver may already know a mode of that name.
    await x('xrandr', '--newmode', '1920x1080', clock, String(w), String(w + 48), String(w + 80), String(htotal),
            String(h), String(h + 3), String(h + 9), String(vtotal), '+hsync', '+vsync').catch(() => {});
    await x('xrandr', '--addmode', 'DUMMY0', '1920x1080');
    await x('xrandr', '--output', 'DUMMY0', '--mode', '1920x1080', '--primary');
    await x('xrandr', '--fb', '3840x1080');
  } catch (e) {
    server.kill('SIGTERM');
    throw e;
  }
  const wm = spawn('openbox', [], { env, stdio: 'ignore' });
  return {
    display: env.DISPLAY,
    env,
    pid: server.pid,
    x,
    // Paints the root window `left` up to column `split` and `right` from there on (a one-row
    // bitmap that X tiles over the whole screen).
    async paint(left, right, split = 1920, width = 3840) {
      const bytes = [];
      for (let i = 0; i < width / 8; i++) {
        let b = 0;
        for (let bit = 0; bit < 8; bit++) if (i * 8 + bit >= split) b |= 1 << bit; // XBM is LSB first
        bytes.push('0x' + b.toString(16).padStart(2, '0'));
      }
      const file = path.join(dir, 'split.xbm');
      fs.writeFileSync(file, `#define split_width ${width}\n#define split_height 1\n` +
                             // Xlib reads bitmap files in short lines.
                             `static unsigned char split_bits[] = {\n${bytes.map((b, i) => b + ((i + 1) % 12 ? ',' : ',\n')).join('')}};\n`);
      await x('xsetroot', '-bitmap', file, '-bg', left, '-fg', right);
    },
    // Two monitors the pointer can reach: X keeps the pointer inside the outputs' areas, and the
    // driver has one output, so that output takes the whole 3840x1080 framebuffer and is split
    // into the primary monitor (1920x1080 at the left) and "SECOND" (1280x720 beside it).
    async twoMonitorsOneOutput() {
      const W = 3840, H = 1080, hTotal = W + 160, vTotal = H + 30;
      const mode = W + 'x' + H;
      await x('xrandr', '--newmode', mode, (hTotal * vTotal * 30 / 1e6).toFixed(2), String(W), String(W + 48),
              String(W + 80), String(hTotal), String(H), String(H + 3), String(H + 9), String(vTotal),
              '+hsync', '+vsync').catch(() => {});
      await x('xrandr', '--addmode', 'DUMMY0', mode);
      await x('xrandr', '--output', 'DUMMY0', '--mode', mode, '--primary');
      await x('xrandr', '--setmonitor', '*MAIN', '1920/508x1080/286+0+0', 'DUMMY0');
      await x('xrandr', '--setmonitor', 'SECOND', '1280/339x720/190+1920+0', 'none');
    },
    // The pointer's position on the screen.
    async pointer() {
      const out = await new Promise((resolve, reject) => {
        const p = spawn('xdotool', ['getmouselocation', '--shell'], { env, stdio: ['ignore', 'pipe', 'ignore'] });
        let text = '';
        p.stdout.on('data', (d) => { text += d; });
        p.once('error', reject);
        p.once('exit', () => resolve(text));
      });
      const get = (k) => Number((out.match(new RegExp('^' + k + '=(\\d+)', 'm')) || [])[1]);
      return { x: get('X'), y: get('Y') };
    },
    async stop() {
      wm.kill('SIGTERM');
      server.kill('SIGTERM');
      await new Promise((resolve) => server.once('exit', resolve));
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Polls `check` (an async predicate) every 200 ms until it holds; fails with `what` after `limit` ms.
async function poll(check, what, limit = 60000) {
  const deadline = Date.now() + limit;
  while (!(await check())) {
    if (Date.now() > deadline) throw new Error(what);
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
}

// A headless GNOME session of the test's own: a private session bus with PipeWire, WirePlumber
// and Mutter (one 1920x1080 virtual monitor, Wayland only) on it, in a runtime directory of its
// own. `env` is the environment of a program in that session; `painter(colour)` starts the
// wayland-painter client ($WAYLAND_PAINTER) and resolves once it drew.
async function startMutter() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'mutter-e2e-'));
  const run = path.join(dir, 'run');
  fs.mkdirSync(run, { mode: 0o700 });
  fs.mkdirSync(path.join(dir, 'home'));
  const procs = [];
  const start = (cmd, args, env) => {
    const p = spawn(cmd, args, { env, stdio: ['ignore', 'ignore', 'ignore'] });
    procs.unshift(p);
    return p;
  };
  const bus = spawn('dbus-daemon', ['--session', '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
  procs.unshift(bus);
  const stop = async () => {
    for (const p of procs) {
      if (p.exitCode !== null || p.signalCode !== null) continue;
      p.kill('SIGTERM');
      await new Promise((resolve) => p.once('exit', resolve));
    }
    fs.rmSync(dir, { recursive: true, force: true });
  };
  try {
    const address = await new Promise((resolve, reject) => {
      let text = '';
      bus.stdout.on('data', (d) => {
        text += d;
        if (text.includes('\n')) resolve(text.trim());
      });
      bus.once('exit', () => reject(new Error('dbus-daemon did not start')));
    });
    const env = { ...process.env, DBUS_SESSION_BUS_ADDRESS: address, XDG_RUNTIME_DIR: run, PIPEWIRE_RUNTIME_DIR: run,
                  HOME: path.join(dir, 'home'), XDG_CONFIG_HOME: path.join(dir, 'home', '.config'),
                  XDG_STATE_HOME: path.join(dir, 'home', '.state'), GSETTINGS_BACKEND: 'memory' };
    for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'XDG_SESSION_TYPE', 'PIPEWIRE_REMOTE']) delete env[name];
    start('pipewire', [], env);
    await poll(() => fs.existsSync(path.join(run, 'pipewire-0')), 'pipewire did not open its socket');
    start('wireplumber', [], env);
    const mutter = start('mutter', ['--headless', '--virtual-monitor', '1920x1080', '--wayland', '--no-x11'], env);
    const owned = (name) => new Promise((resolve) => {
      const p = spawn('gdbus', ['call', '--address', address, '--dest', 'org.freedesktop.DBus', '--object-path',
                                '/org/freedesktop/DBus', '--method', 'org.freedesktop.DBus.NameHasOwner', name],
                      { stdio: ['ignore', 'pipe', 'ignore'] });
      let out = '';
      p.stdout.on('data', (d) => { out += d; });
      p.once('exit', () => resolve(out.includes('true')));
    });
    await poll(async () => (await owned('org.gnome.Mutter.RemoteDesktop')) && (await owned('org.gnome.Mutter.ScreenCast'))
                           && (await owned('org.gnome.Mutter.DisplayConfig')),
               'mutter did not serve its remote-desktop services');
    const session = { ...env, WAYLAND_DISPLAY: 'wayland-0', XDG_SESSION_TYPE: 'wayland' };
    return {
      env: session,
      pid: mutter.pid,
      // Starts the painter ("animate" for the benchmarks' animation); resolves once it drew. `heard(match)` waits for one of its lines.
      async painter(colour) {
        const p = spawn(required('WAYLAND_PAINTER'), [colour], { env: session, stdio: ['ignore', 'pipe', 'ignore'] });
        procs.unshift(p);
        const lines = [];
        readline.createInterface({ input: p.stdout }).on('line', (line) => lines.push(line));
        const painter = {
          lines,
          proc: p,
          heard: (match, what, limit) => poll(() => lines.some(match), 'the painter never printed ' + what, limit),
        };
        await painter.heard((l) => l.startsWith('drawn'), 'that it drew');
        return painter;
      },
      stop,
    };
  } catch (e) {
    await stop();
    throw e;
  }
}

// Starts `remote-agent --dev` with `config` (the port is chosen here), in the desktop session of
// `env` (X11 by its DISPLAY, GNOME on Wayland by its WAYLAND_DISPLAY), else of this process.
async function startAgent(config = {}, env = process.env) {
  if (!env.DISPLAY && !env.WAYLAND_DISPLAY) throw new Error('neither DISPLAY nor WAYLAND_DISPLAY is set');
  const binary = required('AGENT_BINARY');
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'agent-e2e-'));
  let devPort = await freePort();
  const dir = path.join(home, '.config', 'nembi-remote-agent');
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'config.json'), JSON.stringify({ ...config, port: devPort - 1 }));
  const proc = spawn(binary, ['--dev'], { env: { ...env, HOME: home }, stdio: ['ignore', 'ignore', 'pipe'] });
  const agent = new Agent(proc, home, devPort);
  await agent.waitForLog('DEV MODE: listening');
  return agent;
}

// Headless Chromium with fake media so that it gathers loopback candidates, on the web client.
async function openClient() {
  if (!fs.existsSync(CHROMIUM)) throw new Error(CHROMIUM + ' is missing: run scripts/setup');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'chromium-e2e-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
           '--allow-loopback-in-peer-connection'],
  });
  const page = context.pages()[0] || await context.newPage();
  page.on('console', (m) => { if (m.type() === 'error') console.error('page:', m.text()); });
  await page.goto('file://' + path.join(root, 'tools', 'web', 'index.html'));
  await page.evaluate(async () => {
    const media = await navigator.mediaDevices.getUserMedia({ video: true });
    media.getTracks().forEach((t) => t.stop());
  });
  return {
    page,
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// The input-probe X client (its path in $INPUT_PROBE) with a window over `area` ({x, y, width,
// height}, root coordinates) that records the input it receives. Each event is { kind, fields,
// line } with the line's words after the kind; with `stamp`, `at` is when the probe read it from
// the server (CLOCK_MONOTONIC nanoseconds, as process.hrtime.bigint()).
class Probe {
  constructor(proc, stamp) {
    this.proc = proc;
    this.events = [];
    this.read = 0; // events consumed by next()
    this.waiters = [];
    this.listeners = new Set();
    this.exited = new Promise((resolve) => proc.once('exit', resolve));
    this.gone = false;
    readline.createInterface({ input: proc.stdout }).on('line', (line) => {
      const words = line.trim().split(' ');
      const e = { kind: words[0], fields: words.slice(1), line };
      if (stamp && e.kind !== 'ready') e.at = BigInt(e.fields.pop());
      this.events.push(e);
      for (const l of this.listeners) l(e);
      this.wake();
    });
    proc.once('exit', () => { this.gone = true; this.wake(); });
  }

  wake() {
    this.waiters = this.waiters.filter((w) => !w());
  }

  // Resolves with the next event that `match` accepts; the events before it are consumed and
  // `seen` holds them, the matching one last. Fails when the probe exits first.
  next(match) {
    return new Promise((resolve, reject) => {
      const check = () => {
        while (this.read < this.events.length) {
          const e = this.events[this.read++];
          this.seen.push(e);
          if (match(e)) { resolve(e); return true; }
        }
        if (this.gone) { reject(new Error('input-probe exited')); return true; }
        return false;
      };
      this.seen = [];
      if (!check()) this.waiters.push(check);
    });
  }

  async stop() {
    this.proc.kill('SIGTERM');
    await this.exited;
  }
}

async function startProbe(env, area, { stamp = false } = {}) {
  const args = [area.x, area.y, area.width, area.height].map(String);
  if (stamp) args.push('--stamp');
  const proc = spawn(required('INPUT_PROBE'), args, { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const probe = new Probe(proc, stamp);
  await probe.next((e) => e.kind === 'ready');
  return probe;
}

// Buttons pressed (the pointer's mask), keys down and a checksum of the keyboard map on the
// display of `env`.
function inputState(env) {
  return new Promise((resolve, reject) => {
    const p = spawn(required('INPUT_PROBE'), ['--state'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
    let out = '';
    p.stdout.on('data', (d) => { out += d; });
    p.once('error', reject);
    p.once('exit', (code) => {
      const words = out.trim().split(' ');
      if (code !== 0 || words[0] !== 'state') return reject(new Error('input-probe --state failed: ' + out));
      resolve({ buttons: Number(words[1]), keys: Number(words[2]), map: words[3] });
    });
  });
}

// Polls `probe` in the page until it returns a truthy value; resolves with it. Fails after
// `timeout` ms rather than leaving the run to hang.
async function until(page, probe, arg, timeout = 60000) {
  const handle = await page.waitForFunction(probe, arg, { polling: 100, timeout });
  return handle.jsonValue();
}

// Waits until the page's peer connection has decoded video frames of `width` x `height`; fails
// with the receiver's statistics after `timeout` ms. Decoded frames prove the stream; the video
// element is not waited for: a starved headless browser can decode for a long while before its
// element shows a frame.
async function decoded(page, width, height, timeout = 30000) {
  // Polled from here: waitForFunction takes the promise of an async predicate for a true value.
  const deadline = Date.now() + timeout;
  for (;;) {
    const seen = await page.evaluate(async () => {
      let video = null;
      if (rc.pc) (await rc.pc.getStats()).forEach((r) => { if (r.type === 'inbound-rtp' && r.kind === 'video') video = r; });
      return { state: rc.pc && rc.pc.connectionState, video };
    });
    const v = seen.video;
    if (v && v.framesDecoded > 0 && v.frameWidth === width && v.frameHeight === height) return;
    if (Date.now() > deadline) throw new Error(`no ${width}x${height} video decoded: ${JSON.stringify(seen)}`);
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

// Connects the page's client to `agent`, negotiates and streams the main display; resolves with
// the hello reply once frames of `width` x `height` are decoded. With `stats`, statistics are
// asked for before the stream starts.
async function streamMain(page, agent, { width = 1920, height = 1080, stats = false } = {}) {
  const hello = await page.evaluate((url) => rc.connect(url), agent.url);
  const main = hello.displays.find((d) => d.isMain);
  const answer = await page.evaluate(() => rc.negotiate());
  if (!answer.ok) throw new Error(answer.error);
  if (stats) await page.evaluate(() => rc.request('stats.start'));
  const started = await page.evaluate((id) => rc.request('stream.start', { displayId: id }), main.id);
  if (!started.ok) throw new Error(started.error);
  await decoded(page, width, height);
  return hello;
}

// clip-peer (an X client of our own that owns and reads the clipboard) on `env`'s display: one
// command line in, one answer line out, in order.
function startClipPeer(env) {
  const proc = spawn(process.env.CLIP_PEER, [], { env, stdio: ['pipe', 'pipe', 'inherit'] });
  let buffer = '';
  const waiting = [];
  proc.stdout.on('data', (d) => {
    buffer += d;
    let nl;
    while ((nl = buffer.indexOf('\n')) >= 0) {
      const line = buffer.slice(0, nl);
      buffer = buffer.slice(nl + 1);
      const w = waiting.shift();
      if (w) w(line);
    }
  });
  return {
    proc,
    command(line) {
      return new Promise((resolve) => { waiting.push(resolve); proc.stdin.write(line + '\n'); });
    },
  };
}

module.exports = { startAgent, startXorg, startMutter, openClient, until, decoded, streamMain, startProbe, startClipPeer, inputState, root };
