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

async function instantiate(simd, module) {
  if (module !== undefined) {
    if (!(module instanceof WebAssembly.Module)) throw new TypeError('module must be a compiled WebAssembly.Module');
    const wasm = await WebAssembly.instantiate(module, {});
    wasm.exports._initialize();
    return { exports: wasm.exports, simd: simd ?? null };
  }
  const simdBytes = bytesOf(SIMD_WASM);
  const useSimd = simd ?? WebAssembly.validate(simdBytes);
  const { instance: wasm } = await WebAssembly.instantiate(useSimd ? simdBytes : bytesOf(SCALAR_WASM), {});
  wasm.exports._initialize();
  return { exports: wasm.exports, simd: useSimd };
}

// Resolves to { exports, simd }: the module's exports (memory included) and
// whether the SIMD build was taken. By default one instance, of the SIMD
// build where the engine validates it, serves the whole realm; a caller may
// ask for a build (simd: true or false) or hand in a module it compiled
// itself (module, with simd saying which build it is, if it knows), and gets
// an instance of its own.
export function loadCipher({ simd, module } = {}) {
  if (simd !== undefined || module !== undefined) return instantiate(simd, module);
  instance ??= instantiate(undefined, undefined);
  return instance;
}
