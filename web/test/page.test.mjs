// The page in a real browser (ZODEVIR_BROWSER: chromium or firefox), against
// the command-line tool: its files decode byte for byte and the page's decode
// with the tool, under every kind of password; refusals, the hint, Cancel,
// a 2 GiB file in bounded memory, no network, no accessibility violations,
// and screenshots of the main states.
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { createRequire } from 'node:module';
import {
  BROWSER, browserMemory, download, fill, finished, launch, openPage, poll, runJob, serve, settledCount, storedBytes, storedNames,
} from './browser.mjs';
import { BUILD, PASSWORDS, makeFile, referenceBytes, sha256, tool } from './helpers.mjs';

const axeSource = readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
const shots = join(BUILD, 'screenshots');
let dir;
let downloads;
let server;
let browser;

before(async () => {
  dir = mkdtempSync(join(tmpdir(), 'zodevir-page-'));
  downloads = join(dir, 'downloads');
  mkdirSync(downloads);
  mkdirSync(shots, { recursive: true });
  server = await serve();
  browser = await launch(downloads);
});
after(async () => {
  await browser?.close();
  server?.close();
  rmSync(dir, { recursive: true, force: true });
});

// Paths this browser offers: Chromium's picker (answered by a stub) and, with
// the picker taken away, private storage and a download, which is also all
// that Firefox has.
const PATHS = BROWSER === 'chromium' ? ['none', 'private storage'] : ['none'];

async function output(page, picker, result, size) {
  if (picker === 'private storage') return storedBytes(page, `picked-${result.saveName || (await page.$eval('#name', (el) => el.value))}`);
  const path = await download(page, downloads, result.saveName, size);
  const bytes = readFileSync(path);
  rmSync(path);
  return bytes;
}

test('the page takes the path the browser offers', async () => {
  const expected = BROWSER === 'chromium' ? { none: 'private', 'private storage': 'picker' } : { none: 'private' };
  for (const picker of PATHS) {
    const { page } = await openPage(browser, server.url, { picker });
    assert.equal(await page.$eval('html', (el) => el.dataset.path), expected[picker], picker);
    await page.close();
  }
  // Opened from disk: Chromium refuses private storage there but has the
  // picker; Firefox offers private storage.
  const fromDisk = `file://${join(BUILD, 'zodevir.html')}`;
  const { page } = await openPage(browser, fromDisk, { picker: 'keep' });
  assert.equal(await page.$eval('html', (el) => el.dataset.path), BROWSER === 'chromium' ? 'picker' : 'private');
  await page.close();
  // And a file decodes there: through private storage in Firefox, through
  // memory in a Chromium without its picker.
  const { page: disk } = await openPage(browser, fromDisk);
  assert.equal(await disk.$eval('html', (el) => el.dataset.path), BROWSER === 'chromium' ? 'memory' : 'private');
  const source = makeFile(join(dir, 'from-disk'), 70001);
  tool(dir, source, join(dir, 'from-disk.enc'), Buffer.from('tarns'), 'encode');
  const result = await runJob(disk, { file: join(dir, 'from-disk.enc'), mode: 'decode', password: 'tarns' });
  assert.ok(readFileSync(source).equals(await output(disk, 'none', result, 70001)), 'decoded from a page opened from disk');
  if (BROWSER === 'chromium') {
    // Over the memory path's limit by less than the rounding: both sizes in bytes.
    const over = makeFile(join(dir, 'over'), 33600000);
    const refused = await runJob(disk, { file: over, mode: 'decode', password: 'tarns' });
    assert.match(refused.error, /33,600,000 bytes is more than the 33,554,432 bytes/);
    rmSync(over);
  }
  await disk.close();
});

