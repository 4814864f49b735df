// SPDX-License-Identifier: MIT
// The page: gathers files from the pickers and from drops, hands them to the
// worker (recwav-worker.js: the project's own code, the archive reader and the
// .zip maker) and shows a row per Record file as it comes back. Sounds are
// decoded here, where the browser's audio decoding is, and coded into Record
// files by the worker. Nothing heavy runs on this thread.

const $ = (id) => document.getElementById(id);
const results = $('results');
const sampleRate = 8000;
const numbers = new Intl.NumberFormat('en');

function element(tag, props = {}, ...children) {
  const node = Object.assign(document.createElement(tag), props);
  node.append(...children);
  return node;
}

const plural = (count, one, many = `${one}s`) => `${numbers.format(count)} ${count === 1 ? one : many}`;
const megabytes = (bytes) => `${numbers.format(Math.round(bytes / 1e6))} MB`;

function formatDuration(samples) {
  const seconds = samples / sampleRate;
  const minutes = Math.floor(seconds / 60);
  return `${minutes}:${(seconds - 60 * minutes).toFixed(1).padStart(4, '0')}`;
}

// ---- The workers ----

// The single-file page carries the worker's script inside it; the published
// folder has it beside the page.
function startWorker() {
  const inline = document.getElementById('worker-source');
  if (!inline) return new Worker('recwav-worker.js');
  return new Worker(URL.createObjectURL(new Blob([inline.textContent], { type: 'text/javascript' })));
}

// A few workers, one a core up to four, each running its jobs in order: the
// files of a batch are spread over them, a job to the least busy.
const workers = Array.from({ length: Math.max(1, Math.min(navigator.hardwareConcurrency || 1, 4)) }, () =>
  ({ worker: startWorker(), jobs: 0, ready: false }));
let nextJob = 1;
const requests = new Map();  // job → { resolve, reject, slot, onProgress }
const offered = new Map();   // a worker's offer taken → the idle worker held for it, and its batch
const rows = new Map();      // conversion id → its row, while it is shown

// Rows are checked a few at a time: a backup's rows come faster than the
// browser makes players.
const checks = { running: 0, waiting: [] };
async function fewAtATime(task) {
  if (checks.running >= 16) await new Promise((resolve) => checks.waiting.push(resolve));
  ++checks.running;
  try {
    return await task();
  } finally {
    --checks.running;
    checks.waiting.shift()?.();
  }
}

function request(message, transfer = [], onProgress = () => {}, worker = null, onPart = () => {}) {
  const job = nextJob++;
  const slot = worker ?? workers.reduce((least, candidate) => (candidate.jobs < least.jobs ? candidate : least));
  ++slot.jobs;
  return new Promise((resolve, reject) => {
    requests.set(job, { resolve, reject, slot, onProgress, onPart });
    slot.worker.postMessage({ ...message, job }, transfer);
  });
}

function answer(job, settle) {
  settle(requests.get(job));
}

// The job is done: its worker is one job less busy.
function ended(job, settle) {
  const waiting = requests.get(job);
  requests.delete(job);
  if (waiting) --waiting.slot.jobs;
  settle(waiting);
}

