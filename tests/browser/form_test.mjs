// Headless Chromium submits the example site's Japanese form to build/httpd and
// reads the reply page. The page is EUC-JP, so the browser sends EUC-JP escapes;
// the server turns them into Shift_JIS, the handler echoes them in a Shift_JIS
// page, and the browser must show the very text that was typed.
//
// Environment: HTTPD_BINARY (the server), SITE_DIR (examples/site with its
// built cgi-bin/form.exe), ARTIFACT_DIR (where the screenshots go).
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer, connect } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const binary = process.env.HTTPD_BINARY;
const siteDir = process.env.SITE_DIR;
const artifactDir = process.env.ARTIFACT_DIR;
const typed = '日本語テスト';

function freePort() {
  return new Promise((resolve, reject) => {
    const probe = createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

// Waits until something accepts connections on the port, for at most 5 s.
async function waitListening(port, server) {
  const deadline = Date.now() + 5000;
  while (Date.now() < deadline) {
    if (server.exitCode !== null) throw new Error(`httpd ended with ${server.exitCode}`);
    const up = await new Promise((resolve) => {
      const socket = connect(port, '127.0.0.1');
      socket.once('connect', () => { socket.destroy(); resolve(true); });
      socket.once('error', () => resolve(false));
    });
    if (up) return;
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`httpd does not listen on ${port}`);
}

const workspace = mkdtempSync(join(tmpdir(), 'httpd-browser-'));
let server;
let context;
const checks = [['/form.cgi', 'name'], ['/form.pl', 'comment']];
let passed = 0;
try {
  cpSync(join(siteDir, 'htdocs'), join(workspace, 'htdocs'), { recursive: true });
  cpSync(join(siteDir, 'cgi-bin'), join(workspace, 'cgi-bin'), { recursive: true });
  const port = await freePort();
  const settings = readFileSync(join(siteDir, 'vostrel.ini'), 'latin1')
    .replace(/^HTTPPORT=.*$/m, `HTTPPORT=${port}`);
  writeFileSync(join(workspace, 'vostrel.ini'), settings, 'latin1');

  server = spawn(binary, [], { cwd: workspace, stdio: ['pipe', 'ignore', 'inherit'] });
  await waitListening(port, server);

  // A fresh profile in the workspace: nothing of an earlier run is reused.
  context = await chromium.launchPersistentContext(join(workspace, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
    ],
  });
  const page = context.pages()[0] ?? (await context.newPage());
  mkdirSync(artifactDir, { recursive: true });

  for (const [action, field] of checks) {
    await page.goto(`http://127.0.0.1:${port}/form.html`);
    const form = page.locator(`form[action="${action}"]`);
    await form.locator(`input[name="${field}"]`).fill(typed);
    await Promise.all([page.waitForURL(`**${action}`), form.locator('input[type="submit"]').click()]);
    const shown = await page.locator('#message').textContent();
    const name = action.slice(1).replace('.', '-');
    await page.screenshot({ path: join(artifactDir, `${name}.png`), fullPage: true });
    if (shown === typed) {
      console.log(`ok: ${action} shows ${shown}`);
      passed += 1;
    } else {
      console.log(`FAILED: ${action} shows ${JSON.stringify(shown)}, typed ${typed}`);
    }
  }
} catch (error) {
  console.log(`FAILED: ${error.stack ?? error}`);
} finally {
  if (context) await context.close();
  if (server && server.exitCode === null) server.kill('SIGKILL');
  rmSync(workspace, { recursive: true, force: true });
}
console.log(`${passed} passed, ${checks.length - passed} failed`);
process.exit(passed === checks.length ? 0 : 1);
