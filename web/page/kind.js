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

// Resolves to { known, text }: whether the bytes look like a known kind, and
// a phrase for the page.
export async function describeHead(head) {
  if (head.length === 0) return { known: false, text: 'an empty file' };
  const type = await fileTypeFromBuffer(head).catch(() => undefined);
  if (type) return { known: true, text: describeType(type) };
  const text = describeText(head);
  if (text) return { known: true, text };
  return { known: false, text: null };
}