const fromWorker = {
  ready: (data, slot) => {
    slot.ready = true;
    if (!workers.every((each) => each.ready)) return;
    if (running === 0) $('status').textContent = 'No files yet.';
    document.body.dataset.ready = 'true';
  },
  broken: ({ message }) => { $('status').textContent = `The converter could not start: ${message}`; },
  count: ({ job, done, total, reading }) => {
    if (job < clearedBelow) return;
    const batch = batchOf.get(job);
    if (!batch) return;
    batch.counts.set(job, { done, total });
    let [allDone, allTotal] = [0, 0];
    for (const count of batch.counts.values()) [allDone, allTotal] = [allDone + count.done, allTotal + count.total];
    const within = reading ? `, reading ${reading}` : '';
    $('status').textContent = `Converting ${numbers.format(Math.min(allDone + 1, allTotal))} of ${plural(allTotal, 'file')}${within}…`;
  },
  started: ({ job, id, path, archive }) => { if (job >= clearedBelow) rows.set(id, startRow(path, archive)); },
  progress: ({ id, fraction }) => {
    const progress = rows.get(id)?.querySelector('progress');
    if (progress) progress.value = fraction;
  },
  converted: (result) => {
    const row = rows.get(result.id);
    rows.delete(result.id);
    if (row) {
      fewAtATime(() => finishRow(row, result))
        .catch((error) => {
          ++tally.refused;
          setState(row, 'refused', `Not converted: ${error.message}`);
        }).finally(updateStatus);
    }
  },
  skipped: ({ job, path, reason, archive }) => { if (job >= clearedBelow) addSkipped(path, reason, archive); },
  sound: ({ job, path, mtime, archive, file }) => {
    if (job < clearedBelow) return;
    ++tally.sounds;
    offerSound(file, path, archive, mtime);
  },
  archiveRefused: ({ job, path, message }) => {
    if (job < clearedBelow) return;
    ++tally.refused;
    setState(startRow(path, null), 'refused', `Refused: ${path} cannot be opened: ${message}`);
  },
  // A worker reading an archive offers its recordings, one at a time, to
  // another worker that is idle, which is held for it until it comes.
  offer: ({ job, offer }, slot) => {
    const batch = job >= clearedBelow ? batchOf.get(job) : undefined;
    const idle = batch && workers.find((other) => other !== slot && other.jobs === 0);
    if (idle) {
      ++idle.jobs;
      offered.set(`${workers.indexOf(slot)}:${offer}`, { idle, batch, job });
    }
    slot.worker.postMessage({ type: 'offerAnswer', offer, take: Boolean(idle) });
  },
  entry: ({ offer, bytes, path, mtime, archive }, slot) => {
    const key = `${workers.indexOf(slot)}:${offer}`;
    const { idle, batch, job: from } = offered.get(key);
    offered.delete(key);
    --idle.jobs;
    if (bytes === null || from < clearedBelow) return;  // cleared meanwhile
    const job = nextJob;
    batchOf.set(job, batch);
    batch.handed.push(request({ type: 'convertEntry', bytes, path, mtime, archive }, [bytes.buffer], undefined, idle)
      .finally(() => batchOf.delete(job)));
  },
  codingProgress: ({ job, fraction }) => answer(job, (waiting) => waiting?.onProgress(fraction)),
  finished: ({ job }) => ended(job, (waiting) => waiting?.resolve()),
  failed: ({ job, message }) => ended(job, (waiting) => waiting?.reject(new Error(message))),
  encoded: (result) => answer(result.job, (waiting) => waiting.resolve(result)),
  planned: (result) => answer(result.job, (waiting) => waiting.resolve(result)),
  plannedPart: (part) => answer(part.job, (waiting) => waiting?.onPart(part)),
  spanCoded: (result) => answer(result.job, (waiting) => waiting.resolve(result)),
  zipped: ({ job, zip }) => answer(job, (waiting) => waiting.resolve(zip)),
};

for (const slot of workers) {
  slot.worker.onmessage = ({ data }) => fromWorker[data.type](data, slot);
  slot.worker.onerror = (event) => fromWorker.broken({ message: event.message || 'its script did not load' });
}

// ---- A row: a file, what became of it, and its sound ----

// What recwav says for each failure, word for word.
function failureMessage(outcome, name) {
  switch (outcome) {
    case 'refused': return 'input file is not correct format';
    case 'readFailed': return `could not read input file ${name}`;
    default: return 'could not allocate buffer';
  }
}

function setState(row, className, text) {
  row.className = `result ${className}`;
  row.querySelector('.state').replaceChildren(text);
}

// Rows stand in the order of their paths, as in the folder or the archive
// they came from, however the workers' answers come.
const byPath = new Intl.Collator('en', { numeric: true }).compare;

function insertSorted(list, item, key) {
  item.dataset.key = key;
  const last = list.lastElementChild;
  const after = last === null || byPath(last.dataset.key, key) <= 0 ? null
    : [...list.children].find((other) => byPath(other.dataset.key, key) > 0);
  list.insertBefore(item, after ?? null);
}

function rowFor(list, path, archive) {
  const heading = element('h3', { className: 'name', textContent: path });
  if (archive) heading.append(' ', element('span', { className: 'from', textContent: `in ${archive}` }));
  const row = element('li', { className: 'result' }, heading, element('p', { className: 'state' }));
  row.dataset.name = path;
  insertSorted(list, row, path);
  return row;
}

