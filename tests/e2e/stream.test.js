// A stream of the real X display reaches Chromium: right size, drawn pattern, live changes,
// switching to a second monitor, statistics, and nothing more after a stop.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startAgent, startXorg, openClient, until } = require('./harness');

// Progress goes to standard error, so a hung step is visible in the test log.
const progress = (step) => console.error('stream test: ' + step);

let xorg;
let agent;
let client;

before(async () => {
  xorg = await startXorg();
  await xorg.x('xrandr', '--setmonitor', 'SECOND', '1280/339x720/190+1920+0', 'none');
  await xorg.paint('#ff0000', '#0000ff');
  agent = await startAgent({}, xorg.env);
  client = await openClient();
});

after(async () => {
  if (client) await client.close();
  try {
    if (agent) await agent.stop(); // rejects on a sanitizer report: the X server still goes
  } finally {
    if (xorg) await xorg.stop();
  }
});

// Waits until the decoded picture's centre is close to `rgb`.
function centreIs(page, rgb) {
  return until(page, (want) => {
    const px = rc.samplePixel(0.5, 0.5);
    return px && px.every((v, i) => Math.abs(v - want[i]) < 60) && px;
  }, rgb);
}

test('streams the primary display, follows drawing, switches monitors and stops', async () => {
  const { page } = client;
  const hello = await page.evaluate((url) => rc.connect(url), agent.url);
  assert.equal(hello.displays.length, 2);
  const primary = hello.displays.find((d) => d.isMain);
  const second = hello.displays.find((d) => !d.isMain);

  const answer = await page.evaluate(() => rc.negotiate());
  assert.equal(answer.ok, true, answer.error);
  assert.equal(await page.evaluate(() => rc.codec), 'H264');
  assert.equal((await page.evaluate(() => rc.request('stats.start'))).ok, true);

  progress('offer answered');
  const started = await page.evaluate((id) => rc.request('stream.start', { displayId: id }), primary.id);
  assert.equal(started.ok, true, started.error);
  progress('stream started');
  await until(page, () => rc.video.videoWidth === 1920 && rc.video.videoHeight === 1080);
  progress('picture at 1920x1080');
  await centreIs(page, [255, 0, 0]);

  progress('first pattern seen');
  // Input on the data channel moves the pointer on the streamed display.
  await page.evaluate(() => rc.channelOpen);
  let at;
  for (let tick = 0; tick < 10; tick++) {
    await page.evaluate(() => rc.send({ t: 'move', x: 0.25, y: 0.5 }));
    at = await xorg.pointer();
    if (at.x === 480 && at.y === 540) break;
    await page.evaluate(() => rc.waitEvent('stats', () => true, rc.events.length));
  }
  assert.deepEqual(at, { x: 480, y: 540 });
  progress('pointer moved by input');

  // Drawing on the display shows up in the decoded picture.
  await xorg.paint('#00ff00', '#0000ff');
  await centreIs(page, [0, 255, 0]);

  progress('drawing followed');
  // Statistics while streaming.
  const stats = await page.evaluate(() => rc.waitEvent('stats', (e) => e.width && e.sentKbps > 0 && e.encodeMs > 0));
  assert.equal(stats.codec, 'video/H264');
  assert.equal(stats.width, 1920);
  assert.equal(stats.height, 1080);
  assert.equal(stats.encoder, 'x264enc');
  assert.ok(stats.encodeMs < 1000, 'encode time in milliseconds: ' + stats.encodeMs);
  assert.ok(stats.targetKbps > 0 && stats.targetKbps <= 80000, 'target ' + stats.targetKbps);
  assert.ok(['none', 'bandwidth'].includes(stats.limit), stats.limit);
  assert.equal(typeof stats.captureFps, 'number');
  assert.ok(stats.encodeFps >= 0);

  progress('statistics checked');
  // Switching re-targets the stream to the second monitor.
  const switched = await page.evaluate((id) => rc.request('stream.switch', { displayId: id }), second.id);
  assert.equal(switched.ok, true, switched.error);
  await until(page, () => rc.video.videoWidth === 1280 && rc.video.videoHeight === 720);
  progress('switched to 1280x720');
  await centreIs(page, [0, 0, 255]);

  progress('second monitor seen');
  // Losing the streamed monitor tells the client the new display list, then ends the stream once.
  const mark = await page.evaluate(() => rc.events.length);
  await xorg.x('xrandr', '--delmonitor', 'SECOND');
  const ended = await page.evaluate((since) => rc.waitEvent('stream.ended', () => true, since), mark);
  assert.equal(ended.reason, 'display disconnected');
  const news = await page.evaluate((since) => rc.events.slice(since)
    .filter((e) => e.type === 'displays.changed' || e.type === 'stream.ended'), mark);
  assert.deepEqual(news.slice(0, 2).map((e) => e.type), ['displays.changed', 'stream.ended']);
  assert.deepEqual(news[0].displays.map((d) => d.id), [primary.id]);
  assert.equal(news.filter((e) => e.type === 'stream.ended').length, 1);
  progress('stream ended with its monitor');

  // A new start on the primary display works after that.
  const again = await page.evaluate((id) => rc.request('stream.start', { displayId: id }), primary.id);
  assert.equal(again.ok, true, again.error);
  await until(page, () => rc.video.videoWidth === 1920 && rc.video.videoHeight === 1080);
  await centreIs(page, [0, 255, 0]);

  // After a stop no frame is sent: two statistics ticks without a stream see the same count.
  const stopped = await page.evaluate(() => rc.request('stream.stop'));
  assert.equal(stopped.ok, true);
  const counts = await page.evaluate(async () => {
    const idle = (e) => e.width === undefined;
    await rc.waitEvent('stats', idle, rc.events.length);
    await rc.waitEvent('stats', idle, rc.events.length);
    const a = (await rc.inbound()).framesDecoded;
    await rc.waitEvent('stats', idle, rc.events.length);
    await rc.waitEvent('stats', idle, rc.events.length);
    const b = (await rc.inbound()).framesDecoded;
    return [a, b];
  });
  assert.equal(counts[1], counts[0]);
});

test('an unknown display is refused and the stream keeps its state', async () => {
  const { page } = client;
  const reply = await page.evaluate(() => rc.request('stream.start', { displayId: 4242 }));
  assert.equal(reply.ok, false);
  assert.equal(reply.error, 'display 4242 not found');
});
