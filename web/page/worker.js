// The page's worker: reads the picked file as a stream, transforms it with
// the cipher and writes it to the chosen destination as it goes, so no more
// than a chunk or two is in memory whatever the file's size.
import { load } from '../src/index.js';
import { OPFS_PREFIX } from './output.js';

const HEAD = 4100; // enough first bytes for the file-kind hint
const PROGRESS_EVERY_MS = 100;

let job = null;

async function probe() {
  try {
    const root = await navigator.storage.getDirectory();
    const name = `${OPFS_PREFIX}probe-${Date.now()}.part`;
    const handle = await root.getFileHandle(name, { create: true });
    const access = await handle.createSyncAccessHandle();
    access.close();
    await root.removeEntry(name);
    return true;
  } catch {
    return false;
  }
}

// Each sink writes at the running position, and can be finished or dropped.
async function openSink(target) {
  if (target.kind === 'picker') {
    const writable = await target.handle.createWritable({ keepExistingData: false });
    return {
      write: (bytes) => writable.write(bytes),
      finish: () => writable.close(),
      drop: () => writable.abort().catch(() => {}),
    };
  }
  if (target.kind === 'private') {
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle(target.name, { create: true });
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
    reader = stream.getReader();
    return { reader, next: async () => (await reader.read()).value ?? new Uint8Array(0) };
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
async function run({ file, password, mode, target }) {
  const current = { cancelled: false, reader: null, sink: null };
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
        postMessage({ type: 'progress', done, total: file.size });
      }
    }
    if (done !== file.size) throw new DOMException(`read ${done} of ${file.size} bytes`, 'NotReadableError');
    stage = 'finish';
    const blob = await current.sink.finish();
    finished = true;
    postMessage({ type: 'done', done, head, blob: blob instanceof Blob ? blob : null });
  } catch (error) {
    if (!current.cancelled) {
      await current.sink?.drop();
      postMessage({ type: 'error', ...describe(error, stage) });
    }
  } finally {
    if (current.cancelled && !finished) {
      await current.sink?.drop();
      postMessage({ type: 'cancelled' });
    }
    key?.wipe();
    if (job === current) job = null;
  }
}

async function cancel() {
  const current = job;
  if (!current) {
    postMessage({ type: 'cancelled' });
    return;
  }
  current.cancelled = true;
  await current.reader?.cancel().catch(() => {});
}

self.onmessage = async ({ data }) => {
  if (data.type === 'probe') postMessage({ type: 'probe', ok: await probe() });
  else if (data.type === 'start') await run(data);
  else if (data.type === 'cancel') await cancel();
};
