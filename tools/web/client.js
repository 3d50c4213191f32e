// The agent's web client: WebSocket requests, the WebRTC offer, input on the data channel and the
// statistics events. `window.rc` is what the page's controls (ui.js) and the end-to-end tests use.
'use strict';

class AgentClient {
  constructor(video) {
    this.video = video;
    this.ws = null;
    this.pc = null;
    this.channel = null;
    this.nextId = 1;
    this.waiting = new Map(); // id -> resolve
    this.events = [];
    this.listeners = new Set();
    this.hello = null;
    this.codec = null;
  }

  connect(url, helloParams = {}) {
    return new Promise((resolve, reject) => {
      const ws = new WebSocket(url);
      this.ws = ws;
      ws.onerror = () => reject(new Error('cannot connect to ' + url));
      ws.onclose = (e) => this.emit({ type: 'closed', code: e.code, reason: e.reason });
      ws.onmessage = (m) => this.receive(JSON.parse(m.data));
      ws.onopen = async () => {
        const reply = await this.request('hello', helloParams);
        if (!reply.ok) return reject(new Error(reply.error));
        this.hello = reply.data;
        resolve(reply.data);
      };
    });
  }

  receive(msg) {
    if (msg.type === 'result') {
      const resolve = this.waiting.get(msg.id);
      this.waiting.delete(msg.id);
      if (resolve) resolve(msg);
      return;
    }
    if (msg.type === 'rtc.ice' && this.pc) {
      this.pc.addIceCandidate({ candidate: msg.candidate, sdpMid: msg.sdpMid, sdpMLineIndex: msg.sdpMLineIndex })
        .catch((e) => console.warn('ice', e));
    }
    this.emit(msg);
  }

  emit(msg) {
    this.events.push(msg);
    for (const l of [...this.listeners]) l(msg);
  }

  // Resolves with the next event of `type` (after `since` events) that satisfies `test`.
  waitEvent(type, test = () => true, since = this.events.length) {
    const seen = this.events.slice(since).find((e) => e.type === type && test(e));
    if (seen) return Promise.resolve(seen);
    return new Promise((resolve) => {
      const l = (e) => {
        if (e.type === type && test(e)) { this.listeners.delete(l); resolve(e); }
      };
      this.listeners.add(l);
    });
  }

  request(type, params = {}) {
    const id = this.nextId++;
    return new Promise((resolve) => {
      this.waiting.set(id, resolve);
      this.ws.send(JSON.stringify({ type, id, ...params }));
    });
  }

  // Offers receive-only video and a data channel; resolves with the answer's reply.
  async negotiate(profile) {
    const pc = new RTCPeerConnection({ iceServers: [] });
    this.pc = pc;
    pc.addTransceiver('video', { direction: 'recvonly' });
    this.channel = pc.createDataChannel('input');
    this.channelOpen = new Promise((resolve) => { this.channel.onopen = resolve; });
    pc.ontrack = (e) => {
      // A remote screen wants the picture now, not smoothness: no extra jitter buffering.
      if ('jitterBufferTarget' in e.receiver) e.receiver.jitterBufferTarget = 0;
      if ('playoutDelayHint' in e.receiver) e.receiver.playoutDelayHint = 0;
      this.video.srcObject = new MediaStream([e.track]);
      // Autoplay alone can lose the race with a page that is still settling; asking is harmless.
      this.video.play().catch((err) => console.error('video.play: ' + err));
    };
    pc.onicecandidate = (e) => {
      if (!e.candidate || !e.candidate.candidate) return;
      this.request('rtc.ice', { candidate: e.candidate.candidate, sdpMid: e.candidate.sdpMid,
                                sdpMLineIndex: e.candidate.sdpMLineIndex });
    };
    const offer = await pc.createOffer();
    await pc.setLocalDescription(offer);
    const params = { sdp: offer.sdp };
    if (profile) params.profile = profile;
    const reply = await this.request('rtc.offer', params);
    if (!reply.ok) return reply;
    await pc.setRemoteDescription({ type: 'answer', sdp: reply.data.sdp });
    this.codec = AgentClient.answerCodec(reply.data.sdp);
    return reply;
  }

  static answerCodec(sdp) {
    const lines = sdp.split('\r\n');
    const video = lines.find((l) => l.startsWith('m=video '));
    if (!video) return null;
    const pt = video.split(' ')[3];
    const map = lines.find((l) => l.startsWith('a=rtpmap:' + pt + ' '));
    return map ? map.split(' ')[1].split('/')[0] : null;
  }

  send(input) {
    if (this.channel && this.channel.readyState === 'open') this.channel.send(JSON.stringify(input));
  }

  // Decoded-frame facts for the overlay and the tests.
  async inbound() {
    if (!this.pc) return null;
    const report = await this.pc.getStats();
    let found = null;
    report.forEach((s) => { if (s.type === 'inbound-rtp' && s.kind === 'video') found = s; });
    return found;
  }

  // RGB of the decoded picture at fractions (fx, fy) of its size.
  samplePixel(fx, fy) {
    const v = this.video;
    if (!v.videoWidth) return null;
    const canvas = document.createElement('canvas');
    canvas.width = v.videoWidth;
    canvas.height = v.videoHeight;
    const ctx = canvas.getContext('2d', { willReadFrequently: true });
    ctx.drawImage(v, 0, 0);
    const d = ctx.getImageData(Math.floor(fx * (v.videoWidth - 1)), Math.floor(fy * (v.videoHeight - 1)), 1, 1).data;
    return [d[0], d[1], d[2]];
  }

  close() {
    if (this.pc) this.pc.close();
    if (this.ws) this.ws.close();
  }
}

window.rc = new AgentClient(document.getElementById('video'));
