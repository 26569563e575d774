// The page in WebKit (the engine of Safari and of every iPhone browser):
// Debian's WebKitWebDriver under Xvfb drives the small test browser beside
// this file, over the WebDriver protocol itself. The tool's files decode in
// the page byte for byte, and the page's decode with the tool.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { serve } from './browser.mjs';
import { PASSWORDS, makeFile, referenceBytes, tool } from './helpers.mjs';

const PORT = 4400 + (process.pid % 500);
let dir;
let server;
let driver;
let session;

async function call(method, path, body) {
  const response = await fetch(`http://127.0.0.1:${PORT}${path}`, {
    method, headers: { 'content-type': 'application/json' }, body: body && JSON.stringify(body),
  });
  const { value } = await response.json();
  if (value?.error) throw new Error(`${path}: ${value.error}: ${value.message}`);
  return value;
}

// Runs an async script in the page and resolves to what it returns.
const inPage = (script, ...args) => call('POST', `/session/${session}/execute/async`, {
  script: `const done = arguments[arguments.length - 1];
    (async (...a) => { ${script} })(...arguments).then(done, (e) => done({ thrown: String(e) }));`,
  args,
});

before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'zodevir-webkit-'));
  mkdirSync(join(dir, 'data'));
  mkdirSync(join(dir, 'downloads'));
  server = await serve();
  driver = spawn('xvfb-run', ['-a', 'WebKitWebDriver', `--port=${PORT}`], {
    stdio: 'ignore', detached: true,
    env: {
      ...process.env, WEBKIT_DISABLE_COMPOSITING_MODE: '1',
      ZODEVIR_WEBKIT_DATA: join(dir, 'data'), ZODEVIR_WEBKIT_DOWNLOADS: join(dir, 'downloads'),
    },
  });
  for (let tries = 0; ; tries++) {
    try {
      if ((await call('GET', '/status')).ready) break;
    } catch (error) {
      if (tries > 100) throw error;
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  const binary = new URL('webkit-browser.py', import.meta.url).pathname;
  session = (await call('POST', '/session', {
    capabilities: { alwaysMatch: { 'webkitgtk:browserOptions': { binary, args: ['--automation'] } } },
  })).sessionId;
  await call('POST', `/session/${session}/url`, { url: server.url });
  await inPage('while (document.documentElement.dataset.ready !== "true") await new Promise((r) => setTimeout(r, 50));');
});
after(async () => {
  if (session) await call('DELETE', `/session/${session}`).catch(() => {});
  if (driver) process.kill(-driver.pid);
  server?.close();
  rmSync(dir, { recursive: true, force: true });
});

// Picks file, runs the job as a person does, and resolves to what the page
// shows and the bytes it stored for the download.
async function runJob({ file, mode, password, codePage }) {
  const input = await call('POST', `/session/${session}/element`, { using: 'css selector', value: '#file' });
  await call('POST', `/session/${session}/element/${Object.values(input)[0]}/value`, { text: file });
  const shown = await inPage(`
    const [mode, password, codePage] = a;
    const $ = (id) => document.getElementById(id);
    document.querySelector('input[name="mode"][value="' + mode + '"]').click();
    $('file').dispatchEvent(new Event('change', { bubbles: true }));
    $('codepage').value = codePage;
    $('password').value = $('confirm').value = password;
    const settled = () => Number(document.documentElement.dataset.settled ?? 0);
    const before = settled();
    $('start').click();
    while (settled() === before) await new Promise((r) => setTimeout(r, 20));
    const root = await navigator.storage.getDirectory();
    let stored = '';
    for await (const name of root.keys()) {
      if (!name.startsWith('zodevir-')) continue;
      const bytes = new Uint8Array(await (await (await root.getFileHandle(name)).getFile()).arrayBuffer());
      for (let i = 0; i < bytes.length; i += 32768) stored += String.fromCharCode(...bytes.subarray(i, i + 32768));
    }
    return { error: $('error').textContent, path: document.documentElement.dataset.path, stored: btoa(stored) };
  `, mode, password, codePage);
  return { ...shown, stored: Buffer.from(shown.stored, 'base64') };
}

test("the tool's files decode in WebKit byte for byte, and WebKit's decode with the tool", async (t) => {
  const sizes = [0, 1, 1025, (1 << 20) + 1];
  for (const [row, password] of PASSWORDS.entries()) {
    const size = sizes[row % sizes.length];
    const name = `${password.name}-${size}`.replace(/\W+/g, '_');
    const source = makeFile(join(dir, name), size);
    const job = { password: password.text, codePage: String(password.codePage ?? 'utf-8') };
    await t.test(`decode, then encode, ${password.name}, ${size} bytes`, async () => {
      tool(dir, source, join(dir, `${name}.enc`), referenceBytes(password), 'encode');
      const decoded = await runJob({ ...job, file: join(dir, `${name}.enc`), mode: 'decode' });
      assert.deepEqual([decoded.error, decoded.path], ['', 'private']);
      assert.ok(readFileSync(source).equals(decoded.stored), 'decoded');
      const encoded = await runJob({ ...job, file: source, mode: 'encode' });
      assert.equal(encoded.error, '');
      writeFileSync(join(dir, 'page.enc'), encoded.stored);
      tool(dir, join(dir, 'page.enc'), join(dir, 'tool.dec'), referenceBytes(password), 'decode');
      assert.ok(readFileSync(source).equals(readFileSync(join(dir, 'tool.dec'))), 'encoded');
    });
  }
});