function startRow(path, archive) {
  const row = rowFor(results, path, archive);
  setState(row, 'converting', 'Converting… ');
  row.querySelector('.state').append(element('progress', { max: 1, value: 0 }));
  return row;
}

function fact(label, value, name) {
  return element('span', { className: `fact ${name}` }, element('span', { className: 'label', textContent: label }),
    ` ${value}`);
}

// One vertical line per pixel column, from the lowest to the highest sample
// it covers; `peaks` holds a low and a high for each of its columns.
function drawWaveform(canvas, peaks) {
  const scale = window.devicePixelRatio || 1;
  const width = Math.max(1, Math.round(canvas.clientWidth * scale));
  const height = Math.max(1, Math.round(canvas.clientHeight * scale));
  canvas.width = width;
  canvas.height = height;
  const context = canvas.getContext('2d');
  context.fillStyle = getComputedStyle(canvas).color;
  const columns = peaks.length / 2;
  for (let x = 0; x < width && columns > 0; ++x) {
    const from = Math.floor((x * columns) / width);
    const to = Math.max(from + 1, Math.floor(((x + 1) * columns) / width));
    let low = 32767;
    let high = -32768;
    for (let column = from; column < to && column < columns; ++column) {
      low = Math.min(low, peaks[2 * column]);
      high = Math.max(high, peaks[2 * column + 1]);
    }
    const top = ((32768 - high) / 65536) * height;
    const bottom = ((32768 - low) / 65536) * height;
    context.fillRect(x, top, 1, Math.max(bottom - top, 1));
  }
}

// A browser holds about a thousand players at once, and a backup can hold
// more recordings: so a row's player is made when its Play button is
// pressed, and only the latest few are kept. Whether the browser can play a
// WAV at all is learnt from a player made for that alone, and let go.
const livePlayers = [];

function releasePlayer(player) {
  player.pause();
  player.removeAttribute('src');
  player.load();
}

function playButton(title, url) {
  const button = element('button', { type: 'button', className: 'play', textContent: 'Play' });
  button.setAttribute('aria-label', `Play ${title}`);
  button.addEventListener('click', () => {
    const player = element('audio', { controls: true, autoplay: true, src: url });
    player.setAttribute('aria-label', `Player of ${title}`);
    button.replaceWith(player);
    livePlayers.push({ player, button });
    if (livePlayers.length > 8) {
      const oldest = livePlayers.shift();
      releasePlayer(oldest.player);
      oldest.player.replaceWith(oldest.button);
    }
  });
  return button;
}

// The players of rows no longer shown are let go.
function releaseHiddenPlayers() {
  for (let i = livePlayers.length - 1; i >= 0; --i) {
    if (!livePlayers[i].player.isConnected) releasePlayer(livePlayers.splice(i, 1)[0].player);
  }
}

// Null once a player has loaded the WAV at `url`, or what the browser said.
async function playerProblem(url) {
  const probe = element('audio', { preload: 'metadata' });
  const problem = await new Promise((resolve) => {
    probe.onloadedmetadata = () => resolve(null);
    probe.onerror = () => resolve(probe.error?.message || `error ${probe.error?.code}`);
    probe.src = url;
  });
  releasePlayer(probe);
  return problem;
}

// Shows a sound in its row once the browser has shown that it can play it:
// its facts, Play button, download link and waveform. The player and the
// link share the WAV's one Blob where the download is the WAV. Returns null,
// or why the sound cannot be offered.
async function showSound(row, { title, wav, peaks, facts, download, urls }) {
  const wavUrl = URL.createObjectURL(wav);
  const problem = await playerProblem(wavUrl);
  if (problem !== null) {
    URL.revokeObjectURL(wavUrl);
    return `the browser cannot play the WAV it made (${problem})`;
  }
  const href = download.blob === wav ? wavUrl : URL.createObjectURL(download.blob);
  urls.push(...new Set([wavUrl, href]));
  const link = element('a', { className: 'download', href, textContent: `Download ${download.name}` });
  link.download = download.name;
  const canvas = element('canvas', { className: 'waveform' });
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', `Waveform of ${title}`);
  row.append(facts, element('div', { className: 'sound' }, playButton(title, wavUrl), link), canvas);
  drawWaveform(canvas, peaks);
  return null;
}

