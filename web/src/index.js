// zodevir's cipher for browsers and Node: the key of a password, the
// transform of a block at a file position, and a TransformStream for a whole
// file. Every byte is computed by the WebAssembly build of the cipher the
// command-line tool uses.
//
//   import { load, passwordBytes } from 'zodevir';
//   const zodevir = await load();
//   const key = zodevir.key(passwordBytes('secret'));
//   await file.stream().pipeThrough(zodevir.transformStream(key, 'decode')).pipeTo(sink);
import { loadCipher } from './loader.js';
import { makeCodec } from './codec.js';
import { makeTransformStream } from './stream.js';

export { passwordBytes, CODE_PAGES, UnrepresentableError } from './codepages.js';
export { Key, KEY_TABLE_SIZE } from './codec.js';

let codec = null;

function cipherOf(made) {
  return Object.freeze({
    ...made,
    transformStream: (key, mode, options) => makeTransformStream(made, key, mode, options),
  });
}

// The cipher: by default the realm's one instance; with { simd } or
// { module } (a compiled WebAssembly.Module of either build), an instance of
// its own.
export async function load(options = {}) {
  if (options.simd !== undefined || options.module !== undefined) {
    return cipherOf(makeCodec(await loadCipher(options)));
  }
  codec ??= cipherOf(makeCodec(await loadCipher()));
  return codec;
}
