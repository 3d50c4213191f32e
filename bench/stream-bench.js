// Streaming benchmark: Chromium on loopback receives a 1920x1080 full-screen animation through the
// agent and reads each decoded picture's frame number and time stamp back. Prints frames per
// second delivered, glass-to-glass latency, encode time, agent CPU per frame, bitrate and memory.
// The comparison with other capture-and-encode pipelines is bench/compare.
// BENCH_BACKEND=mutter streams a headless GNOME session instead (Wayland animation, frames through
// PipeWire); its pointer-only phase needs XTest and is left out there.
'use strict';
const { spawn } = require('node:child_process');
const path = require('node:path');
const { startAgent, startXorg, startMutter, openClient, streamMain } = require(path.join(__dirname, '..', 'tests', 'e2e', 'harness'));
const { cpuSeconds, rssMiB, percentile, installReader } = require('./readback');

const SECONDS = Number(process.env.BENCH_SECONDS || 10);
const FPS = 60;

function startAnimation(env, ...mode) {
  const proc = spawn(process.env.ANIMATE_BINARY, ['1920', '1080', String(FPS), ...mode], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve) => proc.stdout.once('data', () => resolve(proc)));
}

// The desktop streamed: its environment, the display server's pid (its CPU is part of the cost),
// the full-screen animation, and (X only) the pointer going round.
async function startDesktop() {
  if (process.env.BENCH_BACKEND === 'mutter') {
    const gnome = await startMutter();
    const animate = async () => (await gnome.painter('animate')).proc;
    return { env: gnome.env, pid: gnome.pid, name: 'Mutter', animate, pointer: null, stop: () => gnome.stop() };
  }
  const xorg = await startXorg();
  return { env: xorg.env, pid: xorg.pid, name: 'the X server', animate: () => startAnimation(xorg.env),
           pointer: () => startAnimation(xorg.env, 'pointer'), stop: () => xorg.stop() };
}

