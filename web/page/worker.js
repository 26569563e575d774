// The page's worker: reads the picked file as a stream, transforms it with
// the cipher and writes it to the chosen destination as it goes, so no more
// than a chunk or two is in memory whatever the file's size.
import { load } from '../src/index.js';
import { OPFS_PREFIX, whileHeld } from './output.js';

const HEAD = 4100; // enough first bytes for the file-kind hint
const PROGRESS_EVERY_MS = 100;

let job = null;

// How the private storage can be written here: 'sync' (an access handle),
// 'writable' (a stream, where the browser has no access handles, as
// WebKitGTK), or null. Each way is tried on a file of its own: a failed
// access handle leaves its file locked in some browsers.
async function probe() {
  let root;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return null;
  }
  const attempt = async (how, open) => {
    const name = `${OPFS_PREFIX}probe-${how}-${Date.now()}.part`;
    return whileHeld(name, async () => {
      try {
        const handle = await root.getFileHandle(name, { create: true });
        await open(handle);
        return how;
      } catch {
        return null;
      } finally {
        await root.removeEntry(name).catch(() => {});
      }
    });
  };
  return (await attempt('sync', async (handle) => (await handle.createSyncAccessHandle()).close()))
    ?? attempt('writable', async (handle) => (await handle.createWritable()).close());
}

// Where each write is a round trip to the browser (a picked file's stream,
// a private file's where there are no access handles), blocks are gathered
// into pieces of this size first (measured at 1 GiB through a picked file
// in Chromium: 61 MB/s a 1 MiB write, 80 at 4, 92 at 8, 99 at 16).
const PIECE_SIZE = 16 << 20;

function writableSink(handle, remove) {
  const opened = handle.createWritable({ keepExistingData: false });
  const piece = new Uint8Array(PIECE_SIZE);
  let filled = 0;
  // A part of the piece is written as a copy of its own: WebKit's stream
  // writes a view's whole buffer.
  const flush = async (writable) => {
    if (filled > 0) await writable.write(filled === PIECE_SIZE ? piece : piece.slice(0, filled));
    filled = 0;
  };
  return opened.then((writable) => ({
    async write(bytes) {
      if (filled + bytes.length > PIECE_SIZE) await flush(writable);
      if (bytes.length >= PIECE_SIZE) await writable.write(bytes);
      else {
        piece.set(bytes, filled);
        filled += bytes.length;
      }
    },
    async finish() {
      await flush(writable);
      await writable.close();
    },
    async drop() {
      await writable.abort().catch(() => {});
      await remove();
    },
  }));
}

// Each sink writes at the running position, and can be finished or dropped.
async function openSink(target) {
  if (target.kind === 'picker') return writableSink(target.handle, () => {});
  if (target.kind === 'private') {
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle(target.name, { create: true });
    if (target.method === 'writable') return writableSink(handle, () => root.removeEntry(target.name).catch(() => {}));
    let access;
    try {
      access = await handle.createSyncAccessHandle();
    } catch (error) {
      await root.removeEntry(target.name).catch(() => {});
      throw error;
    }
    access.truncate(0);
    let at = 0;
    let open = true;
    const close = () => {
      if (open) access.close();
      open = false;
    };
    return {
      write(bytes) {
        const written = access.write(bytes, { at });
        if (written !== bytes.length) {
          throw new DOMException(`wrote ${written} of ${bytes.length} bytes`, 'QuotaExceededError');
        }
        at += written;
      },
      finish() {
        access.flush();
        close();
      },
      async drop() {
        close();
        await root.removeEntry(target.name).catch(() => {});
      },
    };
  }
  const parts = [];
  return {
    write: (bytes) => parts.push(bytes.slice()),
    finish: () => new Blob(parts),
    drop: () => parts.splice(0),
  };
}

// Reads the file in blocks of READ_SIZE into two buffers used in turn, so
// that the next block is read while this one is transformed and written.
// Where the browser's file stream is a byte stream the buffers are filled
// in place; a fresh buffer a chunk would leave the collector hundreds of
// megabytes behind on a large file, and small writes are slow in some
// browsers' private storage.
const READ_SIZE = 1 << 20;

