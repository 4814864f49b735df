// SPDX-License-Identifier: MIT
// The page in a real browser: Record files in, recwav's own WAV bytes out.
//   node --test web/test/page.test.mjs   (RECWAV: the recwav program to compare with,
//   default build-release/recwav; RECWAV_SITE: the built page, default build-web/site;
//   RECWAV_UPDATE_SCREENSHOT=1: the screenshot into docs/ for the README, not build-web/)
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import { mkdirSync, mkdtempSync, readdirSync, readFileSync, rmSync, utimesSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { gzipSync } from 'node:zlib';
import { unzipSync, zipSync } from 'fflate';
import { fetchInPage, launchBrowser, openPage, repoDir, serveSite, singlePage, siteDir } from './harness.mjs';

const recwav = path.resolve(process.env.RECWAV || path.join(repoDir, 'build-release', 'recwav'));
const wavrec = path.resolve(process.env.WAVREC || path.join(repoDir, 'build-release', 'wavrec'));
const recscan = path.resolve(process.env.RECSCAN || path.join(repoDir, 'build-release', 'recscan'));
const scratch = mkdtempSync(path.join(tmpdir(), 'recwav-web-'));

// What the command line writes for a file.
function cliWav(input) {
  const output = path.join(scratch, `${path.basename(input)}.wav`);
  execFileSync(recwav, [input, output]);
  return readFileSync(output);
}

// What wavrec makes of a sound in each of the page's codings.
function cliRecord(input, coding) {
  const output = path.join(scratch, `${path.basename(input)}.${coding}.rec`);
  const options = { alaw: [], adpcm: ['-c', 'adpcm'], 'adpcm-best': ['-c', 'adpcm', '--best'] }[coding];
  execFileSync(wavrec, [...options, '--force', input, output]);
  return readFileSync(output);
}

// The WAV recscan rescues from a file.
function rescuedWav(name, bytes) {
  const tree = mkdtempSync(path.join(scratch, 'rescue-'));
  mkdirSync(path.join(tree, 'in'));
  writeFileSync(path.join(tree, 'in', name), bytes);
  execFileSync(recscan, [path.join(tree, 'in'), path.join(tree, 'out')], { stdio: 'ignore' });
  return readFileSync(path.join(tree, 'out', `${name}.wav`));
}

const example = (name) => path.join(repoDir, 'examples', name);
const alawBytes = readFileSync(example('tune-alaw.rec'));

// Where the A-law example's sound header lies: its codes follow it to the end.
function soundHeaderAt(record) {
  const table = record.readUInt32LE(16);
  for (let entry = 0; entry < record[table] >> 1; ++entry) {
    const at = table + 1 + 8 * entry;
    if (record.readUInt32LE(at) === 0x10000052) return record.readUInt32LE(at + 4);
  }
  throw new Error('no sound stream');
}

// The A-law example with its sound header's codec word spoilt.
function withBadCodec(record) {
  const bytes = Buffer.from(record);
  bytes.writeUInt32LE(0x12345678, soundHeaderAt(bytes) + 4);
  return bytes;
}

// The A-law example's headers declaring `declared` samples, then `codes`.
function alawRecording(codes, declared) {
  const at = soundHeaderAt(alawBytes);
  const head = Buffer.from(alawBytes.subarray(0, at + 20));
  head.writeUInt32LE(declared, at);
  return Buffer.concat([head, codes]);
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

// A WAV file of integer PCM: `frames` frames of `channels`, each sample of
// `bits` from sample(frame, channel), full scale being ±1.
function pcmWav({ rate = 8000, channels = 1, bits = 16, frames = 13600, sample }) {
  const width = bits / 8;
  const data = Buffer.alloc(frames * channels * width);
  const full = 2 ** (bits - 1);
  for (let frame = 0, at = 0; frame < frames; ++frame) {
    for (let channel = 0; channel < channels; ++channel, at += width) {
      const value = Math.max(-full, Math.min(full - 1, Math.round(sample(frame, channel) * full)));
      if (bits === 8) data[at] = value + 128;
      else data.writeIntLE(value, at, width);
    }
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20);
  header.writeUInt16LE(channels, 22);
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * channels * width, 28);
  header.writeUInt16LE(channels * width, 32);
  header.writeUInt16LE(bits, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  return Buffer.concat([header, data]);
}

// A sine sweeping from `from` to `to` Hz over the sound, as sox's synth makes them.
const sweep = (from, to, level, frames = 13600) => (frame) => {
  const t = frame / 8000;
  const length = frames / 8000;
  return level * Math.sin(2 * Math.PI * (from * t + ((to - from) * t * t) / (2 * length)));
};

// Seeded noise, the same every run.
function noise(level, seed) {
  let state = seed;
  return () => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return level * (state / 2 ** 31 - 1);
  };
}

// A Series 3 sound: its 32-byte header, then A-law codes; the header's
// numbers are big-endian.
function series3Sound(codes, silence = 0, plays = 0) {
  const header = Buffer.alloc(32);
  header.write('ALawSoundFile**', 0, 'latin1');
  header.writeUInt16BE(0x0f00, 16);
  header.writeUInt32BE(codes.length, 18);
  header.writeUInt16BE(silence, 22);
  header.writeUInt16BE(plays, 24);
  return Buffer.concat([header, codes]);
}

let server;
let browser;
let session;

before(async () => {
  const served = await serveSite();
  server = served.server;
  browser = await launchBrowser();
  session = await openPage(browser, served.origin, {}, countSpans);
});

// Counts, worker by worker, the spans of a sound the page hands out.
function countSpans() {
  window.spansCoded = new Map();
  const post = Worker.prototype.postMessage;
  Worker.prototype.postMessage = function postCounted(message, ...rest) {
    if (message?.type === 'codeSpan') window.spansCoded.set(this, (window.spansCoded.get(this) ?? 0) + 1);
    return post.call(this, message, ...rest);
  };
}

after(async () => {
  await browser?.close();
  server?.close();
  rmSync(scratch, { recursive: true, force: true });
});

// Drops files ({ name: bytes }) on the page's drop zone, as a user drags them there.
async function dropOnPage(page, files) {
  const dropped = await page.evaluateHandle((entries) => {
    const transfer = new DataTransfer();
    for (const [name, bytes] of entries) transfer.items.add(new File([new Uint8Array(bytes)], name));
    return transfer;
  }, Object.entries(files).map(([name, bytes]) => [name, [...bytes]]));
  await page.locator('#drop-zone').dispatchEvent('drop', { dataTransfer: dropped });
}

const row = (name, page = session.page) => page.locator(`#results li[data-name="${name}"]`);

// A row that says "Converted" offers recwav's very bytes, in one Blob that its
// player and its link share.
async function expectConverted(name, coding, expectedWav, page = session.page) {
  const converted = row(name, page);
  await page.locator(`#results li[data-name="${name}"]:not(.converting)`).waitFor();
  assert.equal(await converted.locator('.state').innerText(), 'Converted');
  const facts = converted.locator('.facts');
  assert.equal(await facts.locator('.coding').innerText(), `Coding ${coding}`);
  assert.equal(await facts.locator('.samples').innerText(),
    `Samples ${new Intl.NumberFormat('en').format((expectedWav.length - 44) / 2)}`);
  const link = converted.getByRole('link', { name: /^Download / });
  assert.equal(await link.getAttribute('download'), `${name.split('/').pop().replace(/\.rec$/, '')}.wav`);
  const href = await link.getAttribute('href');
  assert.equal(await (await playerOf(converted, name)).getAttribute('src'), href);
  assert.deepEqual(await fetchInPage(page, href), expectedWav);
}

async function clearList(page) {
  const clear = page.getByRole('button', { name: 'Clear the list' });
  if (await clear.isEnabled()) await clear.click();
}

// A row's player, made by its Play button.
function playerOf(converted, title) {
  const player = converted.getByLabel(`Player of ${title}`);
  return converted.getByRole('button', { name: `Play ${title}` }).click().then(() => player);
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
  await page.locator('#status', { hasText: '2 converted, 1 not converted, 1 skipped.' }).waitFor();

  const alawWav = cliWav(example('tune-alaw.rec'));
  await expectConverted('tune-adpcm.rec', 'ADPCM', cliWav(example('tune-adpcm.rec')));
  await expectConverted('TUNE', 'A-law', alawWav);
  assert.equal(await row('TUNE').locator('.warning').count(), 0);
  assert.equal(await row('bad-codec.rec').locator('.state').innerText(), 'Refused: input file is not correct format');
  assert.equal(await row('notes.txt').count(), 0);
  assert.equal(await page.locator('#skipped-list li').allTextContents().then((names) => names.join()),
    'notes.txt: text, not a sound');
  // The picker still shows what was chosen.
  assert.equal(await page.getByLabel('Choose files').evaluate((input) => input.files.length), 4);

  // The player holds the whole recording.
  const duration = await row('TUNE').getByLabel('Player of TUNE').evaluate(async (audio) => {
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
  await dropOnPage(page, { 'dropped.rec': readFileSync(example('tune-adpcm.rec')) });
  await expectConverted('dropped.rec', 'ADPCM', cliWav(example('tune-adpcm.rec')));
});

test('a sound becomes a Record file that the page and recwav read back', async () => {
  const { page } = session;
  const radios = { alaw: 'A-law', adpcm: 'ADPCM', 'adpcm-best': 'ADPCM, best (slower)' };
  for (const coding of Object.keys(radios)) {
    await page.getByRole('radio', { name: radios[coding], exact: true }).check();
    await page.getByLabel('Choose sounds').setInputFiles({ name: `tone-${coding}.wav`, mimeType: 'audio/wav', buffer: toneWav() });
    const made = page.locator(`#records li[data-name="tone-${coding}.wav"]`);
    const link = made.getByRole('link', { name: `Download tone-${coding}.rec` });
    const record = await fetchInPage(page, await link.getAttribute('href'));

    // Fed back as a file, it converts like any recording, to what recwav makes of it.
    const name = `again-${coding}.rec`;
    await page.getByLabel('Choose files').setInputFiles({ name, mimeType: 'application/octet-stream', buffer: record });
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

  // Each batch is counted on its own.
  assert.equal(await page.locator('#encode-status').innerText(), '1 sound: 1 made into a Record file.');

  // Clearing the converted files leaves the Record files made working; their
  // own Clear lets them go.
  const link = page.locator('#records li[data-name="tone-alaw.wav"]').getByRole('link', { name: 'Download tone-alaw.rec' });
  const href = await link.getAttribute('href');
  const record = await fetchInPage(page, href);
  await page.getByRole('button', { name: 'Clear the list' }).click();
  assert.equal(await page.locator('#results li').count(), 0);
  assert.deepEqual(await fetchInPage(page, href), record);
  await page.getByRole('button', { name: 'Clear the Record files made' }).click();
  assert.equal(await page.locator('#records li').count(), 0);
  const errorsBefore = session.errors.length;
  assert.equal(await page.evaluate((url) => fetch(url).then(() => 'kept', () => 'let go'), href), 'let go');
  // The browser reports the fetch of a URL let go: that one error is expected.
  assert.deepEqual(session.errors.splice(errorsBefore), ['Failed to load resource: net::ERR_FILE_NOT_FOUND']);
});

// The same sound gives the same Record file here as from wavrec: WAV files of
// 8000 Hz PCM (mono as they are, several channels mixed as wavrec mixes them),
// a Record file and a Series 3 sound, in every coding.
test('sounds, recordings and Series 3 sounds chosen as sounds become wavrec\'s very Record files', async () => {
  const { page } = session;
  const sounds = {
    'sweep-200-1800.wav': pcmWav({ sample: sweep(200, 1800, 0.6) }),
    'sweep-90-3500.wav': pcmWav({ sample: sweep(90, 3500, 0.6) }),
    'sweep-150-2500.wav': pcmWav({ sample: sweep(150, 2500, 0.6) }),
    'noise.wav': pcmWav({ sample: noise(0.5, 7), frames: 9001 }),
    'loud-8bit.wav': pcmWav({ bits: 8, sample: sweep(300, 900, 1) }),
    'quiet-24bit.wav': pcmWav({ bits: 24, sample: sweep(100, 3000, 0.01) }),
    'clipped-32bit.wav': pcmWav({ bits: 32, sample: (frame) => 2 * sweep(50, 400, 1)(frame) }),
    'stereo.wav': pcmWav({ channels: 2, sample: (frame, channel) => sweep(200 + 700 * channel, 1800, 0.5)(frame) }),
    'three.wav': pcmWav({ channels: 3, bits: 24, sample: noise(0.9, 11) }),
    'tune-adpcm.rec': readFileSync(example('tune-adpcm.rec')),
    'ring.wve': series3Sound(Buffer.from(Array.from({ length: 4000 }, (_, i) => (i * 37) & 255))),
  };
  const radios = { alaw: 'A-law', adpcm: 'ADPCM', 'adpcm-best': 'ADPCM, best (slower)' };
  for (const [coding, label] of Object.entries(radios)) {
    await page.getByRole('radio', { name: label, exact: true }).check();
    await page.getByLabel('Choose sounds').setInputFiles(Object.entries(sounds).map(([name, buffer]) =>
      ({ name, mimeType: 'application/octet-stream', buffer })));
    await page.locator('#encode-status', { hasText: `${Object.keys(sounds).length} sounds: ${Object.keys(sounds).length} made` })
      .waitFor({ timeout: 120000 });
    for (const [name, buffer] of Object.entries(sounds)) {
      writeFileSync(path.join(scratch, name), buffer);
      const link = page.locator(`#records li[data-name="${name}"]`).getByRole('link', { name: /^Download / });
      const record = await fetchInPage(page, await link.getAttribute('href'));
      assert.ok(record.equals(cliRecord(path.join(scratch, name), coding)), `${name} in ${coding}`);
    }
    await page.getByRole('button', { name: 'Clear the Record files made' }).click();
  }
});

// One drop zone for everything: recordings become WAV files, sounds Record
// files, and the rest is listed with its reason.
test('one drop takes recordings, Series 3 sounds, sounds and other files, each its own way', async () => {
  const { page } = session;
  await clearList(page);
  await page.getByRole('radio', { name: 'ADPCM', exact: true }).check();
  const hello = pcmWav({ sample: sweep(150, 2500, 0.6) });
  const ring = series3Sound(Buffer.from(Array.from({ length: 3001 }, (_, i) => (i * 101) & 255)), 16, 3);
  const files = {
    Memo: alawBytes, 'ring.wve': ring, 'hello.wav': hello, empty: Buffer.alloc(0),
    'notes.txt': Buffer.from('Shopping: milk, eggs\n'), 'photo.png': Buffer.from('\x89PNG\r\n\x1a\n\0\0\0\rIHDR', 'latin1'),
  };
  await dropOnPage(page, files);
  await page.locator('#status', { hasText: '2 converted, 3 skipped, 1 sound offered as a Record file below.' }).waitFor();

  await expectConverted('Memo', 'A-law', cliWav(example('tune-alaw.rec')));
  await expectConverted('ring.wve', 'Series 3 A-law', rescuedWav('ring.wve', ring));
  assert.deepEqual(await page.locator('#skipped-list li').allTextContents(),
    ['empty: empty', 'notes.txt: text, not a sound', 'photo.png: not a sound the page knows']);

  // The sound is coded in the batch's coding, and again in its row's own.
  writeFileSync(path.join(scratch, 'hello.wav'), hello);
  const made = page.locator('#records li[data-name="hello.wav"]');
  for (const [coding, label] of [['adpcm', 'ADPCM'], ['alaw', 'A-law']]) {
    if (coding === 'alaw') await made.getByLabel('Coding of hello.wav').selectOption(label);
    await page.locator('#records li[data-name="hello.wav"].converted').waitFor();
    assert.equal(await made.locator('.as').innerText(), `as ${label}`);
    const record = await fetchInPage(page, await made.getByRole('link', { name: 'Download hello.rec' }).getAttribute('href'));
    assert.ok(record.equals(cliRecord(path.join(scratch, 'hello.wav'), coding)), coding);
  }
  assert.equal(await page.locator('#records li').count(), 1);

  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('button', { name: 'Download the Record files made (.zip)' }).click()]);
  assert.equal(download.suggestedFilename(), 'record-files.zip');
  const zip = unzipSync(readFileSync(await download.path()));
  assert.deepEqual(Object.keys(zip), ['hello.rec']);
  assert.ok(Buffer.from(zip['hello.rec']).equals(cliRecord(path.join(scratch, 'hello.wav'), 'alaw')));
  await page.getByRole('button', { name: 'Clear the Record files made' }).click();
});

// A Record file as an object embedded in a document: the file less its first
// 16 bytes, each of its positions counted from the object's start.
function embeddedObject(record) {
  const object = Buffer.from(record.subarray(16));
  object.writeUInt32LE(object.readUInt32LE(0) - 16, 0);
  const table = object.readUInt32LE(0);
  for (let entry = 0; entry < object[table] >> 1; ++entry) {
    const at = table + 1 + 8 * entry + 4;
    object.writeUInt32LE(object.readUInt32LE(at) - 16, at);
  }
  return object;
}

// An EPOC Word document: its UIDs, the offset of its own (empty) section
// table at the end, and text around the objects.
function epocDocument(objects) {
  const text = Buffer.from('Voice notes inside. '.repeat(10));
  const header = Buffer.alloc(20);
  header.writeUInt32LE(0x10000037, 0);
  header.writeUInt32LE(0x1000006d, 4);
  header.writeUInt32LE(0x1000007f, 8);
  const document = Buffer.concat([header, ...objects.flatMap((object) => [text, object]), text, Buffer.alloc(1)]);
  document.writeUInt32LE(document.length - 1, 16);
  return document;
}

test('a document dropped on the page, loose or in a backup, gives its voice notes as recscan does', async () => {
  const { page } = session;
  await clearList(page);
  writeFileSync(path.join(scratch, 'voice.wav'), pcmWav({ frames: 5000, sample: sweep(200, 1800, 0.5, 5000) }));
  const notes = ['alaw', 'adpcm'].map((coding) => cliRecord(path.join(scratch, 'voice.wav'), coding));
  const letter = epocDocument(notes.map(embeddedObject));
  const files = { Letter: letter, Blank: epocDocument([]), 'backup.zip': Buffer.from(zipSync({ 'Docs/Letter': letter })) };
  await dropOnPage(page, files);
  await page.locator('#status', { hasText: '4 converted, 1 skipped.' }).waitFor();

  // recscan's WAV files of the same document, and recwav's of each note alone.
  const tree = mkdtempSync(path.join(scratch, 'rescue-'));
  mkdirSync(path.join(tree, 'in'));
  writeFileSync(path.join(tree, 'in', 'Letter'), letter);
  execFileSync(recscan, [path.join(tree, 'in'), path.join(tree, 'out')], { stdio: 'ignore' });
  for (const [index, [name, coding]] of [['Notes', 'A-law'], ['Notes~2', 'ADPCM']].entries()) {
    const rescued = readFileSync(path.join(tree, 'out', 'Letter', `${name}.wav`));
    writeFileSync(path.join(scratch, 'note.rec'), notes[index]);
    assert.ok(rescued.equals(cliWav(path.join(scratch, 'note.rec'))), name);
    await expectConverted(`Letter/${name}`, coding, rescued);
    await expectConverted(`Docs/Letter/${name}`, coding, rescued);
  }
  assert.deepEqual(await page.locator('#skipped-list li').allTextContents(), ['Blank: a document without voice notes']);
  const [download] = await Promise.all([page.waitForEvent('download'),
    page.getByRole('button', { name: /Download all/ }).click()]);
  assert.deepEqual(Object.keys(unzipSync(readFileSync(await download.path()))).sort(),
    ['Docs/Letter/Notes.wav', 'Docs/Letter/Notes~2.wav', 'Letter/Notes.wav', 'Letter/Notes~2.wav']);
});

// Long coding shows how far it is, row by row (the workers share each
// sound's spans, so the rows fill one after another), each to wavrec's bytes.
test('long sounds show their progress row by row, each coded to wavrec\'s bytes', async () => {
  const { page } = session;
  await page.getByRole('radio', { name: 'ADPCM, best (slower)', exact: true }).check();
  const names = ['long-1.wav', 'long-2.wav'];
  const sounds = names.map((name, index) => pcmWav({ frames: 8000 * 25, sample: noise(0.3, 100 + index) }));
  await page.getByLabel('Choose sounds').setInputFiles(names.map((name, index) =>
    ({ name, mimeType: 'audio/wav', buffer: sounds[index] })));
  // Each row part-way at some moment while the other waits or is done.
  for (const name of names) {
    await page.waitForFunction((wanted) => {
      const bar = document.querySelector(`#records li[data-name="${wanted}"] progress`);
      return bar !== null && bar.value > 0 && bar.value < 1;
    }, name, { timeout: 120000, polling: 20 });
  }
  await page.locator('#encode-status', { hasText: '2 sounds: 2 made into Record files.' }).waitFor({ timeout: 120000 });
  for (const [index, name] of names.entries()) {
    writeFileSync(path.join(scratch, name), sounds[index]);
    const link = page.locator(`#records li[data-name="${name}"]`).getByRole('link', { name: /^Download / });
    assert.ok((await fetchInPage(page, await link.getAttribute('href'))).equals(cliRecord(path.join(scratch, name), 'adpcm-best')));
  }
  await page.getByRole('button', { name: 'Clear the Record files made' }).click();
  await page.getByRole('radio', { name: 'A-law', exact: true }).check();
});

// One long sound in ADPCM is planned once and its spans coded by every
// worker, into wavrec's very bytes: a WAV in both ADPCM codings, and a Series 3
// sound whose plays and silence the joined file's header keeps.
test('one long sound is coded over all the workers, to wavrec\'s bytes', async () => {
  const { page } = session;
  const workers = await page.evaluate(() => Math.max(1, Math.min(navigator.hardwareConcurrency || 1, 4)));
  const tune = (frame) => 0.6 * Math.sin(frame / (3 + (frame % 24000) / 4000)) + noise(0.05, 3 + frame)();
  const sounds = [
    { name: 'song.wav', coding: 'adpcm', buffer: pcmWav({ frames: 8000 * 150, sample: tune }) },
    { name: 'song-best.wav', coding: 'adpcm-best', buffer: pcmWav({ frames: 8000 * 15, sample: tune }) },
    { name: 'alarm.wve', coding: 'adpcm',
      buffer: series3Sound(Buffer.from(Array.from({ length: 8000 * 20 }, (_, i) => (i * 7 + (i >> 9)) & 255)), 16, 3) },
  ];
  const radios = { adpcm: 'ADPCM', 'adpcm-best': 'ADPCM, best (slower)' };
  for (const { name, coding, buffer } of sounds) {
    await page.evaluate(() => window.spansCoded.clear());
    await page.getByRole('radio', { name: radios[coding], exact: true }).check();
    await page.getByLabel('Choose sounds').setInputFiles([{ name, mimeType: 'application/octet-stream', buffer }]);
    const link = page.locator(`#records li[data-name="${name}"]`).getByRole('link', { name: /^Download / });
    await link.waitFor({ timeout: 120000 });
    writeFileSync(path.join(scratch, name), buffer);
    assert.ok((await fetchInPage(page, await link.getAttribute('href'))).equals(cliRecord(path.join(scratch, name), coding)),
      `${name} in ${coding}`);
    const spans = await page.evaluate(() => [...window.spansCoded.values()]);
    assert.equal(spans.length, workers > 1 ? workers : 0, `${name}: the workers that coded spans`);
    await page.getByRole('button', { name: 'Clear the Record files made' }).click();
  }
  await page.getByRole('radio', { name: 'A-law', exact: true }).check();
});

// ---- Backups in archives ----

// A backup's files, by their path inside it, and when each was last changed
// (whole even seconds, as every archive can hold them).
const adpcmBytes = readFileSync(example('tune-adpcm.rec'));
const longName = `Voice note recorded on the train home, with everyone singing for Grandma's ninetieth birthday, ${'la '.repeat(8)}`;
const backup = [
  { path: 'Psion/Documents/Memo 1', bytes: alawBytes, mtime: Date.UTC(2001, 4, 6, 7, 8, 10) },
  { path: `Psion/Documents/Café/${longName.trim()}.rec`, bytes: adpcmBytes, mtime: Date.UTC(1999, 11, 31, 23, 59, 58) },
  { path: 'Psion/Documents/Broken', bytes: withBadCodec(alawBytes), mtime: Date.UTC(2003, 0, 2) },
  { path: 'Psion/notes.txt', bytes: Buffer.from('Not a recording\n'), mtime: Date.UTC(2003, 0, 2) },
];

// Each file's name and times in a .zip: the DOS time, as local time, and the
// extended timestamp's Unix time.
function zipTimes(zip) {
  const end = zip.lastIndexOf(Buffer.from('PK\x05\x06', 'latin1'));
  const times = {};
  for (let at = zip.readUInt32LE(end + 16), n = zip.readUInt16LE(end + 10); n > 0; --n) {
    const nameEnd = at + 46 + zip.readUInt16LE(at + 28);
    const extra = zip.subarray(nameEnd, nameEnd + zip.readUInt16LE(at + 30));
    const [time, date] = [zip.readUInt16LE(at + 12), zip.readUInt16LE(at + 14)];
    const unix = extra.indexOf(Buffer.from([0x55, 0x54, 5, 0, 1]));
    times[zip.toString('utf8', at + 46, nameEnd)] = {
      dos: new Date(1980 + (date >> 9), ((date >> 5) & 15) - 1, date & 31, time >> 11, (time >> 5) & 63, (time & 31) * 2).getTime(),
      unix: unix < 0 ? null : extra.readUInt32LE(unix + 5) * 1000,
    };
    at = nameEnd + zip.readUInt16LE(at + 30) + zip.readUInt16LE(at + 32);
  }
  return times;
}

// The backup as a .zip (one file stored, the others deflated, and a name
// that tries to climb out), and as a tar file of either layout that GNU tar
// writes for long names: pax records, or GNU's own long-name headers.
function makeArchive(name) {
  if (name.endsWith('.zip')) {
    const files = Object.fromEntries(backup.map((file, index) =>
      [file.path, [file.bytes, { level: index === 0 ? 0 : 6, mtime: new Date(file.mtime) }]]));
    files['/../../escape.rec'] = [alawBytes, { mtime: new Date(backup[0].mtime) }];
    return Buffer.from(zipSync(files));
  }
  const tree = mkdtempSync(path.join(scratch, 'tree-'));
  for (const file of backup) {
    mkdirSync(path.join(tree, path.dirname(file.path)), { recursive: true });
    writeFileSync(path.join(tree, file.path), file.bytes);
    utimesSync(path.join(tree, file.path), file.mtime / 1000, file.mtime / 1000);
  }
  const format = name.endsWith('.gz') ? ['-z', '--format=pax'] : ['--format=gnu'];
  return execFileSync('tar', ['-c', ...format, '-f', '-', '-C', tree, 'Psion']);
}

test('backups as .zip, .tar.gz and .tar convert file by file, with their folders and times kept', async () => {
  const { page } = session;
  const wavs = Object.fromEntries(backup.slice(0, 2).map((file) => {
    writeFileSync(path.join(scratch, 'entry'), file.bytes);
    return [file.path, cliWav(path.join(scratch, 'entry'))];
  }));
  for (const name of ['backup.zip', 'backup.tar.gz', 'backup.tar']) {
    await clearList(page);
    const escaping = name.endsWith('.zip') ? 1 : 0;
    await page.getByLabel('Choose files').setInputFiles({ name, mimeType: 'application/octet-stream', buffer: makeArchive(name) });
    await page.locator('#status', { hasText: `${2 + escaping} converted, 1 not converted, 1 skipped.` }).waitFor();

    for (const [inside, wav] of Object.entries(wavs)) await expectConverted(inside, inside.endsWith('.rec') ? 'ADPCM' : 'A-law', wav);
    assert.equal(await row(backup[0].path).locator('.from').innerText(), `in ${name}`, name);
    // In the order of their paths, each with the date the archive keeps.
    const paths = [...backup.slice(0, 3).map((file) => file.path), ...(escaping ? ['escape.rec'] : [])];
    assert.deepEqual(await page.locator('#results li').evaluateAll((rows) => rows.map((each) => each.dataset.name)),
      paths.sort(new Intl.Collator('en', { numeric: true }).compare), name);
    assert.match(await row(backup[0].path).locator('.date').innerText(), /^Date 6 May 2001, \d\d:\d\d$/, name);
    assert.equal(await row(backup[2].path).locator('.state').innerText(), 'Refused: input file is not correct format');
    assert.deepEqual(await page.locator('#skipped-list li').allTextContents(),
      [`Psion/notes.txt in ${name}: text, not a sound`]);

    const [download] = await Promise.all([page.waitForEvent('download'),
      page.getByRole('button', { name: /Download all/ }).click()]);
    assert.equal(download.suggestedFilename(), 'wav-files.zip');
    const zip = readFileSync(await download.path());
    const expected = Object.fromEntries(backup.slice(0, 2).map((file) =>
      [`${file.path.replace(/\.rec$/, '')}.wav`, { dos: file.mtime, unix: file.mtime }]));
    if (escaping) expected['escape.wav'] = { dos: backup[0].mtime, unix: backup[0].mtime };
    assert.deepEqual(zipTimes(zip), expected, name);
    assert.deepEqual(Buffer.from(unzipSync(zip)['Psion/Documents/Memo 1.wav']), wavs[backup[0].path], name);
  }
});

test('a damaged archive is refused by name, after what could be read from it', async () => {
  const { page } = session;
  await clearList(page);
  // One recording's header and data as GNU tar writes them, then no end but a
  // block of rubbish; and a .zip cut in half, without its list of files.
  const tree = mkdtempSync(path.join(scratch, 'one-'));
  writeFileSync(path.join(tree, 'Memo'), alawBytes);
  const tar = execFileSync('tar', ['-c', '--format=gnu', '-f', '-', '-C', tree, 'Memo']);
  const wholeZip = makeArchive('backup.zip');
  const cases = [
    { name: 'damaged.tar.gz', bytes: gzipSync(Buffer.concat([tar.subarray(0, 512 * (1 + Math.ceil(alawBytes.length / 512))),
      Buffer.alloc(512, 0xff)])), reason: 'it is cut short or damaged' },
    { name: 'damaged.zip', bytes: wholeZip.subarray(0, wholeZip.length >> 1),
      reason: 'it is cut short or damaged (no list of its files)' },
  ];
  // And a .zip whose first entry's deflated data is rubbish: the entry is
  // lost, not the entry after it.
  const oneBad = Buffer.from(zipSync({ 'Bad.rec': alawBytes, 'Good.rec': alawBytes }, { level: 6 }));
  oneBad[30 + 'Bad.rec'.length] = 0xff;
  await page.getByLabel('Choose files').setInputFiles([...cases.map(({ name, bytes }) =>
    ({ name, mimeType: 'application/octet-stream', buffer: bytes })),
  { name: 'one-bad.zip', mimeType: 'application/zip', buffer: oneBad }]);
  await page.locator('#status', { hasText: /^2 converted/ }).waitFor();
  await expectConverted('Memo', 'A-law', cliWav(example('tune-alaw.rec')));
  await expectConverted('Good.rec', 'A-law', cliWav(example('tune-alaw.rec')));
  for (const { name, reason } of cases) {
    assert.equal(await row(name).locator('.state').innerText(), `Refused: ${name} cannot be opened: ${reason}`);
  }
});

test('a backup of more recordings than a browser holds players converts them all', async () => {
  const { page } = session;
  await clearList(page);
  const codes = alawBytes.subarray(soundHeaderAt(alawBytes) + 20, soundHeaderAt(alawBytes) + 28);
  const count = 1200;  // Chromium makes at most 1,000 players a page
  const files = Object.fromEntries(Array.from({ length: count }, (_, n) => [`Memos/${n + 1}`, alawRecording(codes, 8)]));
  await page.getByLabel('Choose files').setInputFiles({ name: 'memos.zip', mimeType: 'application/zip',
    buffer: Buffer.from(zipSync(files, { level: 0 })) });
  await page.locator('#status', { hasText: `${new Intl.NumberFormat('en').format(count)} converted.` })
    .waitFor({ timeout: 120000 });
  const player = await playerOf(row(`Memos/${count}`), `Memos/${count}`);
  const duration = await player.evaluate(async (audio) => {
    await audio.play();
    return audio.duration;
  });
  assert.ok(Math.abs(duration - 8 / 8000) < 1e-3, `duration ${duration}`);
  await page.getByRole('button', { name: 'Clear the list' }).click();
});

test('a recording cut short, or longer than it says, is converted and says so in words', async () => {
  const { page } = session;
  const codes = alawBytes.subarray(soundHeaderAt(alawBytes) + 20);
  const cases = [
    { name: 'cut-short.rec', record: alawRecording(codes.subarray(0, 39), 25600),
      warning: 'Cut short: only 0:00.0 of its 0:03.2 are in the file (39 of 25,600 samples). The WAV holds what is there.' },
    { name: 'longer.rec', record: alawRecording(codes, 8000),
      warning: 'Longer than it says: 0:03.2 of sound where its header says 0:01.0 (25,600 samples, not 8,000); some players stop early.' },
  ];
  await page.getByLabel('Choose files').setInputFiles(cases.map(({ name, record }) =>
    ({ name, mimeType: 'application/octet-stream', buffer: record })));
  for (const { name, record, warning } of cases) {
    writeFileSync(path.join(scratch, name), record);
    await expectConverted(name, 'A-law', cliWav(path.join(scratch, name)));
    assert.equal(await row(name).locator('.warning').innerText(), warning);
  }
});

test('a recording of over 100 MB is offered whole, or plainly refused, and the page never stalls', async () => {
  const { page } = session;
  // Four hours and a bit of seeded noise in A-law: 120 MB in, 240 MB of WAV out.
  const codes = Buffer.alloc(120 << 20);
  const words = new Uint32Array(codes.buffer, codes.byteOffset, codes.length / 4);
  for (let i = 0, seed = 20; i < words.length; ++i) words[i] = seed = (Math.imul(seed, 1664525) + 1013904223) >>> 0;
  const input = path.join(scratch, 'long.rec');
  writeFileSync(input, alawRecording(codes, codes.length));
  const digest = createHash('sha256').update(cliWav(input)).digest('hex');

  // The longest task of the page's own thread meanwhile, from a watch that is
  // first shown to see a task of 120 ms.
  await page.evaluate(() => {
    window.longestTask = 0;
    new PerformanceObserver((list) => {
      for (const entry of list.getEntries()) window.longestTask = Math.max(window.longestTask, entry.duration);
    }).observe({ type: 'longtask' });
    setTimeout(() => {
      const end = performance.now() + 120;
      while (performance.now() < end);
    });
  });
  await page.waitForFunction(() => window.longestTask >= 120);
  await page.evaluate(() => { window.longestTask = 0; });

  await page.getByLabel('Choose files').setInputFiles(input);
  // Seconds of work, shown as they go.
  await page.locator('#results li.converting[data-name="long.rec"] progress').waitFor();
  assert.match(await page.locator('#status').innerText(), /^Converting 1 of 1 file…$/);
  const done = page.locator('#results li[data-name="long.rec"]:not(.converting)');
  await done.waitFor({ timeout: 120000 });
  const longest = await page.evaluate(() => window.longestTask);
  assert.ok(longest < 100, `a task of ${longest} ms`);
  const state = await done.locator('.state').innerText();
  if (state !== 'Converted') {
    assert.match(state, /^Not converted: the browser has no room left for its 252 MB WAV/);
    return;
  }
  const href = await done.getByRole('link', { name: 'Download long.wav' }).getAttribute('href');
  assert.equal(await (await playerOf(done, 'long.rec')).getAttribute('src'), href);
  assert.equal(await page.evaluate(async (url) => {
    const bytes = await (await fetch(url)).arrayBuffer();
    return [...new Uint8Array(await crypto.subtle.digest('SHA-256', bytes))].map((b) => b.toString(16).padStart(2, '0')).join('');
  }, href), digest);
});

test('the single-file page works opened from the disk, with no request anywhere', async () => {
  const opened = await openPage(browser, pathToFileURL(singlePage).href);
  try {
    const archive = path.join(scratch, 'backup.tar.gz');
    writeFileSync(archive, makeArchive('backup.tar.gz'));
    await opened.page.getByLabel('Choose files').setInputFiles([example('tune-adpcm.rec'), archive]);
    await opened.page.locator('#status', { hasText: '3 converted, 1 not converted, 1 skipped.' }).waitFor();
    await expectConverted('tune-adpcm.rec', 'ADPCM', cliWav(example('tune-adpcm.rec')), opened.page);
    await expectConverted(backup[0].path, 'A-law', cliWav(example('tune-alaw.rec')), opened.page);
    assert.deepEqual(opened.foreign, []);
    assert.deepEqual(opened.errors, []);
  } finally {
    await opened.context.close();
  }
});

test('the page, published or as one file, is under 150 KB gzipped', () => {
  const gzipped = (file) => gzipSync(readFileSync(file), { level: 9 }).length;
  for (const files of [readdirSync(siteDir).map((file) => path.join(siteDir, file)), [singlePage]]) {
    const total = files.reduce((sum, file) => sum + gzipped(file), 0);
    assert.ok(total < 150 * 1024, `${files.map((file) => path.basename(file)).join(', ')}: ${total} bytes`);
  }
});

test('readable at phone width: nothing wider than the screen', async () => {
  const { page } = session;
  for (const width of [360, 390]) {
    await page.setViewportSize({ width, height: 740 });
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth), `${width} px`);
    // No choice of coding breaks over two lines, "(slower)" alone on the second.
    const lines = await page.locator('.coding-choice label').evaluateAll((labels) => labels.map((label) =>
      Math.round(label.getBoundingClientRect().height / parseFloat(getComputedStyle(label).lineHeight))));
    assert.deepEqual(lines, [1, 1, 1], `${width} px`);
  }
});

test('no request left the page\'s origin, and the page reported no error', () => {
  assert.deepEqual(session.foreign, []);
  assert.deepEqual(session.errors, []);
});
