// Head to head on one X display: the agent streaming a full-screen animation to headless Chromium,
// against GStreamer's ximagesrc ! x264enc and ffmpeg's x11grab ! libx264 capturing the same
// animation with the agent's encoder settings (4:2:0, ultrafast, zero latency, the agent's
// bitrate, slices and key interval). For each display size it prints frames per second, CPU per
// frame (the process plus what it costs the X server beyond drawing the animation), and for the
// agent glass-to-glass latency, where a frame's time goes (capture, conversion, x264, sending)
// and the agent/reference ratios. Progress goes to standard error, figures to standard output.
//
// Environment: AGENT_BINARY, ANIMATE_BINARY; BENCH_SECONDS (measured seconds per run, 10),
// BENCH_ROUNDS (interleaved rounds per size, 2), BENCH_SIZES (e.g. "1280x720,1920x1080"),
// BENCH_REFERENCES ("gst,ffmpeg", or "none" to run the agents alone).
// BASELINE_AGENT: another build of the agent (an older commit) to stream the same animation in
// the same rounds, to its own Chromium; the two agents take turns going first, and a second
// table gives both side by side.
'use strict';
const { spawn } = require('node:child_process');
const os = require('node:os');
const path = require('node:path');
const { startAgent, startXorg, openClient, until } = require(path.join(__dirname, '..', 'tests', 'e2e', 'harness'));
const { cpuSeconds, percentile, mean, sleep, installReader } = require('./readback');

const SECONDS = Number(process.env.BENCH_SECONDS || 10);
const ROUNDS = Number(process.env.BENCH_ROUNDS || 2);
const WARMUP_MS = 3000;
const FPS = 60;
const KBPS = 20000; // the agent's ceiling here; it starts at a quarter and climbs to it
const KEY_INT = 250; // x264's own default, which the agent leaves in place (key-int-max 0)
// The agent gives x264 one slice per thread, at most 4.
const THREADS = Math.min(Math.max(os.cpus().length, 1), 4);
const REFERENCES = (process.env.BENCH_REFERENCES || 'gst,ffmpeg').split(',').filter((r) => r && r !== 'none');
const BASELINE = process.env.BASELINE_AGENT || '';
const SIZES = (process.env.BENCH_SIZES || '1280x720,1920x1080,2560x1440,3840x2160').split(',')
  .map((s) => s.split('x').map(Number));

const progress = (text) => process.stderr.write(text + '\n');

// Makes the one output of the dummy driver `w` x `h`, with a framebuffer of that size.
async function resize(xorg, w, h) {
  const name = `bench${w}x${h}`;
  const ht = w + 160, vt = h + 30;
  // A low nominal refresh keeps the pixel clock inside what the dummy driver accepts; nothing
  // scans out, so it does not limit capture.
  await xorg.x('xrandr', '--newmode', name, (ht * vt * 24 / 1e6).toFixed(2), String(w), String(w + 48),
               String(w + 80), String(ht), String(h), String(h + 3), String(h + 9), String(vt),
               '+hsync', '+vsync').catch(() => {});
  await xorg.x('xrandr', '--addmode', 'DUMMY0', name);
  await xorg.x('xrandr', '--output', 'DUMMY0', '--mode', name, '--primary');
  await xorg.x('xrandr', '--fb', `${w}x${h}`);
}

function startAnimation(env, w, h) {
  const proc = spawn(process.env.ANIMATE_BINARY, [String(w), String(h), String(FPS)],
                     { env, stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve) => proc.stdout.once('data', () => resolve(proc)));
}

async function stop(proc) {
  if (proc.exitCode !== null || proc.signalCode !== null) return;
  const exited = new Promise((resolve) => proc.once('exit', resolve));
  proc.kill('SIGINT'); // ffmpeg and gst-launch -e finish cleanly on SIGINT
  const timer = setTimeout(() => proc.kill('SIGKILL'), 5000);
  await exited;
  clearTimeout(timer);
}

// CPU of `pids` over `ms`, after a warm-up that keeps start-up out of the figures; `frames()`
// reads the process's own frame counter.
async function measure(pids, frames, ms) {
  await sleep(WARMUP_MS);
  const cpu0 = pids.map(cpuSeconds), f0 = frames(), t0 = Date.now();
  await sleep(ms);
  const cpu = pids.map((p, i) => cpuSeconds(p) - cpu0[i]);
  const wall = (Date.now() - t0) / 1000;
  return { cpu, frames: frames() - f0, wall };
}

