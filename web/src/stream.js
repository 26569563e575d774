// A whole file as a stream: chunks of any size come in, each is transformed
// in place at its file position and passed on, so the key stream runs on
// across chunk boundaries exactly as over the file in one piece.
export function makeTransformStream(codec, key, mode, { start = 0, keepKey = false, onProgress } = {}) {
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
      codec.transform(key, mode, position, bytes);
      position += bytes.length;
      controller.enqueue(bytes);
      onProgress?.(position - start);
    },
    flush: end,
    cancel: end,
  });
}
