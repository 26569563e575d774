// The output's suggested name: report.pdf encodes to report.pdf.enc, and
// report.pdf.enc decodes to report.pdf; a file to decode without the .enc
// ending gets .dec added, so the source's own name is never suggested.
export function outputName(sourceName, mode) {
  const name = sourceName || 'file';
  if (mode === 'encode') return `${name}.enc`;
  const stripped = name.replace(/\.enc$/i, '');
  return stripped && stripped !== name ? stripped : `${name}.dec`;
}

// The longest name every browser can save: file systems take 255 bytes in
// UTF-8, and Chromium writes a download under the name and ".crdownload"
// (11 bytes more) until it is done; a longer name never lands.
export const NAME_LIMIT = 255 - '.crdownload'.length;

const utf8Length = (text) => new TextEncoder().encode(text).length;

// The name cut to what every browser can save, whole characters at a time
// from the end of its stem, keeping its ending (.enc, or the decoded file's
// own, .pdf).
export function fitName(name) {
  if (utf8Length(name) <= NAME_LIMIT) return name;
  const dot = name.lastIndexOf('.');
  const ending = dot > 0 && utf8Length(name.slice(dot)) <= 16 ? name.slice(dot) : '';
  const stem = Array.from(name.slice(0, name.length - ending.length));
  while (stem.length > 0 && utf8Length(stem.join('') + ending) > NAME_LIMIT) stem.pop();
  return stem.join('') + ending;
}
