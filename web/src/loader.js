// Loads the cipher's WebAssembly: the SIMD build where the engine validates
// it, the scalar build otherwise. Both are compiled from cipher/ and embedded
// in wasm-bytes.js by the build, so loading reads no file and makes no
// request, in a browser, a Worker or Node alike.
import { SCALAR_WASM, SIMD_WASM } from './wasm-bytes.js';

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
  return bytes;
}

let instance = null;

// Resolves to { exports, simd }: the module's exports (memory included) and
// whether the SIMD build was taken. One instance serves the whole realm.
export function loadCipher() {
  if (!instance) {
    instance = (async () => {
      const simdBytes = bytesOf(SIMD_WASM);
      const simd = WebAssembly.validate(simdBytes);
      const { instance: wasm } = await WebAssembly.instantiate(simd ? simdBytes : bytesOf(SCALAR_WASM), {});
      wasm.exports._initialize();
      return { exports: wasm.exports, simd };
    })();
  }
  return instance;
}
