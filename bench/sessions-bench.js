// Memory over many stream sessions: Chromium on loopback connects, streams a 1920x1080 animation
// for a few seconds and leaves, again and again. Prints the agent's resident memory after each
// session; what the streams used must come back, so the last figure stays near the first.
'use strict';
const { spawn } = require('node:child_process');
const path = require('node:path');
const { startAgent, startXorg, openClient, streamMain } = require(path.join(__dirname, '..', 'tests', 'e2e', 'harness'));
const { rssMiB, sleep } = require('./readback');

const SESSIONS = Number(process.env.BENCH_SESSIONS || 20);
const STREAM_SECONDS = Number(process.env.BENCH_SECONDS || 3);

(async () => {
  const xorg = await startXorg();
  const animation = spawn(process.env.ANIMATE_BINARY, ['1920', '1080', '60'], { env: xorg.env, stdio: ['ignore', 'pipe', 'inherit'] });
  await new Promise((resolve) => animation.stdout.once('data', resolve));
  const agent = await startAgent({}, xorg.env);
  const client = await openClient();
  const { page } = client;
  const rss = [];
  try {
    console.log(`agent resident memory at start: ${rssMiB(agent.proc.pid).toFixed(1)} MiB`);
    for (let i = 1; i <= SESSIONS; i++) {
      await streamMain(page, agent);
      await sleep(STREAM_SECONDS * 1000);
      // Leaving the page ends the peer connection and the WebSocket: the session ends.
      await page.reload();
      await sleep(1500);
      rss.push(rssMiB(agent.proc.pid));
      console.error(`session ${i}/${SESSIONS}: ${rss[rss.length - 1].toFixed(1)} MiB`);
    }
    console.log(`agent resident memory after each session (MiB): ${rss.map((r) => r.toFixed(0)).join(' ')}`);
    const growth = (rss[rss.length - 1] / rss[0] - 1) * 100;
    console.log(`after ${SESSIONS} sessions: ${rss[rss.length - 1].toFixed(1)} MiB, ` +
                `${growth >= 0 ? '+' : ''}${growth.toFixed(1)} % against the first (${rss[0].toFixed(1)} MiB)`);
  } finally {
    await client.close();
    await agent.stop();
    animation.kill('SIGTERM');
    await xorg.stop();
  }
})().catch((e) => { console.error(e); process.exit(1); });
