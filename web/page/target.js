// Where a job's result goes: the file the person picks, else this browser's
// private storage (if the result fits there), else memory for small files;
// and what is undone when a job that wrote a picked file fails.
import {
  MEMORY_LIMIT, hasPicker, newStoredName, pickDestination, roomFor,
} from './output.js';
import { formatBytes } from './progress.js';

// Resolves to the target, or to null when the person closed the picker;
// throws, with the text to show, where the result has nowhere to go.
export async function chooseTarget(name, size, privateStorage) {
  if (hasPicker()) {
    try {
      const handle = await pickDestination(name);
      if (!handle) return null;
      const wasEmpty = (await handle.getFile()).size === 0;
      return { kind: 'picker', handle, wasEmpty, name: handle.name };
    } catch {
      // The browser refused the picker here; fall through to what remains.
    }
  }
  if (privateStorage) {
    // Said before a byte is read, rather than when the storage runs out.
    const room = await roomFor(size);
    if (!room.fits) {
      throw new Error(`The result needs ${formatBytes(size)}, and this browser's storage for this page has `
        + `${formatBytes(room.free)} free. Nothing was done. Free some space on this device, or use a browser `
        + 'that lets you pick where to save (a current Chrome or Edge).');
    }
    return { kind: 'private', name: newStoredName(), method: privateStorage, shownName: name };
  }
  if (size <= MEMORY_LIMIT) return { kind: 'memory', shownName: name };
  // In bytes where the rounded sizes would read the same.
  const exact = formatBytes(size) === formatBytes(MEMORY_LIMIT);
  const shown = (count) => (exact ? `${count.toLocaleString('en-US')} bytes` : formatBytes(count));
  throw new Error(`This browser offers no way to stream a file to disk from this page, and ${shown(size)} `
    + `is more than the ${shown(MEMORY_LIMIT)} it may hold in memory. Open the page in a current `
    + `Chrome, Edge, Firefox or Safari${window.location.protocol === 'file:' ? ', or from a web address rather than from disk' : ''}.`);
}

// A picked file that was empty when picked is removed again.
export async function dropPicked(target) {
  if (target.kind === 'picker' && target.wasEmpty) await target.handle.remove?.().catch(() => {});
}