// What a row says when its sound could not be had, besides recwav's refusals.
function notMadeReason(result, name) {
  switch (result.outcome) {
    case 'noRoom':
      return `the browser has no room left for its ${megabytes(44 + 2 * result.decoded)} WAV: download the files above, ` +
        'clear the list, and try this one again';
    case 'failed':
      return result.message;
    case 'outOfMemory':
      return `${failureMessage(result.outcome)}: the browser gives this page too little memory for it`;
    default:
      return failureMessage(result.outcome, name);
  }
}

// A recording that holds fewer samples than its header declares was cut
// short; one that holds more plays short in players that trust the header.
function lengthWarning({ declared, decoded }) {
  if (decoded < declared) {
    return `Cut short: only ${formatDuration(decoded)} of its ${formatDuration(declared)} are in the file ` +
      `(${numbers.format(decoded)} of ${plural(declared, 'sample')}). The WAV holds what is there.`;
  }
  if (decoded > declared) {
    return `Longer than it says: ${formatDuration(decoded)} of sound where its header says ${formatDuration(declared)} ` +
      `(${numbers.format(decoded)} samples, not ${numbers.format(declared)}); some players stop early.`;
  }
  return null;
}

// ---- Record files to WAV ----

const converted = [];  // { id, path, blob, mtime } of every WAV offered, for the .zip
const wavUrls = [];
const tally = { refused: 0, skipped: 0, sounds: 0 };
const batchOf = new Map();  // job → the batch it is part of, while it runs
let clearedBelow = 0;  // batches below this number were cleared
let running = 0;

const wavName = (name) => name.replace(/\.rec$/i, '') + '.wav';

// When the file was last changed: the recording's date, which backups keep.
const dates = new Intl.DateTimeFormat('en-GB', { dateStyle: 'medium', timeStyle: 'short' });
const dateFact = (mtime) => (Number.isFinite(mtime) && mtime > 0 ? [fact('Date', dates.format(mtime), 'date')] : []);

async function finishRow(row, result) {
  const name = row.dataset.name;
  const fileName = name.split('/').pop();
  if (result.outcome === 'converted') {
    const warning = lengthWarning(result);
    if (warning) row.append(element('p', { className: 'warning', textContent: warning }));
    const facts = element('p', { className: 'facts' }, fact('Coding', result.coding, 'coding'),
      fact('Length', formatDuration(result.decoded), 'duration'), fact('Samples', numbers.format(result.decoded), 'samples'),
      ...dateFact(result.mtime));
    const problem = await showSound(row, {
      title: name, wav: result.wav, peaks: result.peaks, facts, download: { blob: result.wav, name: wavName(fileName) },
      urls: wavUrls,
    });
    if (!row.isConnected) return;  // cleared meanwhile
    if (problem === null) {
      setState(row, 'converted', 'Converted');
      converted.push({ id: result.id, path: wavName(name), blob: result.wav, mtime: result.mtime });
      updateStatus();
      return;
    }
    row.querySelector('.warning')?.remove();
    result = { outcome: 'failed', message: problem };
  }
  ++tally.refused;
  const recwavRefusal = result.outcome === 'refused' || result.outcome === 'readFailed';
  setState(row, 'refused', `${recwavRefusal ? 'Refused' : 'Not converted'}: ${notMadeReason(result, fileName)}`);
  updateStatus();
}

function updateStatus() {
  $('download-all').disabled = converted.length === 0;
  $('clear').disabled = running === 0 && results.children.length === 0 && tally.skipped === 0;
  if (running > 0) return;  // the worker's count says more meanwhile
  const parts = [`${numbers.format(converted.length)} converted`];
  if (tally.refused > 0) parts.push(`${numbers.format(tally.refused)} not converted`);
  if (tally.skipped > 0) parts.push(`${numbers.format(tally.skipped)} skipped`);
  if (tally.sounds > 0) {
    parts.push(`${plural(tally.sounds, 'sound')} offered as ${tally.sounds === 1 ? 'a Record file' : 'Record files'} below`);
  }
  const checking = checks.running + checks.waiting.length;
  if (checking > 0) parts.push(`${numbers.format(checking)} being checked`);
  const nothing = results.children.length === 0 && tally.skipped === 0;
  $('status').textContent = nothing ? 'No files yet.' : `${parts.join(', ')}.`;
}

