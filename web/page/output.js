// Where a job's output goes, chosen by what this browser offers, never by its
// name: a file the person picks (the File System Access picker), else a file
// in the origin's private storage that is then offered as a download, else,
// for small files only, memory.
export const MEMORY_LIMIT = 32 * 1024 * 1024;
export const OPFS_PREFIX = 'zodevir-';

// Asks the worker how it can write the private storage: 'sync', 'writable'
// or null.
export function probePrivateStorage(worker) {
  return new Promise((resolve) => {
    const done = (method) => {
      worker.removeEventListener('message', onMessage);
      worker.removeEventListener('error', onError);
      resolve(method);
    };
    const onMessage = ({ data }) => {
      if (data.type === 'probe') done(data.method);
    };
    // A worker that cannot start answers nothing: no private storage then,
    // rather than a page that never gets ready.
    const onError = () => done(null);
    worker.addEventListener('message', onMessage);
    worker.addEventListener('error', onError);
    worker.postMessage({ type: 'probe' });
  });
}

export function hasPicker() {
  return typeof globalThis.showSaveFilePicker === 'function';
}

// The picker, asked from the click itself (it needs the person's gesture).
// Resolves to a handle, to null if the person closed it, or throws if the
// browser refused it (a file:// page in some set-ups, a sandbox).
export async function pickDestination(suggestedName) {
  try {
    return await globalThis.showSaveFilePicker({ suggestedName });
  } catch (error) {
    if (error?.name === 'AbortError') return null;
    throw error;
  }
}

// Each private-storage file is held under a lock of its name (a Web Lock)
// for as long as its tab means to keep it; the browser lets go of a tab's
// locks when the tab ends. Resolves to the function that lets go, or to
// null where the browser has no locks.
export function holdName(name) {
  const locks = globalThis.navigator?.locks;
  if (!locks) return Promise.resolve(null);
  return new Promise((granted, refused) => {
    locks.request(name, () => new Promise((release) => granted(release))).catch(refused);
  }).catch(() => null);
}

// Runs fn with name held, so that no tab's tidying removes it meanwhile.
export async function whileHeld(name, fn) {
  const release = await holdName(name);
  try {
    return await fn();
  } finally {
    release?.();
  }
}

// Removes the private-storage files no live tab holds: those a crashed or
// closed tab left. Another tab's offered result, or its job still being
// written, is held, and stays. Without locks nothing is removed: this page
// could not tell its leftovers from another tab's work.
export async function removeLeftOutputs() {
  const locks = globalThis.navigator?.locks;
  let root;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return;
  }
  if (!locks) return;
  const names = [];
  for await (const name of root.keys()) {
    if (name.startsWith(OPFS_PREFIX)) names.push(name);
  }
  await Promise.all(names.map((name) => locks.request(name, { ifAvailable: true }, (lock) => lock && removeWithRetry(root, name))
    .catch(() => {})));
}

// Removes one of this tab's own files.
export async function removeStored(name) {
  try {
    return await removeWithRetry(await navigator.storage.getDirectory(), name);
  } catch {
    return false;
  }
}

// Whether the private storage has room for size bytes more, as the browser
// estimates it: { fits, free }. A browser that cannot tell is not refused.
export async function roomFor(size) {
  try {
    const { quota, usage } = await navigator.storage.estimate();
    if (!Number.isFinite(quota) || !Number.isFinite(usage)) return { fits: true };
    const free = Math.max(0, quota - usage);
    return { fits: size <= free, free };
  } catch {
    return { fits: true };
  }
}

// A file whose handle a stopped worker held is unlocked a moment later.
export async function removeWithRetry(root, name) {
  for (let attempt = 0; attempt < 20; attempt++) {
    try {
      await root.removeEntry(name);
      return true;
    } catch (error) {
      if (error?.name === 'NotFoundError') return true;
      await new Promise((resolve) => setTimeout(resolve, 100));
    }
  }
  return false;
}

export async function storedFile(name) {
  const root = await navigator.storage.getDirectory();
  return (await root.getFileHandle(name)).getFile();
}

export function newStoredName() {
  const random = crypto.getRandomValues(new Uint32Array(2));
  return `${OPFS_PREFIX}${random[0].toString(36)}${random[1].toString(36)}.part`;
}
