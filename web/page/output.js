// Where a job's output goes, chosen by what this browser offers, never by its
// name: a file the person picks (the File System Access picker), else a file
// in the origin's private storage that is then offered as a download, else,
// for small files only, memory.
export const MEMORY_LIMIT = 32 * 1024 * 1024;
export const OPFS_PREFIX = 'zodevir-';

// Asks the worker whether it can write the private storage synchronously.
export function probePrivateStorage(worker) {
  return new Promise((resolve) => {
    const done = (ok) => {
      worker.removeEventListener('message', onMessage);
      worker.removeEventListener('error', onError);
      resolve(ok);
    };
    const onMessage = ({ data }) => {
      if (data.type === 'probe') done(data.ok);
    };
    // A worker that cannot start answers nothing: no private storage then,
    // rather than a page that never gets ready.
    const onError = () => done(false);
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

// Removes private-storage files this page left: a finished job's once it is
// no longer offered, a crashed or closed tab's at the next start.
export async function removeStoredOutputs() {
  let root;
  try {
    root = await navigator.storage.getDirectory();
  } catch {
    return;
  }
  const names = [];
  for await (const name of root.keys()) {
    if (name.startsWith(OPFS_PREFIX)) names.push(name);
  }
  await Promise.all(names.map((name) => removeWithRetry(root, name)));
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
