// SPDX-License-Identifier: MIT
// The page: gathers files from the pickers and from drops, converts each with
// the project's own code (core.js), and shows a row per file.
import { zipSync } from './fflate.js';
import {
  convertRecord, encodeRecord, failureMessage, isRecordFile, sampleRate, soundToDeviceSamples, wavName, wavSamples,
} from './core.js';

const $ = (id) => document.getElementById(id);
const results = $('results');
const converted = [];  // { path, blob } of every WAV made, for the .zip
// The blob: URLs behind each section's players and links, so that clearing
// one section leaves the other's working.
const wavUrls = [];
const recordUrls = [];
let skippedCount = 0;
let refusedCount = 0;

function element(tag, props = {}, ...children) {
  const node = Object.assign(document.createElement(tag), props);
  node.append(...children);
  return node;
}

function objectUrl(blob, urls) {
  const url = URL.createObjectURL(blob);
  urls.push(url);
  return url;
}

function formatDuration(samples) {
  const seconds = samples / sampleRate;
  const minutes = Math.floor(seconds / 60);
  return `${minutes}:${(seconds - 60 * minutes).toFixed(1).padStart(4, '0')}`;
}

// One vertical line per pixel column, from the lowest to the highest sample it covers.
function drawWaveform(canvas, samples) {
  const scale = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * scale));
  const height = Math.max(1, Math.round(canvas.clientHeight * scale));
  canvas.width = width;
  canvas.height = height;
  const context = canvas.getContext('2d');
  context.fillStyle = getComputedStyle(canvas).color;
  const perColumn = samples.length / width;
  for (let x = 0; x < width && samples.length > 0; ++x) {
    const end = Math.max(Math.floor((x + 1) * perColumn), Math.floor(x * perColumn) + 1);
    let low = 32767;
    let high = -32768;
    for (let i = Math.floor(x * perColumn); i < end && i < samples.length; ++i) {
      low = Math.min(low, samples[i]);
      high = Math.max(high, samples[i]);
    }
    const top = ((32768 - high) / 65536) * height;
    const bottom = ((32768 - low) / 65536) * height;
    context.fillRect(x, top, 1, Math.max(bottom - top, 1));
  }
}

function fact(label, value, name) {
  return element('span', { className: `fact ${name}` }, element('span', { className: 'label', textContent: label }),
    ` ${value}`);
}

// A converted sound's player, waveform and download link.
function soundParts(urls, name, wav, downloadName, downloadBlob, downloadLabel) {
  const player = element('audio', { controls: true, preload: 'metadata', src: objectUrl(new Blob([wav], { type: 'audio/wav' }), urls) });
  player.setAttribute('aria-label', `Play ${name}`);
  const canvas = element('canvas', { className: 'waveform' });
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', `Waveform of ${name}`);
  const link = element('a', { className: 'download', href: objectUrl(downloadBlob, urls), textContent: downloadLabel });
  link.download = downloadName;
  return { player, canvas, link };
}

function updateStatus() {
  const parts = [`${converted.length} converted`];
  if (refusedCount > 0) parts.push(`${refusedCount} refused`);
  if (skippedCount > 0) parts.push(`${skippedCount} skipped`);
  $('status').textContent = `${parts.join(', ')}.`;
  $('download-all').disabled = converted.length === 0;
  $('clear').disabled = results.children.length === 0 && skippedCount === 0;
}

function addSkipped(path) {
  ++skippedCount;
  $('skipped-list').append(element('li', { textContent: path }));
  $('skipped-summary').textContent = `${skippedCount} skipped: not Record files`;
  $('skipped').hidden = false;
}

async function convertFile(file, path) {
  if (!isRecordFile(new Uint8Array(await file.slice(0, 12).arrayBuffer()))) {
    addSkipped(path);
    return;
  }
  const result = convertRecord(new Uint8Array(await file.arrayBuffer()));
  const row = element('li', { className: `result ${result.outcome}` }, element('h3', { className: 'name', textContent: path }));
  row.dataset.name = path;
  results.append(row);
  if (result.outcome !== 'converted') {
    ++refusedCount;
    row.append(element('p', { className: 'reason', textContent: `Refused: ${failureMessage(result.outcome, file.name)}` }));
    return;
  }
  const samples = wavSamples(result.wav);
  row.append(element('p', { className: 'facts' }, fact('Coding', result.coding, 'coding'),
    fact('Duration', formatDuration(result.decoded), 'duration'), fact('Declared', result.declared, 'declared'),
    fact('Decoded', result.decoded, 'decoded')));
  const blob = new Blob([result.wav], { type: 'audio/wav' });
  const parts = soundParts(wavUrls, path, result.wav, wavName(file.name), blob, `Download ${wavName(file.name)}`);
  row.append(element('div', { className: 'sound' }, parts.player, parts.link), parts.canvas);
  drawWaveform(parts.canvas, samples);
  converted.push({ path: wavName(path), blob });
}

async function convertFiles(entries) {
  $('status').textContent = `Converting ${entries.length} files…`;
  for (const { file, path } of entries) {
    try {
      await convertFile(file, path);
    } catch (error) {
      // A file larger than the browser can hold: say so, and go on with the others.
      ++refusedCount;
      results.append(element('li', { className: 'result refused' }, element('h3', { className: 'name', textContent: path }),
        element('p', { className: 'reason', textContent: `Not converted: ${error.message}` })));
    }
  }
  updateStatus();
}

