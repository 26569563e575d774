// The module against the command-line tool: the same bytes for every
// password and size, both builds, whole or streamed in odd chunks; and what
// it refuses, what it wipes, and the packed tarball used as a program would.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { BUILD, PASSWORDS, iconvBytes, makeFile, referenceBytes, scratch, tool } from './helpers.mjs';

const pkg = join(BUILD, 'package');
const { Key, KEY_TABLE_SIZE, load, passwordBytes, UnrepresentableError } = await import(join(pkg, 'index.js'));
const { SCALAR_WASM } = await import(join(pkg, 'wasm-bytes.js'));

const simd = await load();
const scalar = await load({ simd: false });
// A module the caller compiled itself.
const handed = await load({ module: await WebAssembly.compile(Buffer.from(SCALAR_WASM, 'base64')), simd: false });
const builds = [{ name: 'SIMD', codec: simd }, { name: 'scalar', codec: scalar }, { name: 'handed in', codec: handed }];
assert.deepEqual([simd.simd, scalar.simd, handed.simd], [true, false, false], 'the builds asked for');

const keyOf = (codec, password) => codec.key(passwordBytes(password.text, password.codePage ?? 'utf-8'));

async function streamed(source, key, mode, sizes, inPlace = false) {
  const chunks = [];
  for (let at = 0, i = 0; at < source.length; i++) {
    const size = sizes[i % sizes.length];
    chunks.push(Uint8Array.from(source.subarray(at, at + size)));
    at += size;
  }
  const given = [...chunks];
  const input = new ReadableStream({ pull(c) { if (chunks.length) c.enqueue(chunks.shift()); else c.close(); } });
  const out = [];
  await input.pipeThrough(simd.transformStream(key, mode, { inPlace })).pipeTo(new WritableStream({ write(b) { out.push(Buffer.from(b)); } }));
  // The chunks given keep their bytes, unless they were handed over to be transformed in place.
  assert.ok(Buffer.concat(given).equals(inPlace ? Buffer.concat(out) : source), 'the chunks given');
  return Buffer.concat(out);
}

test('the known answer: "plain text\\n" under "tarns"', () => {
  for (const { name, codec } of builds) {
    const bytes = new TextEncoder().encode('plain text\n');
    const key = codec.key(passwordBytes('tarns'));
    codec.transform(key, 'encode', 0, bytes);
    assert.deepEqual([...bytes], [0x50, 0x81, 0x70, 0xfb, 0x13, 0xb8, 0x01, 0xec, 0x73, 0x81, 0x1b], name);
    // The same key the other way round.
    assert.equal(new TextDecoder().decode(codec.transform(key, 'decode', 0, bytes)), 'plain text\n', name);
  }
});

test('the same bytes as the tool, for every password, size and direction', (t) => {
  const dir = scratch(t);
  for (const size of [0, 1, 1025, (1 << 20) + 1]) {
    const source = makeFile(join(dir, `source-${size}`), size);
    const input = readFileSync(source);
    for (const password of PASSWORDS) {
      for (const mode of ['encode', 'decode']) {
        const expectedPath = join(dir, 'expected');
        tool(dir, source, expectedPath, referenceBytes(password), mode);
        const expected = readFileSync(expectedPath);
        for (const { name, codec } of builds) {
          const got = codec.transform(keyOf(codec, password), mode, 0, Uint8Array.from(input));
          assert.ok(expected.equals(got), `${name}, ${password.name}, ${size} bytes, ${mode}`);
        }
      }
    }
  }
});

test('a stream in chunks of odd sizes carries the position across them', async (t) => {
  const dir = scratch(t);
  const source = makeFile(join(dir, 'source'), 3 * 65536 + 7);
  const input = readFileSync(source);
  const rows = [
    { name: 'single bytes, then a 1023-byte chunk', sizes: [1, 1, 1, 1023] },
    { name: 'primes around the table size', sizes: [1021, 1031, 7] },
    { name: 'chunks larger than the copy window', sizes: [300007, 1] },
    { name: 'chunks handed over to be transformed in place', sizes: [65536, 3], inPlace: true },
  ];
  for (const password of [PASSWORDS[2], PASSWORDS[7]]) {
    for (const mode of ['encode', 'decode']) {
      tool(dir, source, join(dir, 'expected'), referenceBytes(password), mode);
      const expected = readFileSync(join(dir, 'expected'));
      for (const row of rows) {
        const got = await streamed(input, keyOf(simd, password), mode, row.sizes, row.inPlace);
        assert.ok(expected.equals(got), `${row.name}, ${password.name}, ${mode}`);
      }
    }
  }
});

test("code pages give iconv's bytes, where code page 932 holds a character twice too", () => {
  // 髙 and ⅰ stand in both copies of the IBM extensions (0xED/0xEE and
  // 0xFA-0xFC); ① is NEC's row 13; ¥ is not in 932 at all.
  const rows = [
    { text: '髙ⅰ①表', codePage: 932 },
    { text: 'Ünïcödé €‰', codePage: 1252 },
    { text: 'Ёлка №5', codePage: 1251 },
  ];
  for (const row of rows) {
    assert.deepEqual(Buffer.from(passwordBytes(row.text, row.codePage)), iconvBytes(row.text, row.codePage), row.text);
  }
  assert.throws(() => passwordBytes('¥', 932), UnrepresentableError);
});

