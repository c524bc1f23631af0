// What the browser tests start, and stop again however they end: the agent with the
// diagnostics page (tools/diagnostics.sh), more page servers, the virtual card (vicc) and
// headless Chromium. Every process is stopped by its own pid.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const ROOT = process.env.TOLVANE_ROOT ??
  path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
export const AGENT = process.env.TOLVANE_AGENT ?? '';
export const TRUSTED = 'http://127.0.0.1:8096';
const CHROMIUM = '/usr/bin/chromium';
const READY = 'Tolvane Agent is ready on port 8095.';
// The bound of the before() and after() hooks (starting and stopping Chromium, the agent and the
// page servers); each test names its own.
export const HOOK = { timeout: 60000 };

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const started = new Set();

// A child process whose output is kept for failure messages.
class Child {
  constructor(command, args, options = {}) {
    this.options = options;
    this.output = '';
    this.proc = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
    for (const stream of [this.proc.stdout, this.proc.stderr])
      stream.on('data', (chunk) => { this.output = (this.output + chunk).slice(-20000); });
    this.exited = new Promise((resolve) => this.proc.on('exit', (code, signal) => resolve(code ?? signal)));
    this.running = true;
    this.exited.then(() => { this.running = false; started.delete(this); });
    started.add(this);
  }

  get pid() { return this.proc.pid; }

  // Resolves to the exit code (or signal), or undefined if it is still running after `ms`.
  waitExit(ms) {
    return Promise.race([this.exited, sleep(ms).then(() => undefined)]);
  }

  async stop() {
    if (!this.running) return;
    this.proc.kill('SIGTERM');
    if ((await this.waitExit(5000)) === undefined) {
      this.proc.kill('SIGKILL');
      await this.exited;
    }
  }
}

function portOpen(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port });
    socket.setTimeout(1000);
    socket.once('connect', () => { socket.destroy(); resolve(true); });
    socket.once('error', () => resolve(false));
    socket.once('timeout', () => { socket.destroy(); resolve(false); });
  });
}

export async function waitForPort(port, open, ms) {
  for (const deadline = Date.now() + ms; Date.now() < deadline; await sleep(100))
    if ((await portOpen(port)) === open) return true;
  return false;
}

export function requireTools() {
  if (!AGENT || !fs.existsSync(AGENT))
    throw new Error(`TOLVANE_AGENT must name the agent binary (got "${AGENT}")`);
  if (!fs.existsSync(CHROMIUM))
    throw new Error(`${CHROMIUM} is missing: apt-get install -y chromium`);
}

async function playwright() {
  try {
    return await import('playwright-core');
  } catch {
    throw new Error(`playwright-core is missing: run npm ci in ${ROOT}`);
  }
}

// The agent trusting the diagnostics page, and the page served on 8096, both started by
// tools/diagnostics.sh. `agentPid()` finds the agent among the script's children.
export async function startDiagnostics() {
  for (const port of [8095, 8096])
    if (!(await waitForPort(port, false, 10000))) throw new Error(`port ${port} is in use`);
  const script = new Child(path.join(ROOT, 'tools/diagnostics.sh'), [AGENT], {
    env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=0' },
    detached: true,  // its own process group, so that a last-resort kill reaches its children
  });
  const deadline = Date.now() + 20000;
  while (!script.output.includes(READY) && script.running && Date.now() < deadline) await sleep(100);
  if (!script.output.includes(READY) || !(await waitForPort(8096, true, 5000))) {
    await script.stop();
    throw new Error(`the agent or the page server did not start; tools/diagnostics.sh said:\n${script.output}`);
  }
  script.agentPid = () => {
    const children = fs.readFileSync(`/proc/${script.pid}/task/${script.pid}/children`, 'utf8');
    return children.trim().split(/\s+/).map(Number).find((pid) => {
      try {
        return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0')[0] === AGENT;
      } catch {
        return false;
      }
    });
  };
  return script;
}

// Another server of the web/ folder, on a port whose origin the agent does not trust.
export async function serveWeb(port) {
  const server = new Child('python3', ['-m', 'http.server', String(port), '--bind', '127.0.0.1',
                                       '--directory', path.join(ROOT, 'web')]);
  if (!(await waitForPort(port, true, 10000))) throw new Error(`no page server on ${port}`);
  return server;
}

// vsmartcard's vicc: while it runs, "Virtual PCD 00 00" holds its card. The test process must
// hold the machine-wide card lock (/tmp/tolvane-card.lock) meanwhile: CTest runs it under flock.
export class VirtualCard {
  #child = null;

  insert() {
    const shim = path.join(os.tmpdir(), `tolvane-vicc-shim-${process.getuid()}`);
    fs.mkdirSync(shim, { recursive: true });
    fs.rmSync(path.join(shim, 'Crypto'), { force: true });
    // Debian's vicc imports Crypto, which Debian ships as Cryptodome.
    fs.symlinkSync('/usr/lib/python3/dist-packages/Cryptodome', path.join(shim, 'Crypto'));
    // vpcd's address as such: "localhost" (vicc's default) needs /etc/hosts.
    this.#child = new Child('/usr/bin/python3', ['/usr/bin/vicc', '-t', 'iso7816', '-H', '127.0.0.1'], {
      env: { ...process.env, PYTHONPATH: `/usr/lib/python3/site-packages/virtualsmartcard:${shim}` },
    });
  }

  async remove() {
    await this.#child?.stop();
    this.#child = null;
  }
}

