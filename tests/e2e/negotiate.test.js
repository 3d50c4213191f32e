// The phone's offer is answered with one send-only H.264 track and the data channel opens.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const { startAgent, openClient } = require('./harness');

// The local UDP ports of a process's sockets, from the kernel's tables.
function udpPorts(pid) {
  const inodes = new Set();
  for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
    let link = '';
    try { link = fs.readlinkSync(`/proc/${pid}/fd/${fd}`); } catch { continue; }
    const m = /^socket:\[(\d+)\]$/.exec(link);
    if (m) inodes.add(m[1]);
  }
  const ports = [];
  for (const table of ['udp', 'udp6']) {
    for (const line of fs.readFileSync(`/proc/${pid}/net/${table}`, 'utf8').split('\n').slice(1)) {
      const f = line.trim().split(/\s+/);
      if (f.length > 9 && inodes.has(f[9])) ports.push(parseInt(f[1].split(':').pop(), 16));
    }
  }
  return ports;
}

let agent;
let client;

before(async () => {
  agent = await startAgent();
  client = await openClient();
});

after(async () => {
  if (client) await client.close();
  if (agent) await agent.stop();
});

test('offer gets an H.264 send-only answer and the data channel opens', async () => {
  const { page } = client;
  const reply = await page.evaluate(async (url) => {
    await rc.connect(url);
    const answer = await rc.negotiate();
    return answer;
  }, agent.url);
  assert.equal(reply.ok, true, reply.error);
  const sdp = reply.data.sdp;
  const video = sdp.split('\r\n').find((l) => l.startsWith('m=video '));
  assert.ok(video, 'answer has a video section');
  assert.notEqual(video.split(' ')[1], '0', 'video section is not rejected');
  assert.match(sdp, /a=sendonly/);
  assert.equal(await page.evaluate(() => rc.codec), 'H264');
  assert.match(sdp, /a=rtpmap:\d+ rtx\/90000/, 'retransmission negotiated');
  assert.match(sdp, /a=rtcp-fb:\d+ nack\r\n/, 'generic NACK negotiated');
  assert.match(sdp, /msid:screen /, "stream id screen");
  // The payload type answered is one the offer gave constrained baseline in packetization mode 1.
  const pt = video.split(' ')[3];
  const offered = await page.evaluate(() => rc.pc.localDescription.sdp);
  assert.match(offered, new RegExp('a=fmtp:' + pt + ' .*packetization-mode=1.*profile-level-id=42e0'));

  await page.evaluate(() => rc.channelOpen);
  const candidates = await page.evaluate(() => rc.events.filter((e) => e.type === 'rtc.ice'));
  assert.ok(candidates.length > 0);
  for (const c of candidates) {
    assert.match(c.candidate, / typ host/);
    assert.equal(typeof c.sdpMLineIndex, 'number');
  }
  // Host candidates only: no UPnP searches (SSDP, port 1900) go out for port mappings.
  const ports = udpPorts(agent.proc.pid);
  assert.ok(ports.length > 0, 'the agent has its ICE sockets');
  assert.ok(!ports.includes(1900), 'no SSDP socket: ' + ports.join(' '));
});

test('stream.start before an offer on a new connection is refused', async () => {
  const { page } = client;
  const reply = await page.evaluate(async (url) => {
    const other = new AgentClient(document.createElement('video'));
    await other.connect(url, { takeover: true });
    const r = await other.request('stream.start', { displayId: 1 });
    other.close();
    return r;
  }, agent.url);
  assert.equal(reply.ok, false);
  assert.equal(reply.error, 'send rtc.offer first');
});
