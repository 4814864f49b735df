// SPDX-License-Identifier: MIT
// Times the page coding sounds into Record files in Chromium, headless, as a
// user does it: the coding chosen, the file chosen, until its row offers the
// Record file; the median of RECWAV_BENCH_ROUNDS (default 3) rounds.
//   node web/bench-encode.mjs CODING FILE...   (CODING: alaw, adpcm or adpcm-best)
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { launchBrowser, openPage, serveSite } from './test/harness.mjs';

const [coding, ...files] = process.argv.slice(2);
const radios = { alaw: 'A-law', adpcm: 'ADPCM', 'adpcm-best': 'ADPCM, best (slower)' };
if (!radios[coding] || files.length === 0) {
  console.error('usage: node web/bench-encode.mjs alaw|adpcm|adpcm-best FILE...');
  process.exit(2);
}
const rounds = Number(process.env.RECWAV_BENCH_ROUNDS || 3);

const { server, origin } = await serveSite();
const browser = await launchBrowser();
try {
  const { page } = await openPage(browser, origin);
  const workers = await page.evaluate(() => Math.max(1, Math.min(navigator.hardwareConcurrency || 1, 4)));
  await page.getByRole('radio', { name: radios[coding], exact: true }).check();
  for (const file of files) {
    const name = path.basename(file);
    const buffer = readFileSync(file);
    const times = [];
    for (let round = 0; round < rounds; ++round) {
      // Timed in the page, from the file's arrival to the Record file's link:
      // not the driver's copy of the file into the browser, which a user
      // choosing it from the disk does not wait for.
      await page.evaluate((row) => {
        window.benchTimes = {};
        document.getElementById('sound-files').addEventListener('change', () => {
          window.benchTimes.chosen = performance.now();
        }, { once: true, capture: true });
        const watch = new MutationObserver(() => {
          if (document.querySelector(`#records li[data-name="${row}"] a[download]`)) {
            window.benchTimes.offered = performance.now();
            watch.disconnect();
          }
        });
        watch.observe(document.body, { childList: true, subtree: true, attributes: true });
      }, name);
      await page.getByLabel('Choose sounds').setInputFiles([{ name, mimeType: 'audio/wav', buffer }]);
      await page.locator(`#records li[data-name="${name}"]`).getByRole('link', { name: /^Download / })
        .waitFor({ timeout: 600000 });
      const { chosen, offered } = await page.evaluate(() => window.benchTimes);
      if (!(offered > chosen)) throw new Error(`the page's times were not taken: ${chosen}, ${offered}`);
      times.push((offered - chosen) / 1000);
      await page.getByRole('button', { name: 'Clear the Record files made' }).click();
    }
    times.sort((a, b) => a - b);
    console.log(`${name} ${coding}: ${times[Math.floor(times.length / 2)].toFixed(2)} s (median of ${rounds}; ` +
      `${times.map((t) => t.toFixed(2)).join(', ')}), ${workers} workers`);
  }
} finally {
  await browser.close();
  server.close();
}