// Headless Chromium with a fresh profile. The switches keep it from reaching out to the
// network, which is closed here and makes its background connections fail. `site` (from
// startPublicSite) makes its pages public sites that Chromium trusts, and `popupBlocker` keeps
// the blocker that Playwright turns off.
export async function launchBrowser({ site = null, popupBlocker = false } = {}) {
  const { chromium } = await playwright();
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-chromium-'));
  const args = ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
                '--disable-component-update', '--disable-sync', ...(site?.args ?? [])];
  if (process.getuid() === 0) args.push('--no-sandbox');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args, viewport: { width: 1200, height: 860 },
    ...(site ? { env: { ...process.env, HOME: site.home } } : {}),
    ...(popupBlocker ? { ignoreDefaultArgs: ['--disable-popup-blocking'] } : {}),
  });
  context.setDefaultTimeout(20000);
  const close = context.close.bind(context);
  context.close = async () => {
    await close().catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return context;
}

// The agent alone, with `args`, until stopped.
export async function startAgent(args) {
  if (!(await waitForPort(8095, false, 10000))) throw new Error('port 8095 is in use');
  const agent = new Child(AGENT, args, { env: { ...process.env, ASAN_OPTIONS: 'detect_leaks=0' } });
  const deadline = Date.now() + 20000;
  while (!agent.output.includes(READY) && agent.running && Date.now() < deadline) await sleep(100);
  if (!agent.output.includes(READY)) {
    await agent.stop();
    throw new Error(`the agent did not start; it said:\n${agent.output}`);
  }
  return agent;
}

// A web client's public HTTPS sites, as users meet them: `hosts` resolve to 127.0.0.1, where
// tests/browser/public_site.py serves them on `port` with a certificate of a test CA, and
// Chromium counts that address as the public internet, so its Local Network Access checks
// apply. The CA is trusted in a scratch NSS database (the HOME the browser is given), never by
// ignoring certificate errors: the pages are secure contexts as real sites are.
export async function startPublicSite(port, hosts) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tolvane-site-'));
  const file = (name) => path.join(dir, name);
  const run = (command, args) => execFileSync(command, args, { cwd: dir, stdio: 'pipe' });
  run('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-keyout', 'ca.key',
                  '-out', 'ca.pem', '-subj', '/CN=Tolvane test CA',
                  '-addext', 'basicConstraints=critical,CA:TRUE',
                  '-addext', 'keyUsage=critical,keyCertSign,cRLSign']);
  run('openssl', ['req', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'site.key', '-out', 'site.csr',
                  '-subj', `/CN=${hosts[0]}`]);
  fs.writeFileSync(file('site.ext'), `subjectAltName=${hosts.map((h) => `DNS:${h}`).join(',')}\n` +
                   'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n');
  run('openssl', ['x509', '-req', '-in', 'site.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key',
                  '-CAcreateserial', '-days', '2', '-out', 'site.pem', '-extfile', 'site.ext']);
  const nssdb = path.join(dir, 'home/.pki/nssdb');
  fs.mkdirSync(nssdb, { recursive: true });
  run('certutil', ['-N', '-d', `sql:${nssdb}`, '--empty-password']);
  run('certutil', ['-A', '-d', `sql:${nssdb}`, '-n', 'tolvane-test-ca', '-t', 'C,,', '-i', 'ca.pem']);

  if (!(await waitForPort(port, false, 10000))) throw new Error(`port ${port} is in use`);
  const server = new Child('python3', [path.join(ROOT, 'tests/browser/public_site.py'), String(port),
                                       file('site.pem'), file('site.key')]);
  if (!(await waitForPort(port, true, 10000))) throw new Error(`no public site on ${port}`);
  const stop = server.stop.bind(server);
  server.stop = async () => {
    await stop();
    fs.rmSync(dir, { recursive: true, force: true });
  };
  return {
    home: path.join(dir, 'home'),
    origins: hosts.map((host) => `https://${host}:${port}`),
    args: [`--host-resolver-rules=${hosts.map((h) => `MAP ${h} 127.0.0.1`).join(', ')}`,
           `--ip-address-space-overrides=127.0.0.1:${port}=public`],
  };
}

// Opens the diagnostics page at `origin`, presses "Open the bridge"; returns both windows.
export async function openDiagnostics(browser, origin) {
  const page = await browser.newPage();
  await page.goto(`${origin}/`);
  const [bridge] = await Promise.all([page.waitForEvent('popup'), page.click('#open-bridge')]);
  return { page, bridge };
}

export async function stopAll() {
  await Promise.all([...started].map((child) => child.stop()));
}

// Should the test process end without its after() hooks, nothing it started stays behind.
process.on('exit', () => {
  for (const child of started) {
    try {
      process.kill(child.options.detached ? -child.pid : child.pid, 'SIGKILL');
    } catch {
      // already gone
    }
  }
});
for (const signal of ['SIGINT', 'SIGTERM']) process.on(signal, () => process.exit(1));
