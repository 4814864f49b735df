// SPDX-License-Identifier: MIT
// The page in a real browser: Record files in, recwav's own WAV bytes out.
//   node --test web/test/page.test.mjs   (RECWAV: the recwav program to compare with,
//   default build-release/recwav; RECWAV_SITE: the built page, default build-web/site;
//   RECWAV_UPDATE_SCREENSHOT=1: the screenshot into docs/ for the README, not build-web/)
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { gzipSync } from 'node:zlib';
import { unzipSync } from 'fflate';
import { fetchInPage, launchBrowser, openPage, repoDir, serveSite, siteDir } from './harness.mjs';

const recwav = path.resolve(process.env.RECWAV || path.join(repoDir, 'build-release', 'recwav'));
const scratch = mkdtempSync(path.join(tmpdir(), 'recwav-web-'));

// What the command line writes for a file.
function cliWav(input) {
  const output = path.join(scratch, `${path.basename(input)}.wav`);
  execFileSync(recwav, [input, output]);
  return readFileSync(output);
}

const example = (name) => path.join(repoDir, 'examples', name);
const alawBytes = readFileSync(example('tune-alaw.rec'));

// The A-law example with its sound header's codec word spoilt.
function withBadCodec(record) {
  const bytes = Buffer.from(record);
  const table = bytes.readUInt32LE(16);
  for (let entry = 0; entry < bytes[table] >> 1; ++entry) {
    const at = table + 1 + 8 * entry;
    if (bytes.readUInt32LE(at) === 0x10000052) bytes.writeUInt32LE(0x12345678, bytes.readUInt32LE(at + 4) + 4);
  }
  assert.notDeepEqual(bytes, record);
  return bytes;
}

// One second and a half of a 440 Hz tone in 44.1 kHz stereo 16-bit WAV: the
// browser must mix it down and resample it.
function toneWav() {
  const rate = 44100;
  const frames = rate * 1.5;
  const bytes = Buffer.alloc(44 + 4 * frames);
  bytes.write('RIFF', 0);
  bytes.writeUInt32LE(36 + 4 * frames, 4);
  bytes.write('WAVEfmt ', 8);
  bytes.writeUInt32LE(16, 16);
  bytes.writeUInt16LE(1, 20);
  bytes.writeUInt16LE(2, 22);
  bytes.writeUInt32LE(rate, 24);
  bytes.writeUInt32LE(4 * rate, 28);
  bytes.writeUInt16LE(4, 32);
  bytes.writeUInt16LE(16, 34);
  bytes.write('data', 36);
  bytes.writeUInt32LE(4 * frames, 40);
  for (let i = 0; i < frames; ++i) {
    const value = Math.round(12000 * Math.sin((2 * Math.PI * 440 * i) / rate));
    bytes.writeInt16LE(value, 44 + 4 * i);
    bytes.writeInt16LE(value, 46 + 4 * i);
  }
  return bytes;
}

let server;
let browser;
let session;

before(async () => {
  const served = await serveSite();
  server = served.server;
  browser = await launchBrowser();
  session = await openPage(browser, served.origin);
});

after(async () => {
  await browser?.close();
  server?.close();
});

const row = (name) => session.page.locator(`#results li[data-name="${name}"]`);

async function expectConverted(name, coding, expectedWav) {
  const { page } = session;
  const samples = (expectedWav.length - 44) / 2;
  const facts = row(name).locator('.facts');
  assert.equal(await facts.locator('.coding').innerText(), `Coding ${coding}`);
  assert.equal(await facts.locator('.declared').innerText(), `Declared ${expectedWav.readUInt32LE(40) / 2}`);
  assert.equal(await facts.locator('.decoded').innerText(), `Decoded ${samples}`);
  const link = row(name).getByRole('link', { name: /^Download / });
  assert.equal(await link.getAttribute('download'), `${name.replace(/\.rec$/, '')}.wav`);
  assert.deepEqual(await fetchInPage(page, await link.getAttribute('href')), expectedWav);
}

test('Record files convert to the bytes recwav writes; others are refused or skipped', async () => {
  const { page } = session;
  await page.getByLabel('Choose files').setInputFiles([
    { name: 'tune-adpcm.rec', mimeType: 'application/octet-stream', buffer: readFileSync(example('tune-adpcm.rec')) },
    // Judged by content: a name without an extension is still a Record file.
    { name: 'TUNE', mimeType: 'application/octet-stream', buffer: alawBytes },
    { name: 'bad-codec.rec', mimeType: 'application/octet-stream', buffer: withBadCodec(alawBytes) },
    { name: 'notes.txt', mimeType: 'text/plain', buffer: Buffer.from('Shopping: milk, eggs, batteries\n') },
  ]);
  await page.locator('#status', { hasText: '2 converted, 1 refused, 1 skipped.' }).waitFor();

  const alawWav = cliWav(example('tune-alaw.rec'));
  await expectConverted('tune-adpcm.rec', 'ADPCM', cliWav(example('tune-adpcm.rec')));
  await expectConverted('TUNE', 'A-law', alawWav);
  assert.equal(await row('bad-codec.rec').locator('.reason').innerText(), 'Refused: input file is not correct format');
  assert.equal(await row('notes.txt').count(), 0);
  assert.equal(await page.locator('#skipped-list li').allTextContents().then((names) => names.join()), 'notes.txt');

  // The player holds the whole recording.
  const duration = await row('TUNE').getByLabel('Play TUNE').evaluate(async (audio) => {
    await audio.play();
    return audio.duration;
  });
  assert.ok(Math.abs(duration - (alawWav.length - 44) / 2 / 8000) < 0.01, `duration ${duration}`);

  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('button', { name: /Download all/ }).click()]);
  const zip = unzipSync(readFileSync(await download.path()));
  assert.deepEqual(Object.keys(zip).sort(), ['TUNE.wav', 'tune-adpcm.wav']);
  assert.deepEqual(Buffer.from(zip['TUNE.wav']), alawWav);
});

