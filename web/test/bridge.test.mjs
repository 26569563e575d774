// The page's bridge to its worker, against a worker that answers as told:
// each job's messages reach that job alone, and a Cancel reaches no other.
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { makeBridge } from '../page/bridge.js';

function fakeWorkers() {
  const made = [];
  const create = () => {
    const worker = new EventTarget();
    worker.posted = [];
    worker.postMessage = (message) => worker.posted.push(message);
    worker.terminate = () => { worker.ended = true; };
    worker.answer = (data) => worker.dispatchEvent(Object.assign(new Event('message'), { data }));
    made.push(worker);
    return worker;
  };
  return { made, create };
}

test('a late message of job 1 is ignored in job 2, and a late Cancel of job 1 stops nothing', async () => {
  const { made, create } = fakeWorkers();
  const bridge = makeBridge(create);
  const first = new AbortController();
  const one = bridge.run({ mode: 'decode' }, { signal: first.signal });
  made[0].answer({ type: 'done', id: 1 });
  assert.equal((await one).type, 'done');
  const seen = [];
  const two = bridge.run({ mode: 'decode' }, { onProgress: (data) => seen.push(data.done) });
  first.abort();
  made[0].answer({ type: 'progress', id: 1, done: 5 });
  made[0].answer({ type: 'cancelled', id: 1 });
  made[0].answer({ type: 'progress', id: 2, done: 7 });
  made[0].answer({ type: 'done', id: 2 });
  assert.deepEqual(await two, { type: 'done', id: 2 });
  assert.deepEqual(seen, [7]);
  assert.deepEqual(made[0].posted.map((m) => `${m.type} ${m.id}`), ['start 1', 'start 2']);
});

test('a Cancel the worker does not answer ends that worker, and the next job gets a new one', async () => {
  const { made, create } = fakeWorkers();
  const bridge = makeBridge(create, { stallMs: 10 });
  const stop = new AbortController();
  const job = bridge.run({}, { signal: stop.signal });
  stop.abort();
  assert.deepEqual(await job, { type: 'cancelled', id: 1, stalled: true });
  assert.equal(made[0].ended, true);
  made[0].answer({ type: 'cancelled', id: 1 });
  const next = bridge.run({});
  made[1].answer({ type: 'done', id: 2 });
  assert.equal((await next).type, 'done');
  assert.deepEqual(made[0].posted.map((m) => `${m.type} ${m.id}`), ['start 1', 'cancel 1']);
});
