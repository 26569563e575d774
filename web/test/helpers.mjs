// What the module's and the page's tests share: the build's outputs, the
// command-line tool as the reference, and test files made in a scratch folder.
import { execFileSync } from 'node:child_process';
import { createHash, randomFillSync } from 'node:crypto';
import { createReadStream, mkdtempSync, openSync, closeSync, writeSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { existsSync } from 'node:fs';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

// The web preset's build folder and its tool, unless the variables name
// others (ctest sets them for its own build).
export const BUILD = process.env.ZODEVIR_WEB_BUILD ?? fileURLToPath(new URL('../../build/web', import.meta.url));
export const TOOL = process.env.ZODEVIR_TOOL ?? join(BUILD, 'zodevir');
if (!existsSync(join(BUILD, 'zodevir.html')) || !existsSync(TOOL)) {
  throw new Error(`no built module and tool in ${BUILD}: run cmake --workflow --preset web, or set ZODEVIR_WEB_BUILD and ZODEVIR_TOOL`);
}

export function scratch(t) {
  const dir = mkdtempSync(join(tmpdir(), 'zodevir-web-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Runs the command-line tool with the password's exact bytes, through the
// password file so that bytes which are not UTF-8 reach it unchanged.
export function tool(dir, source, destination, passwordBytes, mode) {
  const passwordFile = join(dir, 'password');
  writeFileSync(passwordFile, Buffer.from(passwordBytes), { mode: 0o600 });
  execFileSync(TOOL, [source, destination, '', mode], {
    env: { ...process.env, ZODEVIR_PASSWORD_FILE: passwordFile },
    stdio: ['ignore', 'ignore', 'inherit'],
  });
}

// A password's bytes in a Windows code page, as iconv converts them: the
// reference, never the module's own conversion.
export function iconvBytes(text, codePage) {
  return execFileSync('iconv', ['-f', 'UTF-8', '-t', `CP${codePage}`], { input: text });
}

// size random bytes, written a block at a time.
export function makeFile(path, size) {
  const fd = openSync(path, 'w');
  const block = Buffer.alloc(Math.min(size, 1 << 20));
  for (let written = 0; written < size; written += block.length) {
    randomFillSync(block);
    writeSync(fd, block, 0, Math.min(block.length, size - written));
  }
  closeSync(fd);
  return path;
}

export function sha256(path) {
  return new Promise((resolve, reject) => {
    const hash = createHash('sha256');
    createReadStream(path, { highWaterMark: 1 << 20 }).on('data', (d) => hash.update(d)).on('end', () => resolve(hash.digest('hex'))).on('error', reject);
  });
}

// The passwords every parity row runs under: lengths 1, 2, 3 and 1033 (the
// longest whose every byte counts), and text that is not ASCII.
export const PASSWORDS = [
  { name: 'one byte', text: 'x' },
  { name: 'two bytes', text: 'ab' },
  { name: 'three bytes', text: 'abc' },
  { name: '1033 bytes', text: Array.from({ length: 1033 }, (_, i) => String.fromCharCode(33 + ((i * 7) % 94))).join('') },
  { name: 'UTF-8 with accents', text: 'café crème brûlée' },
  { name: 'code page 1252', text: 'Façade€', codePage: 1252 },
  { name: 'code page 1251', text: 'пароль', codePage: 1251 },
  { name: 'code page 932', text: '表パスワード', codePage: 932 },
];

export function referenceBytes({ text, codePage }) {
  return codePage ? iconvBytes(text, codePage) : Buffer.from(text, 'utf8');
}
