// The page: the form, the worker that does the work, and what the person is
// told. WORKER_SOURCE is the bundled worker, put here by the build.
/* global WORKER_SOURCE */
import { passwordBytes, UnrepresentableError } from '../src/codepages.js';
import { describeHead } from './kind.js';
import { fitName, NAME_LIMIT, outputName } from './names.js';
import { formatBytes, makeRate, progressText } from './progress.js';
import { makeBridge } from './bridge.js';
import {
  MEMORY_LIMIT, hasPicker, holdName, probePrivateStorage, removeLeftOutputs, removeStored, storedFile,
} from './output.js';
import { chooseTarget, dropPicked } from './target.js';

const $ = (id) => document.getElementById(id);
const form = $('job');
const fileInput = $('file');
const password = $('password');
const confirm = $('confirm');
const nameInput = $('name');

let bridge = null;
let privateStorage = null; // how the worker writes it: 'sync', 'writable' or null
let chosen = null; // the File to work on
let active = null; // the running job
let offered = null; // the last result offered for saving: { url, stored, release }
let nameEdited = false;

const mode = () => form.elements.mode.value;

function newWorker() {
  const url = URL.createObjectURL(new Blob([WORKER_SOURCE], { type: 'text/javascript' }));
  const worker = new Worker(url);
  URL.revokeObjectURL(url);
  return worker;
}

// Every ending of a submit (refused, nothing picked, done, failed,
// cancelled) counts here, for scripts that drive the page.
function settled() {
  const root = document.documentElement;
  root.dataset.settled = String(Number(root.dataset.settled ?? 0) + 1);
}

function announce(text) {
  $('status').textContent = text;
}

function showError(text) {
  $('error').textContent = text;
}

function describePath() {
  if (hasPicker()) return 'The result is written straight to a file you pick.';
  if (privateStorage) return "The result is written to this browser's private storage, then offered as a download.";
  return `This browser can neither write a file you pick nor its private storage: files up to ${formatBytes(MEMORY_LIMIT)} only.`;
}

// Puts name in the Save-as field, cut to what file systems take, and says
// so beside it when it was cut.
function offerName(name) {
  const fitted = fitName(name);
  nameInput.value = fitted;
  $('name-note').textContent = fitted === name ? ''
    : `Shortened to ${NAME_LIMIT} bytes, the longest name every browser can save.`;
  return fitted;
}

function refresh() {
  const encode = mode() === 'encode';
  $('start').textContent = encode ? 'Encode' : 'Decode';
  $('confirm-field').hidden = !encode;
  if (chosen && !nameEdited) offerName(outputName(chosen.name, mode()));
}

function choose(file) {
  chosen = file;
  nameEdited = false;
  $('file-note').textContent = file ? `${file.name}, ${formatBytes(file.size)}` : 'Or drop a file here.';
  refresh();
}

async function forgetOffered() {
  if (!offered) return;
  const { url, stored, release } = offered;
  offered = null;
  URL.revokeObjectURL(url);
  if (stored) await removeStored(stored);
  release?.();
  $('result').hidden = true;
}

function keyBytes() {
  const text = password.value;
  if (text === '') throw new Error('Type the password first.');
  if (mode() === 'encode' && text !== confirm.value) {
    throw new Error('The two passwords do not match. Nothing was done; type them again.');
  }
  const page = $('codepage').value;
  try {
    return passwordBytes(text, page === 'utf-8' ? 'utf-8' : Number(page));
  } catch (error) {
    if (!(error instanceof UnrepresentableError)) throw error;
    // Named by its place, not shown: the page is read aloud and looked at.
    if (error.character === '\0') {
      throw new Error(`The password's character number ${error.position} is a NUL, which no password of the `
        + 'command-line tool can hold, so the file could never be decoded there. Nothing was done.');
    }
    const where = page === 'utf-8' ? 'UTF-8' : `code page ${page}`;
    throw new Error(`The password's character number ${error.position} cannot be written in ${where}, `
      + 'so zodevir.exe would refuse this password too. Nothing was done.');
  }
}

// A second submit while the first still waits for the picker or for the
// last result's removal is not a second job.
let starting = false;

async function start(event) {
  event.preventDefault();
  if (active || starting) return;
  starting = true;
  try {
    await begin();
  } finally {
    starting = false;
  }
}

async function begin() {
  showError('');
  if (!chosen) {
    showError('Pick or drop a file first.');
    fileInput.focus();
    settled();
    return;
  }
  let bytes;
  try {
    bytes = keyBytes();
  } catch (error) {
    showError(error.message);
    password.focus();
    settled();
    return;
  }
  const wanted = nameInput.value.trim() || outputName(chosen.name, mode());
  const shownName = fitName(wanted) === wanted ? wanted : offerName(wanted);
  let target;
  try {
    target = await chooseTarget(shownName, chosen.size, privateStorage);
  } catch (error) {
    bytes.fill(0);
    showError(error.message);
    settled();
    return;
  }
  if (!target) {
    bytes.fill(0);
    announce('Nothing was saved: no file was picked.');
    settled();
    return;
  }
  await forgetOffered();
  // Held from before the worker makes the file until it is removed, so that
  // another tab's tidying leaves it alone.
  if (target.kind === 'private') target.release = await holdName(target.name);
  password.value = '';
  confirm.value = '';
  const controller = new AbortController();
  active = { target, controller, mode: mode(), file: chosen, rate: makeRate(), quarter: 0, started: performance.now() };
  setWorking(true);
  const verb = active.mode === 'encode' ? 'Encoding' : 'Decoding';
  $('progress-title').textContent = `${verb} ${chosen.name}`;
  announce(`${verb} ${chosen.name}.`);
  const { handle, kind, name, method } = target;
  const job = active;
  const ended = await bridge.run({ file: chosen, password: bytes.buffer, mode: active.mode, target: { kind, handle, name, method } },
    { transfer: [bytes.buffer], signal: controller.signal, onProgress });
  if (ended.type === 'done') await onDone(job, ended);
  else if (ended.type === 'error') await onFailure(job, ended);
  else await onCancelled(job, ended);
}

