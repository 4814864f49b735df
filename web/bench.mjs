// SPDX-License-Identifier: MIT
// Times the page's conversion of Record files in Chromium, headless:
//   node web/bench.mjs FILE.rec...   (RECWAV_BENCH_ROUNDS, default 11)
// For each file: the median time of the converter alone (the WebAssembly call
// that judges the file and writes the whole WAV into memory), and the time
// from choosing the file to its row being shown (reading the file, converting,
// drawing the waveform, making the player and the link). Then the time to code
// ten minutes of sound into a Record file, in each coding.
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { launchBrowser, openPage, serveSite } from './test/harness.mjs';

const files = process.argv.slice(2);
if (files.length === 0) {
  console.error('usage: node web/bench.mjs FILE.rec...');
  process.exit(2);
}
const rounds = Number(process.env.RECWAV_BENCH_ROUNDS || 11);

const { server, origin } = await serveSite();
const browser = await launchBrowser();
try {
  const { page, context } = await openPage(browser, origin);
  // The recordings are handed to the page from this process, at the page's own origin.
  await context.unrouteAll();
  await context.route(`${origin}/bench/*`, (route) =>
    route.fulfill({ body: readFileSync(files[Number(route.request().url().split('/').pop())]) }));

  for (const [index, file] of files.entries()) {
    const timing = await page.evaluate(async ({ index: at, rounds: count }) => {
      const bytes = new Uint8Array(await (await fetch(`/bench/${at}`)).arrayBuffer());
      const core = await import('./core.js');
      const times = [];
      let result;
      for (let round = 0; round < count; ++round) {
        const start = performance.now();
        result = core.convertRecord(bytes);
        times.push(performance.now() - start);
      }
      times.sort((a, b) => a - b);
      return { median: times[times.length >> 1], best: times[0], coding: result.coding, decoded: result.decoded };
    }, { index, rounds });

    const name = path.basename(file);
    const start = Date.now();
    await page.getByLabel('Choose files').setInputFiles(file);
    await page.locator(`#results li[data-name="${name}"] canvas`).waitFor();
    const wholeRow = Date.now() - start;

    const minutes = timing.decoded / 8000 / 60;
    console.log(`${name}: ${timing.coding}, ${timing.decoded} samples (${minutes.toFixed(1)} min): ` +
      `converter median ${timing.median.toFixed(1)} ms (best ${timing.best.toFixed(1)} ms, ${rounds} rounds); ` +
      `file chosen to row shown ${wholeRow} ms`);
  }

  // The other way: ten minutes of a gliding tone with noise, coded in each coding.
  for (const coding of ['alaw', 'adpcm']) {
    const milliseconds = await page.evaluate(async (chosen) => {
      const core = await import('./core.js');
      const samples = new Int16Array(10 * 60 * 8000);
      let seed = 1;
      for (let i = 0; i < samples.length; ++i) {
        seed = (seed * 1103515245 + 12345) >>> 0;
        samples[i] = Math.round(8000 * Math.sin(i * (0.05 + i * 1e-8)) + ((seed >>> 16) % 2001) - 1000);
      }
      const start = performance.now();
      core.encodeRecord(samples, chosen);
      return performance.now() - start;
    }, coding);
    console.log(`encoding ten minutes of sound in ${coding}: ${milliseconds.toFixed(0)} ms`);
  }
} finally {
  await browser.close();
  server.close();
}
