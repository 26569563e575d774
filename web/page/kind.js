// What a decoded file looks like from its first bytes. The format carries no
// check, so this is only a hint: a right password usually gives a file of a
// known kind, a wrong one bytes that look like nothing.
import { fileTypeFromBuffer } from 'file-type';

const ARCHIVES = /zip|gzip|x-7z|x-tar|x-rar|x-bzip2|x-xz|zstd|x-lzip|x-cpio|vnd\.rar/;

function article(word) {
  // Said letter by letter: an MP4, an SVG, a PDF.
  return /^[AEFHILMNORSX]/.test(word) ? 'an' : 'a';
}

function describeType({ ext, mime }) {
  const name = ext.toUpperCase();
  const [top] = mime.split('/');
  let what = 'file';
  if (top === 'image') what = 'image';
  else if (top === 'video') what = 'video';
  else if (top === 'audio') what = 'audio file';
  else if (top === 'font') what = 'font';
  else if (ARCHIVES.test(mime)) what = 'archive';
  else if (/pdf|msword|officedocument|opendocument|epub|rtf|postscript/.test(mime)) what = 'document';
  return `${article(name)} ${name} ${what}`;
}

// Text if the bytes are valid UTF-8 (a character cut off at the end of the
// sample aside) with no control characters but tab, line ends and form feed.
function describeText(head) {
  for (let cut = 0; cut <= 3 && cut < head.length; cut++) {
    let text;
    try {
      text = new TextDecoder('utf-8', { fatal: true }).decode(head.subarray(0, head.length - cut));
    } catch {
      continue;
    }
    if (/[\u0000-\u0008\u000B\u000E-\u001F\u007F]/.test(text)) return null;
    // eslint-disable-next-line no-control-regex
    return /^[\u0000-\u007F]*$/.test(text) ? 'plain text (ASCII)' : 'UTF-8 text';
  }
  return null;
}

// Printable UTF-16 text: with a byte-order mark, or, without one, text whose
// characters are mostly Latin or CJK, in either byte order. Random bytes
// read as UTF-16 are mostly neither.
function decoded(order, bytes) {
  try {
    return new TextDecoder(order, { fatal: true, ignoreBOM: true }).decode(bytes);
  } catch {
    return null;
  }
}

const CONTROL = /[\u0000-\u0008\u000B\u000E-\u001F\u007F-\u009F]/;
function describeUtf16(head) {
  const bom = head[0] === 0xff && head[1] === 0xfe ? 'utf-16le' : head[0] === 0xfe && head[1] === 0xff ? 'utf-16be' : null;
  for (const order of bom ? [bom] : ['utf-16le', 'utf-16be']) {
    const units = head.subarray(bom ? 2 : 0, head.length - (head.length % 2));
    // A surrogate pair may be cut at the end of the sample.
    const text = decoded(order, units) ?? decoded(order, units.subarray(0, Math.max(0, units.length - 2)));
    if (!text || CONTROL.test(text)) continue;
    const latin = (text.match(/[\u0020-\u007E\u00A0-\u024F\t\n\r]/g) ?? []).length;
    const cjk = (text.match(/[\u3000-\u30FF\u4E00-\u9FFF\uAC00-\uD7AF\uFF00-\uFFEF]/g) ?? []).length;
    if (bom || latin >= 0.9 * text.length || cjk >= 0.6 * text.length) return 'UTF-16 text';
  }
  return null;
}

// Text in a single-byte code page (Latin-1, Windows-1252): printable bytes
// and line ends only, mostly ASCII, with some bytes above 0x7F, which UTF-8
// would not take.
function describeSingleByte(head) {
  let ascii = 0;
  let high = 0;
  for (const byte of head) {
    if ((byte >= 0x20 && byte <= 0x7e) || byte === 0x09 || byte === 0x0a || byte === 0x0d || byte === 0x0c) ascii++;
    else if (byte >= 0xa0 || (byte >= 0x80 && ![0x81, 0x8d, 0x8f, 0x90, 0x9d].includes(byte))) high++;
    else return null;
  }
  return high > 0 && ascii >= 0.7 * head.length ? 'text in a single-byte code page (such as Latin-1 or Windows-1252)' : null;
}

// Resolves to { known, text }: whether the bytes look like a known kind, and
// a phrase for the page. Text the file-type guess would misname comes
// first.
export async function describeHead(head) {
  if (head.length === 0) return { known: false, text: 'an empty file' };
  // UTF-16 before the guess, which takes it for audio. Text that UTF-8 or a
  // single-byte code page takes is not UTF-16 (ASCII read as UTF-16 is CJK);
  // it comes after the guess, so that a document with a textual start (a
  // PDF) is still named as one.
  const text = describeText(head) ?? describeSingleByte(head);
  const utf16 = text ? null : describeUtf16(head);
  if (utf16) return { known: true, text: utf16 };
  const type = await fileTypeFromBuffer(head).catch(() => undefined);
  if (type) return { known: true, text: describeType(type) };
  if (text) return { known: true, text };
  return { known: false, text: null };
}
