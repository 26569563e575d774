// A whole file as a stream: chunks of any size come in, each is transformed
// at its file position into a fresh chunk that is passed on, so the key
// stream runs on across chunk boundaries exactly as over the file in one
// piece, and a chunk the caller still holds (a tee's other branch) keeps its
// bytes, as with the platform's own streams. A caller that owns its chunks
// may have them transformed in place (inPlace).
export function makeTransformStream(codec, key, mode, { start = 0, keepKey = false, inPlace = false, onProgress } = {}) {
  let position = start;
  codec.transform(key, mode, position, new Uint8Array(0)); // checks key, mode and start now
  const end = () => {
    if (!keepKey) key.wipe();
  };
  return new TransformStream({
    transform(chunk, controller) {
      let bytes;
      if (chunk instanceof Uint8Array) bytes = chunk;
      else if (chunk instanceof ArrayBuffer) bytes = new Uint8Array(chunk);
      else if (ArrayBuffer.isView(chunk)) bytes = new Uint8Array(chunk.buffer, chunk.byteOffset, chunk.byteLength);
      else throw new TypeError('chunks must be bytes (a Uint8Array, another view, or an ArrayBuffer)');
      const out = inPlace ? bytes : bytes.slice();
      codec.transform(key, mode, position, out);
      position += out.length;
      controller.enqueue(out);
      onProgress?.(position - start);
    },
    flush: end,
    cancel: end,
  });
}
