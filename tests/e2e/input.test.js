// Input from the phone reaches an X client on the second monitor: the web client in Chromium sends
// moves, clicks, a drag, scrolls, text and a key stroke over the data channel while that monitor
// is streamed, and the input probe sees them at the monitor's origin plus the mapped position, in
// order. Nothing stays pressed when the stream stops, the peer connection closes or the page goes.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { startAgent, startXorg, openClient, decoded, startProbe, inputState } = require('./harness');

const progress = (step) => console.error('input test: ' + step);

// The second monitor, right of the 1920x1080 primary one.
const SECOND = { x: 1920, y: 0, width: 1280, height: 720 };
const BUTTON1 = 0x100; // Button1Mask in an event's state
const SHIFT = 1;
const CONTROL = 4;
const SHIFT_L = 0xffe1;
const CONTROL_L = 0xffe3;

let xorg;
let agent;
let probe;
// The input state before any input: a later snapshot may still show the keycodes an earlier
// session lent to its text, if that session's restore has not run yet.
let pristine;

before(async () => {
  xorg = await startXorg();
  await xorg.twoMonitorsOneOutput();
  pristine = await inputState(xorg.env);
  agent = await startAgent({}, xorg.env);
  probe = await startProbe(xorg.env, SECOND);
});

after(async () => {
  if (probe) await probe.stop();
  try {
    if (agent) await agent.stop(); // rejects on a sanitizer report: the X server still goes
  } finally {
    if (xorg) await xorg.stop();
  }
});

// Where a normalised position on the second monitor lands on the screen.
const at = (fx, fy) => [SECOND.x + Math.floor(fx * SECOND.width), SECOND.y + Math.floor(fy * SECOND.height)];

// A page connected to the agent, streaming the second monitor, its data channel open.
async function streamSecond() {
  const client = await openClient();
  const { page } = client;
  const hello = await page.evaluate((url) => rc.connect(url), agent.url);
  const second = hello.displays.find((d) => d.name === 'SECOND');
  assert.ok(second, 'the agent lists the second monitor');
  assert.deepEqual([second.x, second.y, second.width, second.height],
                   [SECOND.x, SECOND.y, SECOND.width, SECOND.height]);
  progress('hello answered');
  const answer = await page.evaluate(() => rc.negotiate());
  progress('negotiated');
  assert.equal(answer.ok, true, answer.error);
  const started = await page.evaluate((id) => rc.request('stream.start', { displayId: id }), second.id);
  assert.equal(started.ok, true, started.error);
  progress('stream started');
  await decoded(page, 1280, 720);
  progress('frames decoded');
  await page.evaluate(() => rc.channelOpen);
  progress('data channel open');
  return client;
}

// Pointer events as short tokens: "motion X Y" (with " drag" while button 1 is down) and
// "press B X Y" / "release B X Y".
function pointerToken(e) {
  const n = e.fields.map(Number);
  if (e.kind === 'motion') return `motion ${n[0]} ${n[1]}` + (n[2] & BUTTON1 ? ' drag' : '');
  return `${e.kind} ${n[0]} ${n[1]} ${n[2]}`;
}
const isPointer = (e) => ['motion', 'press', 'release'].includes(e.kind);
const isKey = (e) => e.kind === 'keydown' || e.kind === 'keyup';

