// Shared set-up for the end-to-end tests: the real agent in developer mode under a temporary home,
// and Debian's Chromium (never a downloaded browser) as the phone, running the web client.
'use strict';
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
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
  }
  get url() { return 'ws://127.0.0.1:' + this.port; }
  // Resolves once the log holds `text`.
  waitForLog(text) {
    return new Promise((resolve) => {
      const check = () => { if (this.stderr.includes(text)) { resolve(); return true; } return false; };
      if (!check()) this.waiters.push(check);
    });
  }
  async stop() {
    this.proc.kill('SIGTERM');
    await this.exited;
    fs.rmSync(this.home, { recursive: true, force: true });
  }
}

// Starts `remote-agent --dev` with `config` (the port is chosen here).
async function startAgent(config = {}) {
  required('DISPLAY');
  const binary = required('AGENT_BINARY');
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'agent-e2e-'));
  let devPort = await freePort();
  const dir = path.join(home, '.config', 'nembi-remote-agent');
  fs.mkdirSync(dir, { recursive: true });
  fs.writeFileSync(path.join(dir, 'config.json'), JSON.stringify({ ...config, port: devPort - 1 }));
  const proc = spawn(binary, ['--dev'], { env: { ...process.env, HOME: home }, stdio: ['ignore', 'ignore', 'pipe'] });
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

// Polls `probe` in the page until it returns a truthy value; resolves with it.
async function until(page, probe, arg) {
  const handle = await page.waitForFunction(probe, arg, { polling: 100, timeout: 0 });
  return handle.jsonValue();
}

module.exports = { startAgent, openClient, until, root };
