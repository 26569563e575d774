// The key and the block transform over the WebAssembly cipher. Memory past
// the module's heap base is ours: a window through which data that lives
// elsewhere is transformed, and, behind it, the space buffer() hands out.
export const KEY_TABLE_SIZE = 1024;
const WINDOW = 256 * 1024;
const PAGE = 65536;

let nextKeyId = 1;

// Keys are made by the codec alone (zodevir.key()), and what wiping one
// also clears in the module is the codec's to say: neither can be put in
// from outside, so no key escapes its wipe.
const MAKING = Symbol('making a key');
const onWipe = new WeakMap();

// A key: the 1024 key values of one password. wipe() forgets them.
export class Key {
  #table;
  constructor(making, table, forget) {
    if (making !== MAKING) throw new TypeError('keys are made by zodevir.key(), not new Key()');
    this.#table = table;
    this.id = nextKeyId++;
    onWipe.set(this, forget);
    Object.freeze(this);
  }
  get wiped() {
    return this.#table === null;
  }
  // Read by the codec alone.
  static tableOf(key) {
    if (!(key instanceof Key)) throw new TypeError('not a zodevir key');
    if (key.#table === null) throw new Error('this key has been wiped');
    return key.#table;
  }
  wipe() {
    if (this.#table) this.#table.fill(0);
    this.#table = null;
    onWipe.get(this)?.(this);
  }
}

function modeFlag(mode) {
  if (mode === 'encode') return 0;
  if (mode === 'decode') return 1;
  throw new RangeError(`mode must be "encode" or "decode", not ${JSON.stringify(mode)}`);
}

function checkPosition(position) {
  if (!Number.isSafeInteger(position) || position < 0) {
    throw new RangeError('position must be a non-negative whole number');
  }
}

export function makeCodec({ exports: wasm, simd }) {
  const { memory } = wasm;
  const base = (wasm.zv_heap_base() + 15) & ~15;
  let current = { key: 0, decode: -1 };

  function ensure(bytes) {
    const need = base + bytes - memory.buffer.byteLength;
    if (need > 0) memory.grow(Math.ceil(need / PAGE));
  }
  ensure(WINDOW);

  function select(key, decode) {
    if (current.key === key.id && current.decode === decode) return;
    const table = Key.tableOf(key);
    new Int32Array(memory.buffer, wasm.zv_table(), KEY_TABLE_SIZE).set(table);
    wasm.zv_select(decode);
    current = { key: key.id, decode };
  }

  function forget(key) {
    if (current.key === key.id) {
      wasm.zv_wipe();
      current = { key: 0, decode: -1 };
    }
  }

  // The key of a password given as bytes (see passwordBytes). The password
  // bytes are zeroed once the key is made, and the module keeps no copy.
  function key(password) {
    if (!(password instanceof Uint8Array)) throw new TypeError('the password must be a Uint8Array of its bytes');
    if (password.length === 0) throw new RangeError('the password is empty');
    ensure(password.length);
    const area = new Uint8Array(memory.buffer, base, password.length);
    area.set(password);
    password.fill(0);
    wasm.zv_build_table(base, password.length);
    area.fill(0);
    const table = new Int32Array(KEY_TABLE_SIZE);
    table.set(new Int32Array(memory.buffer, wasm.zv_table(), KEY_TABLE_SIZE));
    wasm.zv_wipe();
    current = { key: 0, decode: -1 };
    return new Key(MAKING, table, forget);
  }

  // Transforms bytes in place as the bytes of a file starting at position,
  // and returns them. Bytes inside the module's own memory (from buffer())
  // are transformed where they lie; others pass through a window.
  function transform(key, mode, position, bytes) {
    const decode = modeFlag(mode);
    checkPosition(position);
    if (!(bytes instanceof Uint8Array)) throw new TypeError('bytes must be a Uint8Array');
    select(key, decode);
    if (bytes.buffer === memory.buffer) {
      wasm.zv_transform(bytes.byteOffset, bytes.length, position % KEY_TABLE_SIZE);
      return bytes;
    }
    const window = new Uint8Array(memory.buffer, base, WINDOW);
    for (let done = 0; done < bytes.length; done += WINDOW) {
      const part = bytes.subarray(done, done + WINDOW);
      window.set(part);
      wasm.zv_transform(base, part.length, (position + done) % KEY_TABLE_SIZE);
      part.set(window.subarray(0, part.length));
    }
    window.fill(0, 0, Math.min(bytes.length, WINDOW));
    return bytes;
  }

  // size bytes of the module's own memory, which transform() works on
  // without copying. The view stays valid until buffer() is called again.
  function buffer(size) {
    if (!Number.isSafeInteger(size) || size < 0) throw new RangeError('size must be a non-negative whole number');
    ensure(WINDOW + size);
    return new Uint8Array(memory.buffer, base + WINDOW, size);
  }

  return { key, transform, buffer, simd, KEY_TABLE_SIZE };
}