test('moves, clicks, a drag, scrolls, text and a key stroke arrive on the second monitor in order', async () => {
  const client = await streamSecond();
  try {
    const { page } = client;
    progress('streaming the second monitor');

    // The first move lands where it points.
    await page.evaluate(() => rc.send({ t: 'move', x: 0.25, y: 0.5 }));
    const first = await probe.next((e) => e.kind === 'motion');
    assert.equal(pointerToken(first), `motion ${at(0.25, 0.5).join(' ')}`);

    const text = 'Héllo wörld, ça va? 日本語のテキスト ok';
    await page.evaluate((text) => {
      const inputs = [
        { t: 'move', x: 0.5, y: 0.5 },
        { t: 'click' },
        { t: 'move', x: 0.75, y: 0.25 },
        // A double click: two presses where the pointer is.
        { t: 'click', n: 2 },
        { t: 'click', b: 'right' },
        // A drag from one point to another.
        { t: 'move', x: 0.1, y: 0.1 },
        { t: 'down' },
        { t: 'move', x: 0.2, y: 0.3 },
        { t: 'up' },
        // 40 pixels a wheel click: three down, then two to the left.
        { t: 'scroll', dy: -120 },
        { t: 'scroll', dx: 80 },
        { t: 'text', s: text },
        // Mac key 0 ("a") with Shift and Command, which is Control here.
        { t: 'key', code: 0, mods: ['cmd', 'shift'] },
      ];
      for (const input of inputs) rc.send(input);
    }, text);

    // The stroke ends with Control and then Shift coming up.
    await probe.next((e) => e.kind === 'keyup' && parseInt(e.fields[0], 16) === CONTROL_L);
    const before = probe.seen;
    await probe.next((e) => isKey(e));
    const events = [...before, ...probe.seen].filter((e) => e.kind !== 'mapping');
    progress('stroke arrived');

    const pointer = events.filter(isPointer).map(pointerToken);
    const [cx, cy] = at(0.5, 0.5);
    const [dx, dy] = at(0.75, 0.25);
    const [ax, ay] = at(0.1, 0.1);
    const [bx, by] = at(0.2, 0.3);
    assert.deepEqual(pointer, [
      `motion ${cx} ${cy}`, `press 1 ${cx} ${cy}`, `release 1 ${cx} ${cy}`,
      `motion ${dx} ${dy}`, `press 1 ${dx} ${dy}`, `release 1 ${dx} ${dy}`, `press 1 ${dx} ${dy}`,
      `release 1 ${dx} ${dy}`, `press 3 ${dx} ${dy}`, `release 3 ${dx} ${dy}`,
      `motion ${ax} ${ay}`, `press 1 ${ax} ${ay}`, `motion ${bx} ${by} drag`, `release 1 ${bx} ${by}`,
      `press 5 ${bx} ${by}`, `release 5 ${bx} ${by}`, `press 5 ${bx} ${by}`, `release 5 ${bx} ${by}`,
      `press 5 ${bx} ${by}`, `release 5 ${bx} ${by}`,
      `press 6 ${bx} ${by}`, `release 6 ${bx} ${by}`, `press 6 ${bx} ${by}`, `release 6 ${bx} ${by}`,
    ]);

    // All keys come after the last pointer event.
    const lastPointer = events.findLastIndex(isPointer);
    const firstKey = events.findIndex(isKey);
    assert.ok(firstKey > lastPointer, 'keys arrive after the pointer input sent before them');

    const keys = events.filter(isKey);
    const stroke = keys.slice(-6).map((e) => [e.kind, parseInt(e.fields[0], 16), Number(e.fields[1])]);
    assert.deepEqual(stroke, [
      ['keydown', SHIFT_L, 0],
      ['keydown', CONTROL_L, SHIFT],
      ['keydown', 'A'.charCodeAt(0), SHIFT | CONTROL],
      ['keyup', 'A'.charCodeAt(0), SHIFT | CONTROL],
      ['keyup', CONTROL_L, SHIFT | CONTROL],
      ['keyup', SHIFT_L, SHIFT],
    ]);
    // Everything before the stroke is the text, character by character (modifier keys carry no
    // character).
    const typed = keys.slice(0, -6).filter((e) => e.kind === 'keydown' && parseInt(e.fields[2], 16) !== 0)
      .map((e) => String.fromCodePoint(parseInt(e.fields[2], 16))).join('');
    assert.equal(typed, text);
  } finally {
    await client.close();
  }
});

// Holds input down from the page: button 1 in a drag, and a long text that outruns the spare
// keycodes, so typing is still going on. Resolves once the probe has seen both begin.
async function holdInput(page) {
  await page.evaluate(() => rc.send({ t: 'move', x: 0.5, y: 0.5 }));
  await probe.next((e) => e.kind === 'motion');
  let cjk = '';
  for (let i = 0; i < 300; i++) cjk += String.fromCodePoint(0x5000 + i);
  await page.evaluate((cjk) => {
    rc.send({ t: 'down' });
    rc.send({ t: 'move', x: 0.6, y: 0.6 });
    rc.send({ t: 'key', code: 0, mods: ['shift', 'alt'] });
    rc.send({ t: 'text', s: cjk });
  }, cjk);
  await probe.next((e) => e.kind === 'motion' && Number(e.fields[2]) & BUTTON1);
  progress('dragging');
  await probe.next((e) => e.kind === 'keydown' && parseInt(e.fields[2], 16) >= 0x5000);
  progress('typing');
  const held = await inputState(xorg.env);
  assert.equal(held.buttons & BUTTON1, BUTTON1, 'button 1 is down before the release');
}

// Waits until the probe sees button 1 come up, then until the keyboard map is back as it was;
// no button or key is left down.
async function expectAllReleased(map) {
  await probe.next((e) => e.kind === 'release' && e.fields[0] === '1');
  progress('button 1 released');
  const state = await inputState(xorg.env);
  assert.equal(state.buttons, 0, 'no button stays pressed');
  assert.equal(state.keys, 0, 'no key stays pressed');
  // Spare keycodes lent to the text are put back shortly after their last use.
  let now = state;
  while (now.map !== map) {
    progress('waiting for the keyboard map to be restored');
    await probe.next((e) => e.kind === 'mapping');
    now = await inputState(xorg.env);
  }
  assert.equal(now.keys, 0);
}

test('held input is released when the stream stops, the peer connection closes or the page goes', async (t) => {
  const clean = pristine;
  assert.equal(clean.buttons, 0);
  assert.equal(clean.keys, 0);

  await t.test('stream stop', async () => {
    const client = await streamSecond();
    try {
      await holdInput(client.page);
      const stopped = await client.page.evaluate(() => rc.request('stream.stop'));
      assert.equal(stopped.ok, true);
      await expectAllReleased(clean.map);
    } finally {
      await client.close();
    }
  });

  await t.test('peer connection closed from the page, the WebSocket staying open', async () => {
    const client = await streamSecond();
    try {
      await holdInput(client.page);
      await client.page.evaluate(() => rc.pc.close());
      await expectAllReleased(clean.map);
      assert.equal(await client.page.evaluate(() => rc.ws.readyState), 1, 'the WebSocket is still open');
    } finally {
      await client.close();
    }
  });

  await t.test('page closed', async () => {
    const client = await streamSecond();
    let closed = false;
    try {
      await holdInput(client.page);
      await client.page.close();
      closed = true;
      await expectAllReleased(clean.map);
    } finally {
      if (!closed) await client.page.close();
      await client.close();
    }
  });
});
