// The stream and input of a GNOME Wayland session (headless Mutter) reach Chromium and come back:
// the virtual monitor decodes at its size, showing what a Wayland client drew, and the data
// channel's input reaches that client; application requests answer without windows.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startAgent, startMutter, openClient, streamMain, until } = require('./harness');

let gnome;
let painter;
let agent;
let client;

before(async () => {
  gnome = await startMutter();
  painter = await gnome.painter('#ff0000');
  agent = await startAgent({}, gnome.env);
  client = await openClient();
});

after(async () => {
  if (client) await client.close();
  try {
    if (agent) await agent.stop(); // rejects on a sanitizer report: the session still goes
  } finally {
    if (gnome) await gnome.stop();
  }
});

test('streams the virtual monitor and its input reaches a Wayland client', async () => {
  const { page } = client;
  const hello = await streamMain(page, agent, { width: 1920, height: 1080 });
  assert.equal(hello.displays.length, 1);
  assert.match(agent.stderr, /desktop: GNOME on Wayland/);
  await until(page, () => {
    const px = rc.samplePixel(0.75, 0.75);
    return px && px[0] > 200 && px[1] < 60 && px[2] < 60;
  });

  await page.evaluate(() => rc.channelOpen);
  // Mutter's virtual pointer appears with the first input, and the client binds it only then:
  // moves are sent until the client hears one at the spot.
  const heard = () => painter.lines.some((l) => l === 'motion 480 540');
  for (let tick = 0; tick < 60 && !heard(); tick++) {
    await page.evaluate(() => rc.send({ t: 'move', x: 0.25, y: 0.5 }));
    await painter.heard((l) => l === 'motion 480 540', 'the move', 1000).catch(() => {});
  }
  assert.ok(heard(), 'the client never saw the pointer at 480,540: ' + painter.lines.join(' | '));
  await page.evaluate(() => rc.send({ t: 'click' }));
  await painter.heard((l) => l === 'press 1', 'the click');

  // GNOME shows the agent no windows: applications are listed without them, and acting on one
  // that is not listed fails at once.
  const list = await page.evaluate(() => rc.request('apps.list'));
  assert.equal(list.ok, true, list.error);
  assert.ok(list.data.every((app) => app.windows.length === 0), JSON.stringify(list.data));
  const focus = await page.evaluate(() => rc.request('app.focus', { pid: 1 }));
  assert.equal(focus.error, 'no app with pid 1');
});