(async () => {
  const xorg = await startDesktop();
  let animation = await xorg.animate();
  const agent = await startAgent({}, xorg.env);
  const client = await openClient();
  const { page } = client;
  // CPU per second the X server spends over `ms` (on the animation or the pointer alone).
  const xorgRate = async (ms) => {
    const x0 = cpuSeconds(xorg.pid), at = Date.now();
    await new Promise((resolve) => setTimeout(resolve, ms));
    return (cpuSeconds(xorg.pid) - x0) / ((Date.now() - at) / 1000);
  };
  try {
    const xorgAnimation = await xorgRate(3000);
    const hello = await streamMain(page, agent, { stats: true });

    // Reads frame number and time stamp from every presented picture.
    await installReader(page);

    const cpu0 = cpuSeconds(agent.proc.pid), xorg0 = cpuSeconds(xorg.pid);
    const t0 = Date.now();
    const inbound = () => page.evaluate(async () => {
      const s = await rc.inbound();
      return { received: s.framesReceived, decoded: s.framesDecoded, dropped: s.framesDropped || 0,
               decodeSeconds: s.totalDecodeTime || 0 };
    });
    const in0 = await inbound();
    const statsFrom = await page.evaluate(() => { bench.recording = true; return rc.events.length; });
    await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
    const result = await page.evaluate((from) => {
      bench.recording = false;
      return { samples: bench.samples, stats: rc.events.slice(from).filter((e) => e.type === 'stats' && e.width) };
    }, statsFrom);
    const wall = (Date.now() - t0) / 1000;
    const in1 = await inbound();
    const cpu = cpuSeconds(agent.proc.pid) - cpu0;
    const xorgCpu = cpuSeconds(xorg.pid) - xorg0 - xorgAnimation * wall;
    const rss = rssMiB(agent.proc.pid);
    // The same stream over a still screen: what watching nothing change costs (the once-a-second
    // repeat of the last frame included).
    animation.kill('SIGTERM');
    await new Promise((resolve) => setTimeout(resolve, 2000));
    const still0 = cpuSeconds(agent.proc.pid);
    const stillT0 = Date.now();
    await new Promise((resolve) => setTimeout(resolve, 5000));
    const stillCpu = (cpuSeconds(agent.proc.pid) - still0) / ((Date.now() - stillT0) / 1000) * 100;
    // Only the pointer moves (60 times a second, through XTest) over a still picture. The X
    // server's own cost of that is measured before the stream starts again.
    let pointerCpu = 0, pointerWall = 1, pointerXorgCpu = 0, pointerStats = [], pointerFrames = 0;
    if (xorg.pointer) {
      await page.evaluate(() => rc.request('stream.stop'));
      const pointer = await xorg.pointer();
      await new Promise((resolve) => setTimeout(resolve, 1000));
      const xorgPointer = await xorgRate(3000);
      const restarted = await page.evaluate((id) => rc.request('stream.start', { displayId: id }),
                                            hello.displays.find((d) => d.isMain).id);
      if (!restarted.ok) throw new Error(restarted.error);
      await new Promise((resolve) => setTimeout(resolve, 2000));
      const pointerFrom = await page.evaluate(() => rc.events.length);
      const pointer0 = cpuSeconds(agent.proc.pid), pointerXorg0 = cpuSeconds(xorg.pid);
      const pointerT0 = Date.now();
      await new Promise((resolve) => setTimeout(resolve, SECONDS * 1000));
      pointerCpu = cpuSeconds(agent.proc.pid) - pointer0;
      pointerWall = (Date.now() - pointerT0) / 1000;
      pointerXorgCpu = cpuSeconds(xorg.pid) - pointerXorg0 - xorgPointer * pointerWall;
      pointerStats = await page.evaluate((from) => rc.events.slice(from)
        .filter((e) => e.type === 'stats' && e.width), pointerFrom);
      pointerFrames = pointerStats.reduce((n, e) => n + (e.encodeFps || 0), 0);
      pointer.kill('SIGTERM');
    }
    await page.evaluate(() => rc.request('stream.stop'));
    animation = await xorg.animate();

    const frames = new Set(result.samples.map((s) => s.frame)).size;
    const rate = (k) => ((in1[k] - in0[k]) / wall).toFixed(1);
    const latencies = result.samples.map((s) => s.latency).filter((l) => l < 10000);
    const mean = (xs) => xs.reduce((a, b) => a + b, 0) / Math.max(xs.length, 1);
    const encodeMs = mean(result.stats.filter((s) => s.encodeMs).map((s) => s.encodeMs));
    const kbps = mean(result.stats.filter((s) => s.sentKbps).map((s) => s.sentKbps));
    const encodedFrames = result.stats.reduce((n, s) => n + (s.encodeFps || 0), 0); // one tick a second
    const cpuPerFrame = cpu / Math.max(encodedFrames, 1);

    console.log(`frames delivered:        ${rate('decoded')} fps decoded by the browser (1920x1080, H.264)`);
    const decodeMs = (in1.decodeSeconds - in0.decodeSeconds) / Math.max(in1.decoded - in0.decoded, 1) * 1000;
    console.log(`browser:                 received ${rate('received')}, decoded ${rate('decoded')}, ` +
                `dropped ${rate('dropped')} fps; decode ${decodeMs.toFixed(1)} ms per frame`);
    // Headless Chromium presents fewer pictures than it decodes; latency (drawn to decoded) is
    // sampled on the presented ones.
    console.log(`glass-to-glass latency:  p50 ${percentile(latencies, 50)} ms, p95 ${percentile(latencies, 95)} ms ` +
                `(${frames} presented pictures read back, ${(frames / wall).toFixed(1)} per second)`);
    const captureFps = mean(result.stats.filter((s) => s.captureFps !== undefined).map((s) => s.captureFps));
    const encodeFps = mean(result.stats.filter((s) => s.encodeFps !== undefined).map((s) => s.encodeFps));
    console.log(`captured / encoded:      ${captureFps.toFixed(1)} / ${encodeFps.toFixed(1)} fps (agent statistics)`);
    console.log(`encode time per frame:   ${encodeMs.toFixed(2)} ms`);
    console.log(`agent CPU:               ${(cpu / wall * 100).toFixed(0)} % of one core, ` +
                `${(cpuPerFrame * 1000).toFixed(2)} ms per encoded frame`);
    console.log(`bitrate sent:            ${kbps.toFixed(0)} kbit/s`);
    console.log(`agent resident memory:   ${rss.toFixed(0)} MiB`);
    console.log(`still screen:            ${stillCpu.toFixed(1)} % of one core while streaming it`);
    // Per frame: the agent, and the agent plus what streaming costs the X server (beyond drawing
    // the animation or moving the pointer, measured alone).
    const fullMs = cpuPerFrame * 1000, fullTotalMs = (cpu + Math.max(xorgCpu, 0)) / Math.max(encodedFrames, 1) * 1000;
    const pointerMs = pointerCpu / Math.max(pointerFrames, 1) * 1000;
    const pointerTotalMs = (pointerCpu + Math.max(pointerXorgCpu, 0)) / Math.max(pointerFrames, 1) * 1000;
    const split = (stats) => ['captureMs', 'convertMs', 'encodeMs', 'sendMs']
      .map((k) => mean(stats.filter((e) => typeof e[k] === 'number').map((e) => e[k])).toFixed(2)).join(' / ');
    if (xorg.pointer) {
      console.log(`pointer moving only:     ${(pointerCpu / pointerWall * 100).toFixed(0)} % of one core, ` +
                  `${(pointerFrames / pointerWall).toFixed(1)} fps encoded`);
      console.log(`CPU per frame:           full-screen change ${fullMs.toFixed(2)} ms (with ${xorg.name} ` +
                  `${fullTotalMs.toFixed(2)}), pointer only ${pointerMs.toFixed(2)} ms (${pointerTotalMs.toFixed(2)}): ` +
                  `${(pointerMs / fullMs).toFixed(2)} (${(pointerTotalMs / fullTotalMs).toFixed(2)}) of a full-screen change`);
      console.log(`capture / convert / x264 / send ms: ${split(result.stats)} full-screen change, ` +
                  `${split(pointerStats)} pointer only`);
    } else {
      console.log(`CPU per frame:           full-screen change ${fullMs.toFixed(2)} ms (with ${xorg.name} ` +
                  `${fullTotalMs.toFixed(2)}); pointer only: not measured (no XTest)`);
      console.log(`capture / convert / x264 / send ms: ${split(result.stats)} full-screen change`);
    }
  } finally {
    await client.close();
    await agent.stop();
    animation.kill('SIGTERM');
    await xorg.stop();
  }
})().catch((e) => { console.error(e); process.exit(1); });