test('a file dropped on the page converts like a chosen one', async () => {
  const { page } = session;
  const dropped = await page.evaluateHandle((bytes) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([new Uint8Array(bytes)], 'dropped.rec'));
    return transfer;
  }, [...readFileSync(example('tune-adpcm.rec'))]);
  await page.locator('#drop-zone').dispatchEvent('drop', { dataTransfer: dropped });
  await expectConverted('dropped.rec', 'ADPCM', cliWav(example('tune-adpcm.rec')));
});

test('a sound becomes a Record file that the page and recwav read back', async () => {
  const { page } = session;
  for (const coding of ['alaw', 'adpcm']) {
    await page.getByRole('radio', { name: coding === 'alaw' ? 'A-law' : 'ADPCM' }).check();
    await page.getByLabel('Choose sounds').setInputFiles({ name: `tone-${coding}.wav`, mimeType: 'audio/wav', buffer: toneWav() });
    const made = page.locator(`#records li[data-name="tone-${coding}.wav"]`);
    const link = made.getByRole('link', { name: `Download tone-${coding}.rec` });
    const record = await fetchInPage(page, await link.getAttribute('href'));

    // Fed back as a file, it converts like any recording, to what recwav makes of it.
    const name = `again-${coding}.rec`;
    await page.getByLabel('Choose files').setInputFiles({ name, mimeType: 'application/octet-stream', buffer: record });
    await row(name).locator('.facts').waitFor();
    const recordPath = path.join(scratch, name);
    writeFileSync(recordPath, record);
    const wav = cliWav(recordPath);
    await expectConverted(name, coding === 'alaw' ? 'A-law' : 'ADPCM', wav);

    // 1.5 s of the tone at 8000 Hz: mixed down, resampled, at its level and pitch.
    const samples = new Int16Array(wav.buffer, wav.byteOffset + 44, (wav.length - 44) / 2);
    assert.equal(samples.length, 12000);
    const middle = samples.subarray(1000, 11000);
    const rms = Math.sqrt(middle.reduce((sum, value) => sum + value * value, 0) / middle.length);
    assert.ok(Math.abs(rms - 12000 / Math.SQRT2) < 600, `level ${rms}`);
    let crossings = 0;
    for (let i = 1; i < middle.length; ++i) crossings += (middle[i - 1] < 0) !== (middle[i] < 0) ? 1 : 0;
    assert.ok(Math.abs(crossings - 2 * 440 * 1.25) <= 4, `${crossings} zero crossings`);
  }

  // Both ways at once; the README's copy is replaced only when asked.
  const screenshot = process.env.RECWAV_UPDATE_SCREENSHOT === '1'
    ? path.join(repoDir, 'docs', 'web-screenshot.png') : path.join(repoDir, 'build-web', 'screenshot.png');
  mkdirSync(path.dirname(screenshot), { recursive: true });
  await page.setViewportSize({ width: 900, height: 900 });
  await page.screenshot({ path: screenshot, fullPage: true });

  // Clearing the converted files leaves the Record files made working.
  const link = page.locator('#records li[data-name="tone-alaw.wav"]').getByRole('link', { name: 'Download tone-alaw.rec' });
  const record = await fetchInPage(page, await link.getAttribute('href'));
  await page.getByRole('button', { name: 'Clear the list' }).click();
  assert.equal(await page.locator('#results li').count(), 0);
  assert.deepEqual(await fetchInPage(page, await link.getAttribute('href')), record);
});

test('the page\'s files total under 150 KB gzipped', () => {
  const total = readdirSync(siteDir).reduce((sum, file) => sum + gzipSync(readFileSync(path.join(siteDir, file)), { level: 9 }).length, 0);
  assert.ok(total < 150 * 1024, `${total} bytes`);
});

test('readable at phone width: nothing wider than the screen', async () => {
  const { page } = session;
  await page.setViewportSize({ width: 360, height: 740 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth));
});

test('no request left the page\'s origin, and the page reported no error', () => {
  assert.deepEqual(session.foreign, []);
  assert.deepEqual(session.errors, []);
});