function setWorking(working) {
  $('progress').hidden = !working;
  $('start').disabled = working;
  if (working) {
    $('bar').value = 0;
    $('stats').textContent = '';
    // Not on Cancel: a second Enter or tap meant for the start would stop
    // the job it started.
    $('progress-title').focus();
  }
}

function onProgress({ done, total }) {
  active.rate.add(done);
  $('bar').value = total > 0 ? done / total : 1;
  $('stats').textContent = progressText(done, total, active.rate.perSecond());
  const quarter = total > 0 ? Math.floor((4 * done) / total) : 0;
  if (quarter > active.quarter && quarter < 4) {
    active.quarter = quarter;
    announce(`${quarter * 25} percent done.`);
  }
}

async function onDone(job, { done, head, blob }) {
  const seconds = (performance.now() - job.started) / 1000;
  const what = job.mode === 'encode' ? 'Encoded' : 'Decoded';
  const save = $('save');
  let summary;
  if (job.target.kind === 'picker') {
    summary = `${what} ${formatBytes(done)} into ${job.target.name} in ${seconds.toFixed(1)} s.`;
    save.hidden = true;
  } else {
    // Typed as plain bytes, so that no browser guesses a kind and adds an
    // ending of its own to the name.
    const file = new Blob([blob ?? (await storedFile(job.target.name))], { type: 'application/octet-stream' });
    const url = URL.createObjectURL(file);
    offered = { url, stored: job.target.kind === 'private' && job.target.name, release: job.target.release };
    save.href = url;
    save.download = job.target.shownName;
    save.textContent = `Save ${job.target.shownName}`;
    save.hidden = false;
    summary = `${what} ${formatBytes(done)} in ${seconds.toFixed(1)} s.`;
  }
  let hint = '';
  if (job.mode === 'decode' && done === 0) {
    hint = 'The file is empty, and so is the result, whatever the password.';
  } else if (job.mode === 'decode') {
    const kind = await describeHead(head);
    hint = kind.known
      ? `The result looks like ${kind.text}, judging by its first bytes. This is a hint, not a check.`
      : `The result looks like no kind of file this page knows. If you expected a document, a picture or text, the password (or, for a file from Windows, the code page) may be wrong. This is a hint, not a check.`;
  }
  // Start comes back only once the result is recorded as offered: a second
  // submit then finds it, and lets it go.
  active = null;
  setWorking(false);
  $('summary').textContent = summary;
  $('hint').textContent = hint;
  $('result').hidden = false;
  announce(`${summary} ${hint}`);
  (save.hidden ? $('result-title') : save).focus();
  settled();
}


const FAILURES = {
  'read-denied': 'The browser did not allow this page to read the file. Nothing was saved.',
  unreadable: 'The file could not be read: it may have been moved, changed or deleted while it was read. Nothing was saved.',
  quota: "The browser's storage for this page is full, so the result did not fit. Nothing was saved; free some space, or use a browser that lets you pick where to save.",
  denied: 'The browser did not allow writing to the file you picked. Nothing was saved.',
  write: 'The result could not be written. Nothing was saved.',
};

// The worker has dropped what it wrote by now; a job whose worker stalled
// and was ended leaves its private file to the page.
async function letGo(job, stalled) {
  const { target } = job;
  if (stalled && target.kind === 'private') await removeStored(target.name);
  target.release?.();
  await dropPicked(target);
}

async function onFailure(job, { reason, detail }) {
  active = null;
  setWorking(false);
  await letGo(job, false);
  showError(`${FAILURES[reason] ?? FAILURES.write} (${detail})`);
  announce('Failed. Nothing was saved.');
  settled();
}

async function onCancelled(job, { stalled }) {
  active = null;
  setWorking(false);
  await letGo(job, stalled);
  announce('Cancelled. Nothing was saved.');
  $('start').focus();
  settled();
}

function cancel() {
  active?.controller.abort();
}

function wire() {
  form.addEventListener('submit', start);
  form.addEventListener('change', (event) => {
    if (event.target.name === 'mode') refresh();
  });
  fileInput.addEventListener('change', () => choose(fileInput.files[0] ?? null));
  nameInput.addEventListener('input', () => {
    nameEdited = true;
  });
  $('show').addEventListener('click', () => {
    const show = password.type === 'password';
    password.type = confirm.type = show ? 'text' : 'password';
    $('show').setAttribute('aria-pressed', String(show));
    $('show').textContent = show ? 'Hide' : 'Show';
  });
  $('cancel').addEventListener('click', cancel);
  const drop = $('drop');
  drop.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    const file = event.dataTransfer?.files?.[0];
    if (file) choose(file);
  });
  window.addEventListener('pagehide', () => {
    if (offered?.stored) removeStored(offered.stored);
  });
}

async function init() {
  wire();
  refresh();
  bridge = makeBridge(newWorker);
  privateStorage = await probePrivateStorage(bridge.worker);
  $('path').textContent = describePath();
  document.documentElement.dataset.path = hasPicker() ? 'picker' : privateStorage ? 'private' : 'memory';
  await removeLeftOutputs();
  document.documentElement.dataset.ready = 'true';
}

init();