function addSkipped(path, reason, archive) {
  ++tally.skipped;
  const item = element('li', { textContent: `${path}${archive ? ` in ${archive}` : ''}: ${reason}` });
  insertSorted($('skipped-list'), item, path);
  $('skipped-summary').textContent = `${plural(tally.skipped, 'file')} skipped, neither recordings nor sounds`;
  $('skipped').hidden = false;
}

// Each file is a job of its own, so that the workers share the batch.
async function convertFiles(entries) {
  if (entries.length === 0) return;
  ++running;
  updateStatus();
  const batch = { counts: new Map(), handed: [] };
  try {
    await Promise.all(entries.map((entry) => {
      const job = nextJob;
      batchOf.set(job, batch);
      return request({ type: 'convert', files: [entry] }).finally(() => batchOf.delete(job));
    }));
    // The recordings its archives handed to other workers.
    await Promise.all(batch.handed);
  } catch (error) {
    $('status').textContent = `Stopped: ${error.message}`;
  }
  --running;
  // Rows still being checked finish on their own and update the line then.
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

const pickedFiles = (input) => [...input.files].map((file) => ({ file, path: file.webkitRelativePath || file.name }));

function save(blob, name) {
  const link = element('a', { href: URL.createObjectURL(blob) });
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

async function downloadAll() {
  const button = $('download-all');
  button.disabled = true;
  $('status').textContent = `Making the .zip of ${plural(converted.length, 'WAV file')}…`;
  try {
    const files = [...converted].sort((a, b) => byPath(a.path, b.path)).map(({ path, blob, mtime }) => ({ path, blob, mtime }));
    save(await request({ type: 'zip', files }), 'wav-files.zip');
    updateStatus();
  } catch (error) {
    $('status').textContent = `The .zip could not be made: ${error.message}.`;
  }
  button.disabled = converted.length === 0;
}

function clearAll() {
  // The worker stops the batches under way; their rows are not shown.
  clearedBelow = nextJob;
  for (const { worker } of workers) worker.postMessage({ type: 'clear', job: nextJob - 1 });
  wavUrls.splice(0).forEach((url) => URL.revokeObjectURL(url));
  converted.length = 0;
  rows.clear();
  results.replaceChildren();
  releaseHiddenPlayers();
  $('skipped-list').replaceChildren();
  $('skipped').hidden = true;
  tally.skipped = 0;
  tally.refused = 0;
  tally.sounds = 0;
  updateStatus();
}

// ---- Sounds to Record files ----

const recordUrls = [];
const made = [];  // { row, path, blob } of every Record file offered, for the .zip
const coding = { running: 0, total: 0, made: 0 };
const codingNames = { alaw: 'A-law', adpcm: 'ADPCM', 'adpcm-best': 'ADPCM, best' };

// The Record file is named after the sound, its extension replaced.
const recordName = (name) => name.replace(/\.[^./]{1,5}$/, '') + '.rec';
const batchCoding = () => document.querySelector('input[name="coding"]:checked').value;

// Any other sound the browser can decode, mixed down to mono and resampled to
// 8000 Hz by the browser, as 16-bit samples.
async function soundToDeviceSamples(fileBytes) {
  const decoder = new OfflineAudioContext(1, 1, sampleRate);
  const decoded = await decoder.decodeAudioData(fileBytes);
  const length = Math.max(1, Math.round(decoded.duration * sampleRate));
  const context = new OfflineAudioContext(1, length, sampleRate);
  const source = context.createBufferSource();
  source.buffer = decoded;
  source.connect(context.destination);  // a mono destination mixes the channels down
  source.start();
  const mixed = (await context.startRendering()).getChannelData(0);
  const samples = new Int16Array(mixed.length);
  for (let i = 0; i < mixed.length; ++i) {
    const value = Math.round(mixed[i] * 32768);
    samples[i] = value > 32767 ? 32767 : value < -32768 ? -32768 : value;
  }
  return samples;
}

// Codes a sound in a worker: one it can read as wavrec does (a Record file, a
// Series 3 sound, a WAV of 8000 Hz PCM) from the file itself, any other
// through the browser's decoder. ADPCM, where there are several workers, is
// planned in one and coded a span at a time in all of them.
async function codeInWorker(file, codingName, progress) {
  const onProgress = (fraction) => { progress.value = fraction; };
  const type = codingName !== 'alaw' && workers.length > 1 ? 'plan' : 'encode';
  const spans = type === 'plan' ? spanCoder(codingName, onProgress) : null;
  let heard = await request({ type, file, coding: codingName }, [], onProgress, null, spans?.add);
  if (heard.outcome === 'needsDecoding') {
    let samples;
    try {
      samples = await soundToDeviceSamples(await file.arrayBuffer());
    } catch {
      return null;
    }
    heard = await request({ type, samples, coding: codingName }, [samples.buffer], onProgress, null, spans?.add);
  }
  return heard.outcome === 'planned' ? spans.finish(heard) : heard;
}

// A planned sound's blocks, as the planner hands them over, in spans of at
// least this many samples, each coded by the least busy worker; the spans'
// bytes joined in order make wavrec's very file, whichever worker coded each.
const spanSamples = 32768;

// The typed arrays `parts` one after another in one array of their type.
function joined(Type, parts) {
  const whole = new Type(parts.reduce((size, part) => size + part.length, 0));
  parts.reduce((at, part) => {
    whole.set(part, at);
    return at + part.length;
  }, 0);
  return whole;
}

function spanCoder(coding, onProgress) {
  const coded = [];
  const allBlocks = [];
  let [samples, blocks, count, total, done] = [[], [], 0, 0, 0];
  const send = () => {
    const part = joined(Int16Array, samples);
    const lengths = Uint32Array.from(blocks);
    const spanned = count;  // the part itself is handed over, and empty here
    coded.push(request({ type: 'codeSpan', samples: part, blocks: lengths, coding }, [part.buffer, lengths.buffer])
      .then(({ bytes }) => {
        done += spanned;
        onProgress(done / Math.max(1, total));
        return bytes;
      }));
    [samples, blocks, count] = [[], [], 0];
  };
  return {
    add: (part) => {
      total = part.total;
      samples.push(part.samples);
      blocks.push(...part.blocks);
      allBlocks.push(...part.blocks);
      count += part.samples.length;
      if (count >= spanSamples) send();
    },
    finish: async ({ repeats, gap }) => {
      if (count > 0) send();
      const bytes = joined(Uint8Array, await Promise.all(coded));
      const lengths = Uint32Array.from(allBlocks);
      return request({ type: 'assemble', sound: bytes, blocks: lengths, repeats, gap }, [bytes.buffer, lengths.buffer]);
    },
  };
}

// Returns null once the Record file is offered, or why it is not.
async function encodeSound(file, path, codingName, row) {
  const name = recordName(path.split('/').pop());
  const progress = element('progress', { max: 1, value: 0 });
  row.querySelector('.state').append(progress);
  const heard = await codeInWorker(file, codingName, progress);
  if (heard === null) return 'Refused: this browser cannot decode this sound';
  if (heard.outcome !== 'converted') {
    const refusal = heard.outcome === 'refused' || heard.outcome === 'readFailed';
    return `${refusal ? 'Refused' : 'Not made'}: ${notMadeReason(heard, name)}`;
  }
  const facts = element('p', { className: 'facts' }, fact('Coding', heard.coding, 'coding'),
    fact('Length', formatDuration(heard.decoded), 'duration'), fact('Samples', numbers.format(heard.declared), 'samples'),
    fact('Size', `${numbers.format(heard.recordSize)} bytes`, 'size'));
  const problem = await showSound(row, {
    title: `${name} as the device will play it`, wav: heard.wav, peaks: heard.peaks, facts,
    download: { blob: heard.record, name }, urls: recordUrls,
  });
  if (problem === null && row.isConnected) made.push({ row, path: recordName(path), blob: heard.record });
  return problem && `Not made: ${problem}`;
}

// Codes a row's sound, in the coding its own choice names, in place of what
// the row showed before.
async function codeRow(row, file, path) {
  const choice = row.querySelector('select');
  const codingName = choice.value;
  // One coding at a time in a row: the next choice once this one is shown.
  choice.disabled = true;
  row.querySelector('.as').textContent = `as ${codingNames[codingName]}`;
  row.querySelectorAll('.facts, .sound, .waveform, .warning').forEach((node) => node.remove());
  const index = made.findIndex((entry) => entry.row === row);
  if (index >= 0) made.splice(index, 1);
  setState(row, 'converting', 'Coding… ');
  ++coding.running;
  ++coding.total;
  updateCodingStatus();
  let problem;
  try {
    problem = await encodeSound(file, path, codingName, row);
  } catch (error) {
    // A sound too long for the memory the browser gives: say so, and go on with the others.
    problem = `Not made: ${error.message}`;
  }
  --coding.running;
  choice.disabled = false;
  if (!row.isConnected) {
    // Cleared meanwhile: not counted with the sounds after it.
    --coding.total;
    updateCodingStatus();
    return;
  }
  if (problem === null) ++coding.made;
  setState(row, problem === null ? 'converted' : 'refused', problem ?? 'Made');
  updateCodingStatus();
}

// A row for a sound to become a Record file, coded at once in the batch's
// coding; its own choice codes it again in another.
function offerSound(file, path, archive, mtime) {
  const row = rowFor($('records'), path, archive);
  row.querySelector('.name').append(' ', element('span', { className: 'as' }));
  const choice = element('select', {}, ...Object.entries(codingNames).map(([value, text]) =>
    element('option', { value, textContent: text })));
  choice.value = batchCoding();
  choice.setAttribute('aria-label', `Coding of ${path}`);
  choice.addEventListener('change', () => codeRow(row, file, path));
  row.querySelector('.name').after(element('p', { className: 'recode' }, element('label', {}, 'Coding ', choice),
    ...dateFact(mtime).map((date) => [' ', date]).flat()));
  codeRow(row, file, path);
}

function updateCodingStatus() {
  $('download-records').disabled = made.length === 0;
  $('clear-records').disabled = $('records').children.length === 0;
  if (coding.running > 0) {
    $('encode-status').textContent = `Coding ${numbers.format(coding.total - coding.running + 1)} of ` +
      `${plural(coding.total, 'sound')}…`;
    return;
  }
  if (coding.total === 0) return;
  const failed = coding.total - coding.made;
  $('encode-status').textContent = `${plural(coding.total, 'sound')}: ${numbers.format(coding.made)} made into ` +
    `${coding.made === 1 ? 'a Record file' : 'Record files'}${failed > 0 ? `, ${numbers.format(failed)} could not be` : ''}.`;
  // The next sounds are counted afresh.
  coding.total = 0;
  coding.made = 0;
}

async function downloadRecords() {
  const button = $('download-records');
  button.disabled = true;
  try {
    const files = made.map(({ path, blob }) => ({ path, blob, mtime: Date.now() }));
    files.sort((a, b) => byPath(a.path, b.path));
    save(await request({ type: 'zip', files }), 'record-files.zip');
  } catch (error) {
    $('encode-status').textContent = `The .zip could not be made: ${error.message}.`;
  }
  button.disabled = made.length === 0;
}

function clearRecords() {
  recordUrls.splice(0).forEach((url) => URL.revokeObjectURL(url));
  made.length = 0;
  // Sounds still being coded are let go as they finish.
  coding.total = coding.running;
  coding.made = 0;
  $('records').replaceChildren();
  releaseHiddenPlayers();
  $('encode-status').textContent = '';
  $('clear-records').disabled = true;
  $('download-records').disabled = true;
}

// ---- Wiring ----

// Cleared as the picker opens, so that choosing the same files again is a
// change.
for (const id of ['record-files', 'record-folder', 'sound-files']) {
  $(id).addEventListener('click', (event) => { event.target.value = ''; });
}
$('record-files').addEventListener('change', (event) => convertFiles(pickedFiles(event.target)));
$('record-folder').addEventListener('change', (event) => convertFiles(pickedFiles(event.target)));
$('download-all').addEventListener('click', downloadAll);
$('clear').addEventListener('click', clearAll);
// Whatever is chosen here becomes a Record file, as wavrec makes one of it.
$('sound-files').addEventListener('change', (event) =>
  pickedFiles(event.target).forEach(({ file, path }) => offerSound(file, path, null, file.lastModified)));
$('download-records').addEventListener('click', downloadRecords);
$('clear-records').addEventListener('click', clearRecords);

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