test('what the module refuses', () => {
  const key = simd.key(passwordBytes('tarns'));
  const rows = [
    { name: 'text outside code page 1252', call: () => passwordBytes('表', 1252), error: UnrepresentableError },
    { name: 'a Latin accent outside code page 1251', call: () => passwordBytes('жé', 1251), error: UnrepresentableError },
    { name: 'half of a surrogate pair', call: () => passwordBytes('ab\ud800'), error: UnrepresentableError },
    { name: 'a NUL, which the tool cannot be given', call: () => passwordBytes('p\0w', 1252), error: { position: 2 } },
    { name: 'the position counts characters, not units', call: () => passwordBytes('𝄞\0'), error: { position: 2 } },
    { name: 'an unknown code page', call: () => passwordBytes('abc', 437), error: RangeError },
    { name: 'an empty password', call: () => simd.key(new Uint8Array(0)), error: RangeError },
    { name: 'a mode word in capitals', call: () => simd.transform(key, 'Encode', 0, new Uint8Array(1)), error: RangeError },
    { name: 'a negative position', call: () => simd.transform(key, 'encode', -1, new Uint8Array(1)), error: RangeError },
    { name: 'a string for bytes', call: () => simd.transform(key, 'encode', 0, 'text'), error: TypeError },
  ];
  for (const row of rows) assert.throws(row.call, row.error, row.name);
});

test('the password and the key are wiped once used', async () => {
  const memory = () => new Uint8Array(simd.buffer(0).buffer);
  const contains = (haystack, needle) => Buffer.from(haystack.buffer, haystack.byteOffset, haystack.length).indexOf(Buffer.from(needle)) >= 0;
  const bytes = passwordBytes('Zs3cret-password');
  const key = simd.key(bytes);
  assert.ok(bytes.every((b) => b === 0), 'the caller\'s password bytes are zeroed');
  assert.ok(!contains(memory(), new TextEncoder().encode('Zs3cret-password')), 'no copy in the module\'s memory');
  // The first slots of "tarns" (32, 235, 17) as the module's 32-bit table holds them.
  const tarnsTable = Uint8Array.of(32, 0, 0, 0, 235, 0, 0, 0, 17, 0, 0, 0);
  const tarns = simd.key(passwordBytes('tarns'));
  simd.transform(tarns, 'encode', 0, new Uint8Array(8));
  assert.ok(contains(memory(), tarnsTable), 'the table is in the module while in use');
  await new Blob([new Uint8Array(3000)]).stream().pipeThrough(simd.transformStream(tarns, 'decode')).pipeTo(new WritableStream());
  assert.ok(!contains(memory(), tarnsTable), 'the table is gone once the stream ends');
  // No key is made, nor its wipe changed, from outside.
  assert.throws(() => new Key(new Int32Array(KEY_TABLE_SIZE)), /made by zodevir\.key\(\)/);
  const again = simd.key(passwordBytes('tarns'));
  simd.transform(again, 'encode', 0, new Uint8Array(8));
  assert.throws(() => { 'use strict'; again.onwipe = () => {}; }, TypeError);
  again.wipe();
  assert.ok(!contains(memory(), tarnsTable), 'the table is gone with the key whose wipe was tampered with');
  assert.throws(() => simd.transform(tarns, 'encode', 0, new Uint8Array(1)), /wiped/);
  // Bytes transformed through the module's window leave no copy there.
  const secret = new TextEncoder().encode('a line of the decoded file, only the caller has it');
  simd.transform(key, 'decode', 0, secret);
  assert.ok(!contains(memory(), secret), 'the window is cleared');
  key.wipe();
});

test('the packed tarball installs and decodes a file as a program would', (t) => {
  const dir = scratch(t);
  const version = process.env.ZODEVIR_VERSION ?? JSON.parse(readFileSync(join(BUILD, 'package/package.json'))).version;
  const tarball = join(BUILD, `zodevir-${version}.tgz`);
  const source = makeFile(join(dir, 'report.pdf'), 200003);
  tool(dir, source, join(dir, 'report.pdf.enc'), Buffer.from('tarns'), 'encode');
  writeFileSync(join(dir, 'package.json'), '{"name":"user","private":true,"type":"module"}');
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', '--loglevel=error', tarball], { cwd: dir });
  writeFileSync(join(dir, 'decode.mjs'), `
import { createReadStream, createWriteStream } from 'node:fs';
import { Readable, Writable } from 'node:stream';
import { load, passwordBytes } from 'zodevir';
const zodevir = await load();
const key = zodevir.key(passwordBytes(process.argv[4]));
await Readable.toWeb(createReadStream(process.argv[2]))
  .pipeThrough(zodevir.transformStream(key, 'decode'))
  .pipeTo(Writable.toWeb(createWriteStream(process.argv[3])));
`);
  execFileSync(process.execPath, ['decode.mjs', 'report.pdf.enc', 'report.out', 'tarns'], { cwd: dir });
  assert.ok(readFileSync(source).equals(readFileSync(join(dir, 'report.out'))));
  const manifest = JSON.parse(readFileSync(join(dir, 'node_modules/zodevir/package.json')));
  assert.equal(manifest.dependencies, undefined, 'no run-time dependencies');
  // The README's example type-checks against the package's declarations.
  const example = /```js\n([^]*?)```/.exec(readFileSync(new URL('../README.md', import.meta.url), 'utf8'))[1];
  writeFileSync(join(dir, 'example.ts'), 'declare const file: File;\n'
    + 'declare function showSaveFilePicker(o: { suggestedName: string }): Promise<FileSystemFileHandle>;\n'
    + `${example}export {};\n`);
  writeFileSync(join(dir, 'tsconfig.json'), JSON.stringify({
    compilerOptions: { strict: true, noEmit: true, target: 'es2022', module: 'nodenext', lib: ['es2022', 'dom'] },
    files: ['example.ts'],
  }));
  execFileSync(process.execPath, [new URL('../node_modules/typescript/bin/tsc', import.meta.url).pathname, '-p', dir], { cwd: dir });
});