// Runs a reference that prints a running frame count, which `parse` reads from its output.
async function reference(cmd, args, env, parse, xorgPid) {
  const proc = spawn(cmd, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let count = 0, err = '';
  const onData = (d) => { const n = parse(d.toString()); if (n !== undefined) count = n; };
  proc.stdout.on('data', onData);
  proc.stderr.on('data', (d) => { err = (err + d).slice(-2000); onData(d); });
  const failed = new Promise((_, reject) => proc.once('exit', (code) => reject(new Error(`${cmd} exited (${code}): ${err}`))));
  failed.catch(() => {});
  try {
    const w = await Promise.race([measure([proc.pid, xorgPid], () => count, SECONDS * 1000), failed]);
    if (w.frames <= 0) throw new Error(`${cmd} encoded no frames: ${err}`);
    return { fps: w.frames / w.wall, processMs: w.cpu[0] / w.frames * 1000, xorgCpu: w.cpu[1], wall: w.wall, frames: w.frames };
  } finally {
    proc.removeAllListeners('exit');
    await stop(proc);
  }
}

function gstreamer(env, xorgPid, kbps) {
  // fpsdisplaysink reports frames rendered twice a second in its last-message (-v).
  const pipeline = ['-v', '-e', 'ximagesrc', 'use-damage=false', '!', `video/x-raw,framerate=${FPS}/1`, '!',
    'videoconvert', '!', 'video/x-raw,format=I420', '!',
    'x264enc', 'tune=zerolatency', 'speed-preset=ultrafast', `bitrate=${kbps}`, 'sliced-threads=true',
    `threads=${THREADS}`, `key-int-max=${KEY_INT}`, 'bframes=0', 'rc-lookahead=0', 'vbv-buf-capacity=500', '!',
    'fpsdisplaysink', 'text-overlay=false', 'video-sink=fakesink', 'sync=false', 'fps-update-interval=250'];
  const parse = (text) => {
    const all = [...text.matchAll(/rendered: (\d+)/g)];
    return all.length ? Number(all[all.length - 1][1]) : undefined;
  };
  return reference('gst-launch-1.0', pipeline, env, parse, xorgPid);
}

function ffmpeg(env, xorgPid, kbps, w, h) {
  const args = ['-hide_banner', '-nostdin', '-loglevel', 'error', '-progress', 'pipe:1', '-stats_period', '0.25',
    '-f', 'x11grab', '-framerate', String(FPS), '-video_size', `${w}x${h}`, '-i', env.DISPLAY,
    // Each captured frame is encoded once (no duplicates to reach a constant rate).
    '-fps_mode', 'passthrough', '-pix_fmt', 'yuv420p', '-c:v', 'libx264', '-preset', 'ultrafast', '-tune', 'zerolatency',
    '-b:v', `${kbps}k`, '-maxrate', `${kbps}k`, '-bufsize', `${kbps / 2}k`, '-g', String(KEY_INT), '-bf', '0',
    '-threads', String(THREADS), '-x264-params', 'sliced-threads=1:rc-lookahead=0', '-f', 'null', '-'];
  const parse = (text) => {
    const all = [...text.matchAll(/^frame=(\d+)/gm)];
    return all.length ? Number(all[all.length - 1][1]) : undefined;
  };
  return reference('ffmpeg', args, env, parse, xorgPid);
}

// The agent streaming to Chromium: frames encoded (agent statistics), CPU, latency, stage split.
async function agentRun(xorg, page, agentPid, w) {
  const started = await page.evaluate(() => rc.request('stream.start', { displayId: rc.hello.displays.find((d) => d.isMain).id }));
  if (!started.ok) throw new Error(started.error);
  await until(page, (width) => rc.video.videoWidth === width, w);
  // Steady state: the bitrate has climbed to its ceiling (or stopped climbing).
  const climbFrom = await page.evaluate(() => rc.events.length);
  await page.evaluate(([from, kbps]) => Promise.race([
    rc.waitEvent('stats', (e) => e.targetKbps >= kbps, from),
    new Promise((resolve) => setTimeout(resolve, 30000))]), [climbFrom, KBPS]);
  const from = await page.evaluate(() => { bench.samples = []; bench.recording = true; return rc.events.length; });
  const cpu0 = [cpuSeconds(agentPid), cpuSeconds(xorg.pid)], t0 = Date.now();
  await sleep(SECONDS * 1000);
  const cpu = [cpuSeconds(agentPid) - cpu0[0], cpuSeconds(xorg.pid) - cpu0[1]];
  const wall = (Date.now() - t0) / 1000;
  const result = await page.evaluate((start) => {
    bench.recording = false;
    return { samples: bench.samples, stats: rc.events.slice(start).filter((e) => e.type === 'stats' && e.width) };
  }, from);
  await page.evaluate(() => rc.request('stream.stop'));
  const pick = (k) => result.stats.filter((s) => typeof s[k] === 'number').map((s) => s[k]);
  const frames = pick('encodeFps').reduce((a, b) => a + b, 0); // one statistics event a second
  const latencies = result.samples.map((s) => s.latency).filter((l) => l < 10000);
  const arrivals = result.samples.map((s) => s.received).filter((l) => l !== undefined && l < 10000);
  return {
    fps: mean(pick('encodeFps')), processMs: cpu[0] / Math.max(frames, 1) * 1000, xorgCpu: cpu[1], wall,
    frames, kbps: mean(pick('targetKbps')), sentKbps: mean(pick('sentKbps')),
    p50: percentile(latencies, 50), p95: percentile(latencies, 95), receivedP50: percentile(arrivals, 50),
    // NaN where the agent does not report a stage (an older build as the baseline).
    stages: ['captureMs', 'convertMs', 'encodeMs', 'sendMs'].map((k) => (pick(k).length ? mean(pick(k)) : NaN)),
  };
}

// An agent (the harness starts AGENT_BINARY, or `binary`) with its own Chromium, connected,
// negotiated and reading frames back; idle until a run starts its stream.
async function openAgent(binary, env) {
  const saved = process.env.AGENT_BINARY;
  if (binary) process.env.AGENT_BINARY = binary;
  let agent;
  try {
    agent = await startAgent({ stream: { full: { maxKbps: KBPS, maxFps: FPS } } }, env);
  } finally {
    process.env.AGENT_BINARY = saved;
  }
  const client = await openClient();
  const close = async () => { await client.close(); await agent.stop(); };
  try {
    const { page } = client;
    await page.evaluate((url) => rc.connect(url), agent.url);
    const answer = await page.evaluate(() => rc.negotiate());
    if (!answer.ok) throw new Error(answer.error);
    await page.evaluate(() => rc.request('stats.start'));
    await installReader(page);
    return { page, pid: agent.proc.pid, close };
  } catch (e) {
    await close();
    throw e;
  }
}

// Per-frame X server cost beyond drawing the animation (measured alone as `idleXorgCps`).
function withX(run, idleXorgCps) {
  const xorgMs = Math.max(run.xorgCpu - idleXorgCps * run.wall, 0) / Math.max(run.frames, 1) * 1000;
  return { ...run, xorgMs, totalMs: run.processMs + xorgMs };
}

const median = (xs) => percentile(xs, 50);
function combine(runs) {
  const out = {};
  for (const k of Object.keys(runs[0])) {
    out[k] = Array.isArray(runs[0][k]) ? runs[0][k].map((_, i) => median(runs.map((r) => r[k][i]))) : median(runs.map((r) => r[k]));
  }
  return out;
}

(async () => {
  const load = () => os.loadavg().map((l) => l.toFixed(2)).join(' ');
  const loadAtStart = load();
  progress(`load average at start: ${loadAtStart}`);
  const xorg = await startXorg();
  const rows = [];
  try {
    for (const [w, h] of SIZES) {
      progress(`${w}x${h}: display resized`);
      await resize(xorg, w, h);
      const animation = await startAnimation(xorg.env, w, h);
      const opened = [];
      try {
        const agent = await openAgent('', xorg.env);
        opened.push(agent);
        const baseline = BASELINE ? await openAgent(BASELINE, xorg.env) : null;
        if (baseline) opened.push(baseline);
        // What the X server spends drawing the animation alone.
        const idle = await measure([xorg.pid], () => 0, 3000);
        const idleXorgCps = idle.cpu[0] / idle.wall;
        const runs = { agent: [], baseline: [], gst: [], ffmpeg: [] };
        for (let round = 1; round <= ROUNDS; round++) {
          // The two agents alternate which goes first, so neither always follows a reference.
          const order = baseline && round % 2 === 0 ? [['baseline', baseline], ['agent', agent]]
            : [['agent', agent], ['baseline', baseline]];
          for (const [name, a] of order) {
            if (!a) continue;
            progress(`${w}x${h} round ${round}/${ROUNDS}: ${name} (load ${load()})`);
            const run = withX(await agentRun(xorg, a.page, a.pid, w), idleXorgCps);
            progress(`  ${name}: ${run.fps.toFixed(1)} fps, ${run.totalMs.toFixed(2)} ms/frame, ` +
                     `glass-to-glass p50 ${run.p50} p95 ${run.p95} ms (to the last packet's arrival p50 ${run.receivedP50})`);
            runs[name].push(run);
          }
          const kbps = Math.round(runs.agent[runs.agent.length - 1].kbps) || KBPS;
          if (REFERENCES.includes('gst')) {
            progress(`${w}x${h} round ${round}/${ROUNDS}: GStreamer at ${kbps} kbit/s (load ${load()})`);
            runs.gst.push(withX(await gstreamer(xorg.env, xorg.pid, kbps), idleXorgCps));
          }
          if (REFERENCES.includes('ffmpeg')) {
            progress(`${w}x${h} round ${round}/${ROUNDS}: ffmpeg at ${kbps} kbit/s (load ${load()})`);
            runs.ffmpeg.push(withX(await ffmpeg(xorg.env, xorg.pid, kbps, w, h), idleXorgCps));
          }
        }
        const row = { size: `${w}x${h}` };
        for (const [k, v] of Object.entries(runs)) row[k] = v.length ? combine(v) : null;
        rows.push(row);
      } finally {
        for (const a of opened) await a.close();
        animation.kill('SIGTERM');
      }
    }
  } finally {
    await xorg.stop();
  }

  const f1 = (x) => (Number.isFinite(x) ? x.toFixed(1) : '-');
  const f2 = (x) => (Number.isFinite(x) ? x.toFixed(2) : '-');
  const cpu = os.cpus();
  console.log(`machine: ${cpu.length} x ${cpu[0].model}, ${(os.totalmem() / 2 ** 30).toFixed(0)} GiB, ` +
              `load average ${loadAtStart} at start, ${load()} at end`);
  console.log(`settings: ${FPS} fps animation, x264 ultrafast zerolatency 4:2:0, ${THREADS} slices, ` +
              `key interval ${KEY_INT}, the agent's bitrate (ceiling ${KBPS} kbit/s); medians of ${ROUNDS} ` +
              `interleaved rounds of ${SECONDS} s`);
  console.log('CPU ms/frame = the process plus the X server beyond drawing the animation');
  console.log('');
  console.log('| size | kbit/s | agent fps | GStreamer fps | ffmpeg fps | agent CPU ms/frame | GStreamer CPU ms/frame | ' +
              'ffmpeg CPU ms/frame | agent/GStreamer | agent/ffmpeg | glass-to-glass p50 / p95 ms | ' +
              'capture / convert / x264 / send ms |');
  console.log('|---|---|---|---|---|---|---|---|---|---|---|---|');
  const none = { totalMs: NaN, fps: NaN };
  for (const r of rows) {
    const { agent: a } = r, g = r.gst || none, m = r.ffmpeg || none;
    console.log(`| ${r.size} | ${a.kbps.toFixed(0)} | ${f1(a.fps)} | ${f1(g.fps)} | ${f1(m.fps)} | ` +
                `${f2(a.totalMs)} | ${f2(g.totalMs)} | ${f2(m.totalMs)} | ${f2(a.totalMs / g.totalMs)} | ` +
                `${f2(a.totalMs / m.totalMs)} | ${a.p50} / ${a.p95} | ${a.stages.map(f2).join(' / ')} |`);
  }
  if (!BASELINE) return;
  const stages = (x) => x.stages.map(f2).join(' / ');
  console.log('');
  console.log(`baseline: ${BASELINE}`);
  console.log('');
  console.log('| size | baseline fps | agent fps | baseline CPU ms/frame | agent CPU ms/frame | ' +
              'baseline glass-to-glass p50 / p95 ms | agent glass-to-glass p50 / p95 ms | p50 difference ms | ' +
              'baseline capture / convert / x264 / send ms | agent capture / convert / x264 / send ms |');
  console.log('|---|---|---|---|---|---|---|---|---|---|');
  for (const r of rows) {
    const { agent: a, baseline: b } = r;
    console.log(`| ${r.size} | ${f1(b.fps)} | ${f1(a.fps)} | ${f2(b.totalMs)} | ${f2(a.totalMs)} | ` +
                `${b.p50} / ${b.p95} | ${a.p50} / ${a.p95} | ${b.p50 - a.p50} | ${stages(b)} | ${stages(a)} |`);
  }
})().catch((e) => { console.error(e); process.exit(1); });
