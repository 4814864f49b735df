// SPDX-License-Identifier: MIT
// Times the page's conversion of Record files in Chromium, headless:
//   node web/bench.mjs FILE.rec...   (RECWAV_BENCH_ROUNDS, default 11)
// For each file: the median time of the page's worker converting it alone
// (reading the file, judging it, writing the WAV a part at a time into one
// Blob, and its waveform's outline), and the time from choosing the file to
// its row saying "Converted" (the player loaded, the waveform drawn). Then
// the time for the worker to code ten minutes of sound into a Record file,
// and read it back, in each coding.
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

  // The page's worker script, driven by hand: `job` posted, the time until its answer of `type`.
  const timeJob = (job, type) => page.evaluate(async ({ job: message, type: awaited }) => {
    const worker = new Worker('recwav-worker.js');
    await new Promise((resolve) => { worker.onmessage = ({ data }) => data.type === 'ready' && resolve(); });
    if (message.fetch !== undefined) {
      message.files = [{ file: await (await fetch(`/bench/${message.fetch}`)).blob(), path: 'bench.rec' }];
    }
    if (message.tone) {
      const samples = new Int16Array(message.tone);
      let seed = 1;
      for (let i = 0; i < samples.length; ++i) {
        seed = (seed * 1103515245 + 12345) >>> 0;
        samples[i] = Math.round(8000 * Math.sin(i * (0.05 + i * 1e-8)) + ((seed >>> 16) % 2001) - 1000);
      }
      message.samples = samples;
    }
    const times = [];
    for (let round = 0; round < message.rounds; ++round) {
      const start = performance.now();
      await new Promise((resolve) => {
        worker.onmessage = ({ data }) => data.type === awaited && resolve();
        worker.postMessage({ ...message, job: round });
      });
      times.push(performance.now() - start);
    }
    worker.terminate();
    times.sort((a, b) => a - b);
    return { median: times[times.length >> 1], best: times[0] };
  }, { job, type });

  for (const [index, file] of files.entries()) {
    const timing = await timeJob({ type: 'convert', fetch: index, rounds }, 'finished');
    const name = path.basename(file);
    const start = Date.now();
    await page.getByLabel('Choose files').setInputFiles(file);
    await page.locator(`#results li.converted[data-name="${name}"]`).waitFor({ timeout: 120000 });
    const wholeRow = Date.now() - start;
    const samples = await page.locator(`#results li[data-name="${name}"] .samples`).innerText();
    console.log(`${name}: ${samples.replace('Samples ', '')} samples: worker median ${timing.median.toFixed(1)} ms ` +
      `(best ${timing.best.toFixed(1)} ms, ${rounds} rounds); file chosen to row converted ${wholeRow} ms`);
  }

  // The other way: ten minutes of a gliding tone with noise, coded in each coding and read back.
  for (const coding of ['alaw', 'adpcm']) {
    const timing = await timeJob({ type: 'encode', coding, tone: 10 * 60 * 8000, rounds: 3 }, 'encoded');
    console.log(`coding ten minutes of sound in ${coding}, and reading it back: ${timing.median.toFixed(0)} ms`);
  }
} finally {
  await browser.close();
  server.close();
}
