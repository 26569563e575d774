// Drives Debian's Chromium and Firefox ESR through the page: a static
// server that counts what is asked of it, a job run as a person runs one,
// downloads caught in a folder, and the browser's memory as the kernel
// counts it.
import { createServer } from 'node:http';
import { existsSync, readFileSync, readdirSync, statSync } from 'node:fs';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';
import { BUILD } from './helpers.mjs';

export const BROWSER = process.env.ZODEVIR_BROWSER ?? 'chromium';

export function launch(downloadPath, name = BROWSER) {
  const downloadBehavior = { policy: 'allow', downloadPath };
  if (name === 'firefox') {
    return puppeteer.launch({
      browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true, downloadBehavior,
      extraPrefsFirefox: {
        'browser.download.folderList': 2,
        'browser.download.dir': downloadPath,
        'browser.download.useDownloadDir': true,
        'browser.download.always_ask_before_handling_new_types': false,
        'browser.helperApps.neverAsk.saveToDisk': 'application/octet-stream',
      },
    });
  }
  return puppeteer.launch({
    executablePath: '/usr/bin/chromium', headless: true, downloadBehavior,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--disable-quic'],
  });
}

// Serves the built page and counts every request that reaches it.
export async function serve() {
  const html = readFileSync(join(BUILD, 'zodevir.html'));
  const hits = [];
  const server = createServer((request, response) => {
    hits.push(request.url);
    response.setHeader('content-type', 'text/html; charset=utf-8');
    response.end(html);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}/zodevir.html`, hits, close: () => server.close() };
}

// Opens the page. With picker: 'private storage', the save picker is
// replaced by one that answers at once with a file in the origin's private
// storage (headless browsers cannot show it); with picker: 'none', the page
// sees a browser without one. With free, the browser's storage estimate
// says that many bytes are free.
export async function openPage(browser, url, { picker = 'none', width = 1280, free } = {}) {
  const page = await browser.newPage();
  await page.setViewport({ width, height: 900 });
  const requests = [];
  page.on('request', (request) => requests.push(request.url()));
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.evaluateOnNewDocument((mode) => {
    if (mode === 'none') {
      delete window.showSaveFilePicker;
      delete Window.prototype.showSaveFilePicker;
    } else if (mode === 'private storage') {
      window.showSaveFilePicker = async ({ suggestedName }) => {
        const root = await navigator.storage.getDirectory();
        return root.getFileHandle(`picked-${suggestedName}`, { create: true });
      };
    }
  }, picker);
  if (free !== undefined) {
    await page.evaluateOnNewDocument((bytes) => {
      navigator.storage.estimate = async () => ({ quota: bytes + 2 ** 20, usage: 2 ** 20 });
    }, free);
  }
  await page.goto(url);
  // The page says it is ready once its worker has answered and its storage
  // is tidied, which under load can take longer than a driver's default
  // wait; and the page opened from disk may still be settling into its
  // document when goto returns. Waited for as every other state is.
  await poll(page, () => document.documentElement.dataset.ready === 'true');
  return { page, requests, errors };
}

// Fills the form and starts the job; resolves when the page shows a
// result or an error.
export async function runJob(page, job) {
  await fill(page, job);
  const count = await settledCount(page);
  job.before?.();
  await page.click('#start');
  return finished(page, count);
}

// Fills the form as a person does; resolves to the count of ended submits.
export async function fill(page, { file, mode, password, confirm = password, codePage = 'utf-8', name }) {
  await page.click(`input[name="mode"][value="${mode}"]`);
  const input = await page.$('#file');
  await input.uploadFile(file);
  await page.$eval('#file', (el) => el.dispatchEvent(new Event('change', { bubbles: true })));
  await page.select('#codepage', codePage);
  await page.$eval('#password', (el, value) => { el.value = value; }, password);
  await page.$eval('#confirm', (el, value) => { el.value = value; }, confirm);
  if (name) await page.$eval('#name', (el, value) => { el.value = value; el.dispatchEvent(new Event('input')); }, name);
  return settledCount(page);
}

export function settledCount(page) {
  return page.$eval('html', (el) => Number(el.dataset.settled ?? 0));
}

// Evaluates fn(arg) in the page every interval ms until it is true; the
// drivers' own waiting differs between CDP and BiDi, this does not.
// A document being replaced (a navigation still under way) answers with an
// error, not false: that is asked again too.
export async function poll(page, fn, arg, { interval = 50, timeout = 600000 } = {}) {
  const deadline = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      if (await page.evaluate(fn, arg)) return;
    } catch (error) {
      last = error;
    }
    if (Date.now() > deadline) throw new Error(`still waiting after ${timeout} ms for ${fn} (${last?.message ?? 'false'})`);
    await new Promise((resolve) => setTimeout(resolve, interval));
  }
}

// Waits for the submit after the count-th to end, and reads what it shows.
export async function finished(page, count) {
  await poll(page, (n) => Number(document.documentElement.dataset.settled ?? 0) > n, count);
  return page.evaluate(() => ({
    summary: document.getElementById('summary').textContent,
    hint: document.getElementById('hint').textContent,
    error: document.getElementById('error').textContent,
    status: document.getElementById('status').textContent,
    saveName: document.getElementById('save').download,
    resultShown: !document.getElementById('result').hidden,
  }));
}

// Clicks Save and waits for the whole file to land in the folder.
export async function download(page, folder, name, size) {
  const before = readdirSync(folder);
  await page.click('#save');
  const path = join(folder, name);
  const deadline = Date.now() + 600000;
  while (Date.now() < deadline) {
    const names = readdirSync(folder);
    const partial = names.some((f) => /\.(crdownload|part)$/.test(f));
    if (!partial && existsSync(path) && statSync(path).size === size) return path;
    if (!partial && names.some((f) => f !== name && !before.includes(f))) break;
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  throw new Error(`no download of ${name} (${size} bytes) in ${folder}: ${readdirSync(folder)}`);
}

// The names in the origin's private storage.
export function storedNames(page) {
  return page.evaluate(async () => {
    const names = [];
    for await (const name of (await navigator.storage.getDirectory()).keys()) names.push(name);
    return names;
  });
}

// A file from the private storage, for files small enough to carry back.
export async function storedBytes(page, name) {
  const base64 = await page.evaluate(async (n) => {
    const file = await (await (await navigator.storage.getDirectory()).getFileHandle(n)).getFile();
    const bytes = new Uint8Array(await file.arrayBuffer());
    let text = '';
    for (let i = 0; i < bytes.length; i += 32768) text += String.fromCharCode(...bytes.subarray(i, i + 32768));
    return btoa(text);
  }, name);
  return Buffer.from(base64, 'base64');
}

// Proportional memory (PSS) of the browser and every process under it.
export function browserMemory(browser) {
  const root = browser.process().pid;
  const parents = new Map();
  for (const pid of readdirSync('/proc').filter((d) => /^\d+$/.test(d))) {
    try {
      const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
      parents.set(Number(pid), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch { /* gone meanwhile */ }
  }
  const tree = new Set([root]);
  for (let grew = true; grew;) {
    grew = false;
    for (const [pid, parent] of parents) {
      if (tree.has(parent) && !tree.has(pid)) {
        tree.add(pid);
        grew = true;
      }
    }
  }
  let kib = 0;
  for (const pid of tree) {
    try {
      const match = /^Pss:\s+(\d+) kB/m.exec(readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8'));
      if (match) kib += Number(match[1]);
    } catch { /* gone meanwhile */ }
  }
  return kib * 1024;
}