// Every file under a dropped folder, with its path inside the drop.
async function filesOfEntry(entry) {
  if (entry.isFile) {
    const file = await new Promise((resolve, reject) => entry.file(resolve, reject));
    return [{ file, path: entry.fullPath.replace(/^\//, '') }];
  }
  const reader = entry.createReader();
  const found = [];
  for (;;) {
    const batch = await new Promise((resolve, reject) => reader.readEntries(resolve, reject));
    if (batch.length === 0) break;
    for (const child of batch) found.push(...(await filesOfEntry(child)));
  }
  return found;
}

async function droppedFiles(dataTransfer) {
  const entries = [...dataTransfer.items].map((item) => item.webkitGetAsEntry?.()).filter(Boolean);
  if (entries.length === 0) {
    return [...dataTransfer.files].map((file) => ({ file, path: file.name }));
  }
  const found = [];
  for (const entry of entries) found.push(...(await filesOfEntry(entry)));
  return found;
}

function pickedFiles(input) {
  const entries = [...input.files].map((file) => ({ file, path: file.webkitRelativePath || file.name }));
  input.value = '';
  return entries;
}

// The same name twice in one .zip would hide a file.
function uniquePaths(paths) {
  const seen = new Set();
  return paths.map((path) => {
    let unique = path;
    for (let n = 2; seen.has(unique); ++n) unique = path.replace(/(\.wav)$/, ` (${n})$1`);
    seen.add(unique);
    return unique;
  });
}

async function downloadAll() {
  const paths = uniquePaths(converted.map((item) => item.path));
  const files = {};
  for (let i = 0; i < converted.length; ++i) {
    files[paths[i]] = new Uint8Array(await converted[i].blob.arrayBuffer());
  }
  // PCM barely compresses: stored, the .zip is made at once.
  const zip = zipSync(files, { level: 0 });
  const link = element('a', { href: URL.createObjectURL(new Blob([zip], { type: 'application/zip' })) });
  link.download = 'recwav.zip';
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

function clearAll() {
  wavUrls.splice(0).forEach((url) => URL.revokeObjectURL(url));
  converted.length = 0;
  results.replaceChildren();
  $('skipped-list').replaceChildren();
  $('skipped').hidden = true;
  skippedCount = 0;
  refusedCount = 0;
  updateStatus();
  $('status').textContent = 'No files yet.';
}

// ---- Sounds to Record files ----

// The Record file is named after the sound, its extension replaced.
function recordName(name) {
  return name.replace(/\.[^./]{1,5}$/, '') + '.rec';
}

function refuse(row, reason) {
  row.classList.add('refused');
  row.append(element('p', { className: 'reason', textContent: reason }));
}

async function encodeSound(file, coding, row) {
  let samples;
  try {
    samples = await soundToDeviceSamples(await file.arrayBuffer());
  } catch {
    refuse(row, 'Refused: this browser cannot decode this sound');
    return;
  }
  const record = encodeRecord(samples, coding);
  // What the device will play: the Record file read back by the converter.
  const heard = convertRecord(record);
  if (heard.outcome !== 'converted') {
    refuse(row, `Refused: ${failureMessage(heard.outcome, recordName(file.name))}`);
    return;
  }
  row.append(element('p', { className: 'facts' }, fact('Coding', heard.coding, 'coding'),
    fact('Duration', formatDuration(heard.decoded), 'duration'), fact('Samples', heard.declared, 'declared'),
    fact('Size', `${record.length} bytes`, 'size')));
  const name = recordName(file.name);
  const parts = soundParts(recordUrls, `${name} as the device will play it`, heard.wav, name,
    new Blob([record], { type: 'application/octet-stream' }), `Download ${name}`);
  row.append(element('div', { className: 'sound' }, parts.player, parts.link), parts.canvas);
  drawWaveform(parts.canvas, wavSamples(heard.wav));
}

async function encodeFiles(input) {
  const files = [...input.files];
  input.value = '';
  const coding = document.querySelector('input[name="coding"]:checked').value;
  $('encode-status').textContent = `Encoding ${files.length} sounds…`;
  for (const file of files) {
    const row = element('li', { className: 'result' }, element('h3', { className: 'name', textContent: file.name }));
    row.dataset.name = file.name;
    $('records').append(row);
    try {
      await encodeSound(file, coding, row);
    } catch (error) {
      // A sound too long for the memory the browser gives: say so, and go on with the others.
      refuse(row, `Not made: ${error.message}`);
    }
  }
  $('encode-status').textContent = `${$('records').querySelectorAll('.facts').length} sounds made into Record files.`;
}

// ---- Wiring ----

$('record-files').addEventListener('change', (event) => convertFiles(pickedFiles(event.target)));
$('record-folder').addEventListener('change', (event) => convertFiles(pickedFiles(event.target)));
$('download-all').addEventListener('click', downloadAll);
$('clear').addEventListener('click', clearAll);
$('sound-files').addEventListener('change', (event) => encodeFiles(event.target));

const dropZone = $('drop-zone');
dropZone.addEventListener('dragover', (event) => {
  event.preventDefault();
  dropZone.classList.add('over');
});
dropZone.addEventListener('dragleave', () => dropZone.classList.remove('over'));
dropZone.addEventListener('drop', async (event) => {
  event.preventDefault();
  dropZone.classList.remove('over');
  convertFiles(await droppedFiles(event.dataTransfer));
});
// A file dropped beside the zone would otherwise replace the page.
window.addEventListener('dragover', (event) => event.preventDefault());
window.addEventListener('drop', (event) => event.preventDefault());
document.body.dataset.ready = 'true';