function openSource(file) {
  const stream = file.stream();
  let reader;
  try {
    reader = stream.getReader({ mode: 'byob' });
  } catch {
    // Not a byte stream: its default reader would be filled as fast as the
    // disk reads (WebKit's is), so the file is read by slices instead.
    stream.cancel().catch(() => {});
    let at = 0;
    return {
      reader: null,
      async next() {
        const start = at;
        at = Math.min(at + READ_SIZE, file.size);
        return new Uint8Array(await file.slice(start, at).arrayBuffer());
      },
    };
  }
  const buffers = [new ArrayBuffer(READ_SIZE), new ArrayBuffer(READ_SIZE)];
  let turn = 0;
  let ended = false;
  return {
    reader,
    // The next block, or an empty one at the end of the file.
    async next() {
      const slot = turn;
      turn = 1 - turn;
      let filled = 0;
      while (!ended && filled < READ_SIZE) {
        const { done, value } = await reader.read(new Uint8Array(buffers[slot], filled, READ_SIZE - filled));
        if (value) {
          buffers[slot] = value.buffer;
          filled += value.length;
        }
        ended = done;
      }
      return new Uint8Array(buffers[slot], 0, filled);
    },
  };
}

function describe(error, stage) {
  const name = error?.name ?? 'Error';
  if (name === 'QuotaExceededError') return { reason: 'quota', detail: error.message };
  // A read the browser refused (a worker of a page opened from disk, in
  // some browsers) is not a file gone.
  if (stage === 'read' && (name === 'NotAllowedError' || name === 'SecurityError')) {
    return { reason: 'read-denied', detail: `${name}: ${error.message}` };
  }
  if (stage === 'read' || name === 'NotReadableError' || name === 'NotFoundError') {
    return { reason: 'unreadable', detail: error?.message ?? String(error) };
  }
  if (name === 'NotAllowedError' || name === 'SecurityError') return { reason: 'denied', detail: error.message };
  return { reason: 'write', detail: `${name}: ${error?.message ?? error}` };
}

// A job exists from its first moment, so that a Cancel that arrives while
// the cipher loads or the output opens stops it too. However it is stopped,
// the job itself drops what it opened, and says it is cancelled only once
// that has settled: a picked file's writer aborted, a private file removed.
async function run({ id, file, password, mode, target }) {
  const current = { id, cancelled: false, reader: null, sink: null };
  job = current;
  const head = new Uint8Array(Math.min(HEAD, file.size));
  let key = null;
  let done = 0;
  let stage = 'open';
  let lastReport = 0;
  let finished = false;
  try {
    const zodevir = await load();
    key = zodevir.key(new Uint8Array(password));
    if (current.cancelled) return;
    current.sink = await openSink(target);
    if (current.cancelled) return;
    const source = openSource(file);
    current.reader = source.reader;
    // A read still in flight when a write fails or the job is cancelled
    // ends unheard.
    const readAhead = () => {
      const block = source.next();
      block.catch(() => {});
      return block;
    };
    let ahead = readAhead();
    for (;;) {
      stage = 'read';
      const value = await ahead;
      if (current.cancelled) return;
      if (value.length === 0) break;
      ahead = readAhead();
      zodevir.transform(key, mode, done, value);
      if (done < head.length) head.set(value.subarray(0, head.length - done), done);
      stage = 'write';
      await current.sink.write(value);
      done += value.length;
      const now = performance.now();
      if (now - lastReport >= PROGRESS_EVERY_MS) {
        lastReport = now;
        postMessage({ type: 'progress', id, done, total: file.size });
      }
    }
    if (done !== file.size) throw new DOMException(`read ${done} of ${file.size} bytes`, 'NotReadableError');
    stage = 'finish';
    const blob = await current.sink.finish();
    finished = true;
    postMessage({ type: 'done', id, done, head, blob: blob instanceof Blob ? blob : null });
  } catch (error) {
    if (!current.cancelled) {
      await current.sink?.drop();
      postMessage({ type: 'error', id, ...describe(error, stage) });
    }
  } finally {
    if (current.cancelled && !finished) {
      await current.sink?.drop();
      postMessage({ type: 'cancelled', id });
    }
    key?.wipe();
    if (job === current) job = null;
  }
}

// A Cancel stops only the job it was meant for: one for a job that has
// ended meanwhile is answered, and the answer is dropped by the page.
async function cancel(id) {
  const current = job;
  if (current?.id !== id) {
    if (!current) postMessage({ type: 'cancelled', id });
    return;
  }
  current.cancelled = true;
  await current.reader?.cancel().catch(() => {});
}

self.onmessage = async ({ data }) => {
  if (data.type === 'probe') postMessage({ type: 'probe', method: await probe() });
  else if (data.type === 'start') await run(data);
  else if (data.type === 'cancel') await cancel(data.id);
};
