// The page's side of the worker. Every job gets an id that each message
// carries both ways; whatever arrives for another job than the running one
// (a late "cancelled", a last progress report) is dropped, and a Cancel
// meant for a job that has ended reaches no other. No DOM here: the page
// passes in how to make a worker.
const STALL_MS = 2000;

export function makeBridge(createWorker, { stallMs = STALL_MS } = {}) {
  let worker = null;
  let lastId = 0;
  let current = null; // { id, onProgress, settle }

  const onMessage = ({ data }) => {
    if (!current || data?.id !== current.id) return;
    if (data.type === 'progress') current.onProgress?.(data);
    else if (data.type === 'done' || data.type === 'error' || data.type === 'cancelled') current.settle(data);
  };
  const begin = () => {
    worker = createWorker();
    worker.addEventListener('message', onMessage);
    return worker;
  };
  begin();

  return {
    get worker() {
      return worker;
    },

    // Runs one job: resolves to its last message (done, error or
    // cancelled). Aborting the signal asks the worker to stop; a worker
    // that does not answer within stallMs (a stalled read) is ended and a
    // new one started, and the job resolves as cancelled and stalled: what
    // it had opened is then the caller's to remove.
    run(message, { transfer = [], signal, onProgress } = {}) {
      if (current) return Promise.reject(new Error('a job is already running'));
      lastId += 1;
      const id = lastId;
      return new Promise((resolve) => {
        let timer = null;
        const settle = (data) => {
          if (current?.id !== id) return;
          current = null;
          clearTimeout(timer);
          signal?.removeEventListener('abort', abort);
          resolve(data);
        };
        const abort = () => {
          worker.postMessage({ type: 'cancel', id });
          timer = setTimeout(() => {
            if (current?.id !== id) return;
            worker.terminate();
            begin();
            settle({ type: 'cancelled', id, stalled: true });
          }, stallMs);
        };
        current = { id, onProgress, settle };
        worker.postMessage({ ...message, type: 'start', id }, transfer);
        if (signal?.aborted) abort();
        else signal?.addEventListener('abort', abort);
      });
    },
  };
}
