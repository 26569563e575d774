// Types of zodevir's module, as index.js exports it.

/** The key of one password; made by `Cipher.key()` alone. */
export declare class Key {
  private constructor();
  /** True once `wipe()` has been called. */
  readonly wiped: boolean;
  /** Forgets the key, in the module's memory too. */
  wipe(): void;
}

export type Mode = 'encode' | 'decode';

export interface TransformStreamOptions {
  /** The file position of the first byte (default 0). */
  start?: number;
  /** Keep the key when the stream ends (by default it is wiped). */
  keepKey?: boolean;
  /** Transform the given chunks where they are, without a copy. */
  inPlace?: boolean;
  /** Called with the bytes done so far after each chunk. */
  onProgress?: (done: number) => void;
}

export interface Cipher {
  /** True for the SIMD build, false for the scalar one, null when not known. */
  readonly simd: boolean | null;
  readonly KEY_TABLE_SIZE: number;
  /** The key of the password's bytes, which are zeroed. */
  key(password: Uint8Array): Key;
  /** Transforms bytes in place as the bytes at position of a file; returns them. */
  transform(key: Key, mode: Mode, position: number, bytes: Uint8Array): Uint8Array;
  /** size bytes of the module's own memory, transformed without a copy. */
  buffer(size: number): Uint8Array;
  /** A TransformStream over a whole file, in chunks of any size. */
  transformStream(key: Key, mode: Mode, options?: TransformStreamOptions): TransformStream<BufferSource, Uint8Array>;
}

export interface LoadOptions {
  /** Ask for the SIMD (true) or the scalar (false) build. */
  simd?: boolean;
  /** A compiled module of either build, instantiated instead. */
  module?: WebAssembly.Module;
}

/** The cipher: the realm's one instance, or with options an instance of its own. */
export declare function load(options?: LoadOptions): Promise<Cipher>;

/** The bytes a password is keyed with: UTF-8, or a Windows code page by number. */
export declare function passwordBytes(text: string, codePage?: 'utf-8' | number): Uint8Array;

/** The Windows code pages passwordBytes() takes. */
export declare const CODE_PAGES: readonly number[];

/** The number of slots in a key table. */
export declare const KEY_TABLE_SIZE: number;

/** Thrown for a password character the encoding cannot carry, or a NUL. */
export declare class UnrepresentableError extends Error {
  readonly character: string;
  /** Where it stands in the password, counted in characters from 1. */
  readonly position: number;
}