test('storage that runs out says so and keeps nothing', { skip: BROWSER !== 'chromium' && 'the quota is set through the DevTools protocol' }, async () => {
  const { page } = await openPage(browser, server.url);
  const cdp = await page.createCDPSession();
  await cdp.send('Storage.overrideQuotaForOrigin', { origin: new URL(server.url).origin, quotaSize: 4 * 2 ** 20 });
  const source = makeFile(join(dir, 'too-big'), 16 * 2 ** 20);
  const result = await runJob(page, { file: source, mode: 'decode', password: 'tarns' });
  assert.match(result.error, /storage for this page is full/);
  assert.deepEqual((await storedNames(page)).filter((n) => n.startsWith('zodevir-')), [], 'no partial output');
  await cdp.send('Storage.overrideQuotaForOrigin', { origin: new URL(server.url).origin });
  await page.close();
});

test('a result larger than the room the browser estimates is refused before a byte is read', async () => {
  const { page } = await openPage(browser, server.url, { free: 3 * 2 ** 20 });
  const result = await runJob(page, { file: makeFile(join(dir, 'no-room'), 16 * 2 ** 20), mode: 'decode', password: 'tarns' });
  assert.match(result.error, /^The result needs 17 MB, and this browser's storage for this page has 3.1 MB free\./);
  assert.deepEqual((await storedNames(page)).filter((n) => n.startsWith('zodevir-')), []);
  await page.close();
});

test("another tab of the page leaves this tab's result alone, offered or still being written", async () => {
  const source = makeFile(join(dir, 'two-tabs'), 96 * 2 ** 20);
  const { page } = await openPage(browser, server.url);
  const job = runJob(page, { file: source, mode: 'decode', password: 'tarns' });
  await poll(page, () => document.getElementById('bar').value > 0.1);
  const second = (await openPage(browser, server.url)).page;
  const result = await job;
  const third = (await openPage(browser, server.url)).page;
  assert.equal(result.error, '');
  await page.bringToFront();
  assert.equal((await output(page, 'none', result, 96 * 2 ** 20)).length, 96 * 2 ** 20, 'the download');
  await Promise.all([page.close(), second.close(), third.close()]);
  rmSync(source);
});

test("the tool's files decode in the page byte for byte, and the page's decode with the tool", async (t) => {
  const sizes = [0, 1, 1025, (1 << 20) + 1];
  let row = 0;
  for (const picker of PATHS) {
    const { page } = await openPage(browser, server.url, { picker });
    for (const password of PASSWORDS) {
      const size = sizes[row++ % sizes.length];
      const name = `${password.name}-${size}`.replace(/\W+/g, '_');
      const source = makeFile(join(dir, name), size);
      const codePage = String(password.codePage ?? 'utf-8');
      await t.test(`${picker}: decode, ${password.name}, ${size} bytes`, async () => {
        tool(dir, source, join(dir, `${name}.enc`), referenceBytes(password), 'encode');
        const result = await runJob(page, { file: join(dir, `${name}.enc`), mode: 'decode', password: password.text, codePage });
        assert.equal(result.error, '');
        if (picker === 'none') assert.equal(result.saveName, name, 'the name without .enc');
        assert.ok(readFileSync(source).equals(await output(page, picker, result, size)));
      });
      await t.test(`${picker}: encode, ${password.name}, ${size} bytes`, async () => {
        const result = await runJob(page, { file: source, mode: 'encode', password: password.text, codePage });
        assert.equal(result.error, '');
        if (picker === 'none') assert.equal(result.saveName, `${name}.enc`, 'the name with .enc');
        writeFileSync(join(dir, 'page.enc'), await output(page, picker, result, size));
        tool(dir, join(dir, 'page.enc'), join(dir, 'tool.dec'), referenceBytes(password), 'decode');
        assert.ok(readFileSync(source).equals(readFileSync(join(dir, 'tool.dec'))));
      });
    }
    await page.close();
  }
});

test('refusals say why and leave nothing behind', async () => {
  const { page } = await openPage(browser, server.url);
  const source = makeFile(join(dir, 'refused'), 5000);
  const rows = [
    { name: 'passwords that differ', job: { mode: 'encode', password: 'one', confirm: 'two' }, says: /do not match/ },
    { name: 'text outside the code page, named by its place', job: { mode: 'decode', password: 'pパ', codePage: '1252' }, says: /^The password's character number 2 cannot be written in code page 1252/ },
    { name: 'a NUL, which the tool cannot be given', job: { mode: 'decode', password: 'p\0w' }, says: /character number 2 is a NUL/ },
    { name: 'no password', job: { mode: 'decode', password: '' }, says: /Type the password/ },
  ];
  // A file removed after it was picked.
  const gone = makeFile(join(dir, 'gone'), 5000);
  rows.push({ name: 'a file gone since it was picked', job: { mode: 'decode', password: 'pw', file: gone }, says: /could not be read/, before: () => rmSync(gone) });
  for (const row of rows) {
    const result = await runJob(page, { file: source, ...row.job, before: row.before });
    assert.match(result.error, row.says, row.name);
    assert.equal(result.resultShown, false, row.name);
    assert.deepEqual((await storedNames(page)).filter((n) => n.startsWith('zodevir-')), [], row.name);
  }
  await page.screenshot({ path: join(shots, `${BROWSER}-error-1280.png`), fullPage: true });
  await checkAccessibility(page, 'an error shown');
  await page.close();
});

test('after decoding, a hint of what the result looks like, never a verdict', async () => {
  const { page } = await openPage(browser, server.url);
  const pdf = join(dir, 'report.pdf');
  writeFileSync(pdf, Buffer.concat([Buffer.from('%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n', 'latin1'), readFileSync(makeFile(join(dir, 'tail'), 9000))]));
  const text = join(dir, 'notes.txt');
  const notes = 'Notes for the meeting: café at ten.\n'.repeat(50);
  writeFileSync(text, notes);
  const texts = {
    latin1: Buffer.from(notes, 'latin1'), bom: Buffer.from(`\ufeff${notes}`, 'utf16le'), utf16: Buffer.from(notes, 'utf16le'),
  };
  for (const [name, bytes] of Object.entries(texts)) writeFileSync(join(dir, `notes-${name}.txt`), bytes);
  writeFileSync(join(dir, 'empty'), '');
  const rows = [
    { name: 'a PDF, right password', file: pdf, password: 'tarns', hint: /looks like a PDF document/ },
    { name: 'text, right password', file: text, password: 'tarns', hint: /looks like UTF-8 text/ },
    { name: 'a PDF, wrong password', file: pdf, password: 'Tarns', hint: /looks like no kind of file.*password .*may be wrong/ },
    { name: 'Latin-1 text, right password', file: join(dir, 'notes-latin1.txt'), password: 'tarns', hint: /looks like text in a single-byte code page/ },
    { name: 'UTF-16 text with a mark, right password', file: join(dir, 'notes-bom.txt'), password: 'tarns', hint: /looks like UTF-16 text/ },
    { name: 'UTF-16 text, right password', file: join(dir, 'notes-utf16.txt'), password: 'tarns', hint: /looks like UTF-16 text/ },
    { name: 'UTF-16 text, wrong password', file: join(dir, 'notes-utf16.txt'), password: 'Tarns', hint: /looks like no kind of file/ },
    { name: 'an empty file', file: join(dir, 'empty'), password: 'Tarns', hint: /^The file is empty, and so is the result, whatever the password\.$/ },
  ];
  for (const row of rows) {
    tool(dir, row.file, join(dir, 'hinted.enc'), Buffer.from('tarns'), 'encode');
    const result = await runJob(page, { file: join(dir, 'hinted.enc'), mode: 'decode', password: row.password });
    assert.match(result.hint, row.hint, row.name);
    if (row.file !== join(dir, 'empty')) assert.match(result.hint, /a hint, not a check/, row.name);
    assert.doesNotMatch(`${result.summary} ${result.hint}`, /verif|correct|valid/i, row.name);
  }
  await page.screenshot({ path: join(shots, `${BROWSER}-result-1280.png`), fullPage: true });
  await checkAccessibility(page, 'a result shown');
  await page.setViewport({ width: 390, height: 844 });
  await page.screenshot({ path: join(shots, `${BROWSER}-result-390.png`), fullPage: true });
  await page.close();
});

test('a 2 GiB file: decoded byte for byte in bounded memory, and Cancel half way leaves nothing', async () => {
  const size = 2 ** 31;
  const source = makeFile(join(dir, 'big'), size);
  tool(dir, source, join(dir, 'big.enc'), Buffer.from('tarns'), 'encode');
  const { page } = await openPage(browser, server.url, { width: 390 });
  const idle = browserMemory(browser);
  let peak = idle;
  const sampler = setInterval(() => {
    peak = Math.max(peak, browserMemory(browser));
  }, 250);
  const job = runJob(page, { file: join(dir, 'big.enc'), mode: 'decode', password: 'tarns' });
  await poll(page, () => !document.getElementById('progress').hidden && document.getElementById('bar').value > 0.2);
  await page.screenshot({ path: join(shots, `${BROWSER}-progress-390.png`), fullPage: true });
  const result = await job;
  clearInterval(sampler);
  assert.equal(result.error, '');
  const saved = await download(page, downloads, result.saveName, size);
  assert.equal(await sha256(saved), await sha256(source), 'the decoded bytes');
  rmSync(saved);
  const above = (peak - idle) / 2 ** 20;
  console.log(`${BROWSER}: peak memory ${above.toFixed(0)} MiB above idle while decoding 2 GiB`);
  assert.ok(above <= 256, `${above.toFixed(0)} MiB above idle`);

  // Cancel while the same file is encoded, once a twentieth is done.
  await page.click('input[name="mode"][value="encode"]');
  await page.$eval('#password', (el) => { el.value = 'tarns'; });
  await page.$eval('#confirm', (el) => { el.value = 'tarns'; });
  const count = await settledCount(page);
  await page.click('#start');
  await poll(page, (n) => (!document.getElementById('progress').hidden && document.getElementById('bar').value > 0.05)
    || Number(document.documentElement.dataset.settled) > n, count, { interval: 20 });
  assert.equal(await settledCount(page), count, `the encode ended at once: ${await page.$eval('#error', (el) => el.textContent)}`);
  await page.click('#cancel');
  const cancelled = await finished(page, count);
  assert.match(cancelled.status, /Cancelled/);
  assert.equal(cancelled.resultShown, false);
  assert.deepEqual((await storedNames(page)).filter((n) => n.startsWith('zodevir-')), [], 'no file left in private storage');
  rmSync(source);
  rmSync(join(dir, 'big.enc'));
  await page.close();
});

test('Cancel at once, while the job is still starting, leaves the storage as it was', async () => {
  const source = makeFile(join(dir, 'at-once'), 64 * 2 ** 20);
  for (const picker of PATHS) {
    // A fresh page: its cipher is still loading when Cancel arrives.
    const { page } = await openPage(browser, server.url, { picker });
    const before = await storedNames(page);
    const count = await fill(page, { file: source, mode: 'decode', password: 'tarns' });
    await page.evaluate(async () => {
      document.getElementById('start').click();
      while (document.getElementById('progress').hidden) await new Promise((resolve) => setTimeout(resolve, 0));
      document.getElementById('cancel').click();
    });
    const cancelled = await finished(page, count);
    assert.match(cancelled.status, /Cancelled/, picker);
    // A job that went on regardless would have written the whole file by now.
    await new Promise((resolve) => setTimeout(resolve, 3000));
    assert.deepEqual(await storedNames(page), before, `${picker}: the storage as it was`);
    await page.close();
  }
  rmSync(source);
});

test('one submit starts one job: Enter twice, or a click then Enter', async () => {
  const { page } = await openPage(browser, server.url);
  const source = makeFile(join(dir, 'twice'), 128 * 2 ** 20);
  for (const second of ['Enter', 'click']) {
    const count = await fill(page, { file: source, mode: 'decode', password: 'tarns' });
    if (second === 'click') await page.click('#start');
    else {
      await page.focus('#password');
      await page.keyboard.press('Enter');
    }
    await new Promise((resolve) => setTimeout(resolve, 150));
    await page.keyboard.press('Enter');
    const result = await finished(page, count);
    assert.equal(result.resultShown, true, `${second} then Enter: ${result.status}`);
    assert.doesNotMatch(result.status, /Cancelled/, second);
  }
  await page.close();
});

test('a name longer than file systems take is shortened, keeps its ending, and lands', async () => {
  const { page } = await openPage(browser, server.url);
  const japanese = join(dir, `${'文'.repeat(84)}`);
  makeFile(japanese, 1000);
  const rows = [
    { name: 'typed, 300 characters', file: join(dir, 'short'), typed: `${'n'.repeat(296)}.enc` },
    { name: 'typed, 120 euro signs', file: join(dir, 'short'), typed: `${'€'.repeat(120)}.enc` },
    { name: 'suggested, 84 Japanese characters', file: japanese },
  ];
  makeFile(join(dir, 'short'), 1000);
  for (const row of rows) {
    const result = await runJob(page, { file: row.file, mode: 'encode', password: 'tarns', name: row.typed });
    assert.ok(Buffer.byteLength(result.saveName) <= 255, `${row.name}: ${Buffer.byteLength(result.saveName)} bytes`);
    assert.ok(result.saveName.endsWith('.enc'), row.name);
    assert.match(await page.$eval('#name-note', (el) => el.textContent), /Shortened to 244 bytes/, row.name);
    assert.equal((await output(page, 'none', result, 1000)).length, 1000, `${row.name}: the file landed`);
  }
  rmSync(japanese);
  await page.close();
});

test('a whole encode and decode makes no network request once the page has loaded', async () => {
  const { page, requests } = await openPage(browser, server.url);
  const loaded = { hits: server.hits.length, requests: requests.length };
  const source = makeFile(join(dir, 'quiet'), 100000);
  const encoded = await runJob(page, { file: source, mode: 'encode', password: 'tarns' });
  writeFileSync(join(dir, 'quiet.enc'), await output(page, 'none', encoded, 100000));
  await runJob(page, { file: join(dir, 'quiet.enc'), mode: 'decode', password: 'tarns' });
  assert.equal(server.hits.length, loaded.hits, 'requests that reached the server');
  const after = requests.slice(loaded.requests).filter((url) => !/^(blob|data):/.test(url));
  assert.deepEqual(after, [], 'requests the browser made');
  // And the page's policy forbids any: a request from its own script fails.
  const refused = await page.evaluate((url) => fetch(url).then(() => 'fetched', (error) => error.name), server.url);
  assert.equal(refused, 'TypeError', 'a fetch from the page');
  assert.equal(server.hits.length, loaded.hits, 'the refused fetch never reached the server');
  await page.close();
});

test('the first screen, at phone and desktop widths, in light and dark', async () => {
  for (const width of [390, 1280]) {
    const { page } = await openPage(browser, server.url, { width });
    await checkAccessibility(page, `the first screen at ${width} px`);
    await page.screenshot({ path: join(shots, `${BROWSER}-start-${width}.png`), fullPage: true });
    if (BROWSER === 'chromium') {
      await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' }]);
      await checkAccessibility(page, `the first screen at ${width} px, dark`);
      await page.screenshot({ path: join(shots, `${BROWSER}-start-${width}-dark.png`), fullPage: true });
    }
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    assert.ok(overflow <= 0, `nothing wider than ${width} px (${overflow} px over)`);
    await page.close();
  }
});

async function checkAccessibility(page, state) {
  await page.evaluate(axeSource);
  const violations = await page.evaluate(async () => {
    const result = await globalThis.axe.run(document, { resultTypes: ['violations'] });
    return result.violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
  });
  assert.deepEqual(violations, [], `axe, ${state}`);
}
