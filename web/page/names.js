// The output's suggested name: report.pdf encodes to report.pdf.enc, and
// report.pdf.enc decodes to report.pdf; a file to decode without the .enc
// ending gets .dec added, so the source's own name is never suggested.
export function outputName(sourceName, mode) {
  const name = sourceName || 'file';
  if (mode === 'encode') return `${name}.enc`;
  const stripped = name.replace(/\.enc$/i, '');
  return stripped && stripped !== name ? stripped : `${name}.dec`;
}
