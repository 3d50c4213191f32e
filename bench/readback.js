// What the streaming benchmarks share: CPU and memory of a process from /proc, percentiles, and
// the page-side reader of the frame number and time stamp that bench_animate draws into every
// picture.
'use strict';
const fs = require('node:fs');

const TICKS = 100; // clock ticks per second of /proc/<pid>/stat

function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / TICKS; // utime, stime
}

function rssMiB(pid) {
  const line = fs.readFileSync(`/proc/${pid}/status`, 'utf8').split('\n').find((l) => l.startsWith('VmRSS:'));
  return Number(line.split(/\s+/)[1]) / 1024;
}

function percentile(values, p) {
  if (!values.length) return NaN;
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(p / 100 * sorted.length))];
}

const mean = (xs) => xs.reduce((a, b) => a + b, 0) / Math.max(xs.length, 1);
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Installs `window.bench` in the page: while `bench.recording`, every presented picture adds
// { frame, latency, received } to `bench.samples`: drawn to decoded, and drawn to the arrival of
// the frame's last packet (when Chromium reports it).
function installReader(page) {
  return page.evaluate(() => {
    const canvas = document.createElement('canvas');
    canvas.width = 32 * 24;
    canvas.height = 48;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    window.bench = { samples: [], recording: false };
    const read = (row) => {
      let value = 0;
      const data = ctx.getImageData(0, row * 24, 32 * 24, 24).data;
      for (let bit = 0; bit < 32; bit++) {
        const i = (12 * 32 * 24 + bit * 24 + 12) * 4;
        if (data[i] + data[i + 1] + data[i + 2] > 3 * 128) value |= 1 << bit;
      }
      return value >>> 0;
    };
    const onFrame = (_, meta) => {
      // "Decoded" is when the encoded frame arrived plus the time spent decoding it, when
      // Chromium reports them; else the time the picture is presented.
      const received = meta && meta.receiveTime !== undefined ? performance.timeOrigin + meta.receiveTime : undefined;
      const now = received !== undefined ? received + (meta.processingDuration || 0) * 1000 : Date.now();
      ctx.drawImage(rc.video, 0, 0, 32 * 24, 48, 0, 0, 32 * 24, 48);
      if (bench.recording) {
        const frame = read(0), stamp = read(1);
        const since = (t) => ((Math.round(t) % 2 ** 32) - stamp + 2 ** 32) % 2 ** 32;
        bench.samples.push({ frame, latency: since(now), received: received !== undefined ? since(received) : undefined });
      }
      rc.video.requestVideoFrameCallback(onFrame);
    };
    rc.video.requestVideoFrameCallback(onFrame);
  });
}

module.exports = { cpuSeconds, rssMiB, percentile, mean, sleep, installReader };
