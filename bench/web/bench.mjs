// The module and the page against the native build, in one run:
//   node bench/web/bench.mjs BUILD_RELEASE BUILD_WEB [ROUNDS]
// 1. the transform on 256 MiB in memory: the native build (transform_bench),
//    the module on bytes in its own memory and on an ordinary Uint8Array;
// 2. the page's streaming decode of files the tool made, at 256 MiB, 1 GiB
//    and 4 GiB, in headless Chromium and Firefox: MB/s from the click to the
//    result, and the browser's peak memory (PSS of all its processes) above
//    its idle figure with the page open.
// Medians of ROUNDS rounds (default 5) for 1; one decode a size for 2.
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';

const [release, web, roundsArg] = process.argv.slice(2);
if (!release || !web) throw new Error('usage: node bench/web/bench.mjs BUILD_RELEASE BUILD_WEB [ROUNDS]');
process.env.ZODEVIR_WEB_BUILD = resolve(web);
process.env.ZODEVIR_TOOL = resolve(release, 'zodevir');
const rounds = Number(roundsArg ?? 5);
const here = new URL('../../web/test/', import.meta.url);
const { makeFile, tool } = await import(new URL('helpers.mjs', here));
const browsers = await import(new URL('browser.mjs', here));
const { load, passwordBytes } = await import(join(process.env.ZODEVIR_WEB_BUILD, 'package/index.js'));

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const GB = 1e9;
const MiB = 2 ** 20;

// 1. In memory.
const size = 256 * MiB;
const native = JSON.parse(execFileSync(join(release, 'bench/transform_bench'),
  ['--benchmark_filter=BM_decode_block/268435456', `--benchmark_repetitions=${rounds}`, '--benchmark_format=json'],
  { encoding: 'utf8' })).benchmarks.filter((b) => b.run_type === 'iteration').map((b) => b.bytes_per_second / GB);
const zodevir = await load();
const key = zodevir.key(passwordBytes('benchmark password'));
const timeTransform = (bytes) => {
  const times = [];
  for (let r = 0; r < rounds + 1; r++) {
    const start = performance.now();
    zodevir.transform(key, 'decode', 0, bytes);
    times.push((bytes.length / GB) / ((performance.now() - start) / 1000));
  }
  return times.slice(1); // the first round also faults the pages in
};
const inModule = timeTransform(zodevir.buffer(size).fill(7));
const copied = timeTransform(new Uint8Array(size).fill(7));
console.log(`SIMD build: ${zodevir.simd}`);
console.log(`| native transform_block, 256 MiB | ${median(native).toFixed(1)} GB/s | 1.00 |`);
console.log(`| module, bytes in its own memory | ${median(inModule).toFixed(1)} GB/s | ${(median(inModule) / median(native)).toFixed(2)} |`);
console.log(`| module, an ordinary Uint8Array | ${median(copied).toFixed(1)} GB/s | ${(median(copied) / median(native)).toFixed(2)} |`);

// 2. The page, streaming.
const dir = mkdtempSync(join(tmpdir(), 'zodevir-bench-'));
try {
  const server = await browsers.serve();
  for (const gib of [0.25, 1, 4]) {
    const bytes = gib * 2 ** 30;
    const source = makeFile(join(dir, 'source'), bytes);
    tool(dir, source, join(dir, 'source.enc'), Buffer.from('tarns'), 'encode');
    rmSync(source);
    // Chromium's picker is answered by a stand-in that returns a file in
    // private storage: a headless browser cannot show the real one.
    for (const [name, picker] of [['chromium', 'none'], ['chromium', 'private storage'], ['firefox', 'none']]) {
      const { launch, openPage, runJob, browserMemory } = browsers;
      const browser = await launch(join(dir, 'downloads'), name);
      const { page } = await openPage(browser, server.url, { picker });
      await new Promise((r) => setTimeout(r, 1000));
      const idle = browserMemory(browser);
      let peak = idle;
      const sampler = setInterval(() => { peak = Math.max(peak, browserMemory(browser)); }, 200);
      const start = performance.now();
      const result = await runJob(page, { file: join(dir, 'source.enc'), mode: 'decode', password: 'tarns' });
      const seconds = (performance.now() - start) / 1000;
      clearInterval(sampler);
      if (result.error) throw new Error(`${name}: ${result.error}`);
      const path = await page.$eval('html', (el) => el.dataset.path);
      console.log(`| ${name} | ${gib >= 1 ? `${gib} GiB` : `${gib * 1024} MiB`} | ${path} | ${(bytes / 1e6 / seconds).toFixed(0)} MB/s | ${((peak - idle) / MiB).toFixed(0)} MiB |`);
      await browser.close();
    }
    rmSync(join(dir, 'source.enc'));
  }
  server.close();
} finally {
  rmSync(dir, { recursive: true, force: true });
}
