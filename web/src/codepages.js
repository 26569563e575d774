// A password's bytes from text. zodevir.exe keys a file with the bytes of the
// Windows ANSI code page its command line was converted to, so a file made
// there opens only with the same bytes. The code pages' maps are derived from
// the platform's own TextDecoder, byte sequence by byte sequence.

const SINGLE_BYTE = new Set([874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258]);
const DOUBLE_BYTE = new Map([
  [932, 'shift_jis'],
  [936, 'gbk'],
  [949, 'euc-kr'],
  [950, 'big5'],
]);
// Windows' code page 932 holds a second copy of the IBM extensions under the
// lead bytes 0xED and 0xEE; text is always written with the first copy.
const SKIPPED_LEADS = new Map([[932, new Set([0xed, 0xee])]]);

export const CODE_PAGES = [...SINGLE_BYTE, ...DOUBLE_BYTE.keys()].sort((a, b) => a - b);

const maps = new Map();

function labelOf(codePage) {
  if (SINGLE_BYTE.has(codePage)) return `windows-${codePage}`;
  return DOUBLE_BYTE.get(codePage);
}

function addIfSingle(map, decoded, bytes) {
  if (decoded.length === 0 || decoded.length > 2 || decoded.includes('\ufffd')) return;
  const codePoint = decoded.codePointAt(0);
  if (String.fromCodePoint(codePoint) !== decoded) return;
  if (!map.has(codePoint)) map.set(codePoint, bytes);
}

function buildMap(codePage) {
  const decoder = new TextDecoder(labelOf(codePage), { fatal: false });
  const map = new Map();
  // Single-byte pages are decoded streaming, because Node before 22 reads
  // windows-1252 as Latin-1 (0x80 as U+0080, not the euro sign) on its
  // one-shot path; one byte of them never leaves the decoder waiting.
  const stream = SINGLE_BYTE.has(codePage);
  for (let b = 0; b < 256; b++) addIfSingle(map, decoder.decode(Uint8Array.of(b), { stream }), [b]);
  if (DOUBLE_BYTE.has(codePage)) {
    const skipped = SKIPPED_LEADS.get(codePage) ?? new Set();
    for (let lead = 0x81; lead <= 0xfe; lead++) {
      if (skipped.has(lead)) continue;
      for (let trail = 0x40; trail <= 0xfe; trail++) {
        addIfSingle(map, decoder.decode(Uint8Array.of(lead, trail)), [lead, trail]);
      }
    }
  }
  return map;
}

function mapOf(codePage) {
  if (!maps.has(codePage)) maps.set(codePage, buildMap(codePage));
  return maps.get(codePage);
}

// Thrown for text the chosen encoding cannot carry; nothing is guessed.
export class UnrepresentableError extends Error {
  constructor(character, where, position) {
    const shown = `U+${character.codePointAt(0).toString(16).toUpperCase().padStart(4, '0')}`;
    super(`the password's character ${shown} (character ${position}) cannot be written in ${where}`);
    this.name = 'UnrepresentableError';
    this.character = character;
    this.position = position;
  }
}

const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

// The position, counted in characters from 1, of the one at index.
const positionAt = (text, index) => [...text.slice(0, index)].length + 1;

// The password's bytes: UTF-8 by default (as Linux passes it), or the bytes
// of a Windows code page given by number (1252, 1251, 932, ...). A NUL is
// refused in any encoding: the tool is given its password as a C string,
// so a file keyed with one could never be decoded there.
export function passwordBytes(text, codePage = 'utf-8') {
  if (typeof text !== 'string') throw new TypeError('the password must be a string');
  const lone = LONE_SURROGATE.exec(text);
  if (lone) throw new UnrepresentableError(lone[0], 'any encoding: it is half of a pair', positionAt(text, lone.index));
  const nul = text.indexOf('\0');
  if (nul >= 0) throw new UnrepresentableError('\0', 'a password: no password the tool takes holds a NUL', positionAt(text, nul));
  if (codePage === 'utf-8' || codePage === 65001) return new TextEncoder().encode(text);
  if (!CODE_PAGES.includes(codePage)) throw new RangeError(`unknown code page ${codePage}; known: utf-8, ${CODE_PAGES.join(', ')}`);
  const map = mapOf(codePage);
  const out = [];
  let position = 0;
  for (const character of text) {
    position += 1;
    const bytes = map.get(character.codePointAt(0));
    if (!bytes) throw new UnrepresentableError(character, `code page ${codePage}`, position);
    out.push(...bytes);
  }
  const result = Uint8Array.from(out);
  out.fill(0);
  return result;
}
