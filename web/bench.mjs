// SPDX-License-Identifier: MIT
// Times the page's conversion of Record files in Chromium, headless:
//   node web/bench.mjs FILE.rec...   (RECWAV_BENCH_ROUNDS, default 11)
// For each file: the median time of the converter alone (the WebAssembly call
// that judges the file and writes the whole WAV into memory), and the time
// from choosing the file to its row being shown (reading the file, converting,
// drawing the waveform, making the player and the link).
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
} finally {
  await browser.close();
  server.close();
}
