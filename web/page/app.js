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

// ---- The worker ----

// The single-file page carries the worker's script inside it; the published
// folder has it beside the page.
function startWorker() {
  const inline = document.getElementById('worker-source');
  if (!inline) return new Worker('recwav-worker.js');
  return new Worker(URL.createObjectURL(new Blob([inline.textContent], { type: 'text/javascript' })));
}

const worker = startWorker();
let nextJob = 1;
const requests = new Map();  // job → { resolve, reject }
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

function request(message, transfer = []) {
  const job = nextJob++;
  return new Promise((resolve, reject) => {
    requests.set(job, { resolve, reject });
    worker.postMessage({ ...message, job }, transfer);
  });
}

function answer(job, settle) {
  const waiting = requests.get(job);
  requests.delete(job);
  settle(waiting);
}

const fromWorker = {
  ready: () => {
    if (running === 0) $('status').textContent = 'No files yet.';
    document.body.dataset.ready = 'true';
  },
  broken: ({ message }) => { $('status').textContent = `The converter could not start: ${message}`; },
  count: ({ job, done, total, reading }) => {
    if (job < clearedBelow) return;
    const within = reading ? `, reading ${reading}` : '';
    $('status').textContent = `Converting ${numbers.format(Math.min(done + 1, total))} of ${plural(total, 'file')}${within}…`;
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
  skipped: ({ job, path, reason }) => { if (job >= clearedBelow) addSkipped(path, reason); },
  archiveRefused: ({ job, path, message }) => {
    if (job < clearedBelow) return;
    ++tally.refused;
    setState(startRow(path, null), 'refused', `Refused: ${path} cannot be opened: ${message}`);
  },
  finished: ({ job }) => answer(job, (waiting) => waiting?.resolve()),
  failed: ({ job, message }) => answer(job, (waiting) => waiting?.reject(new Error(message))),
  encoded: (result) => answer(result.job, (waiting) => waiting.resolve(result)),
  zipped: ({ job, zip }) => answer(job, (waiting) => waiting.resolve(zip)),
};

worker.onmessage = ({ data }) => fromWorker[data.type](data);
worker.onerror = (event) => fromWorker.broken({ message: event.message || 'its script did not load' });

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

function rowFor(list, path, archive) {
  const heading = element('h3', { className: 'name', textContent: path });
  if (archive) heading.append(' ', element('span', { className: 'from', textContent: `in ${archive}` }));
  const row = element('li', { className: 'result' }, heading, element('p', { className: 'state' }));
  row.dataset.name = path;
  list.append(row);
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
const tally = { refused: 0, skipped: 0 };
let clearedBelow = 0;  // batches below this number were cleared
let running = 0;

const wavName = (name) => name.replace(/\.rec$/i, '') + '.wav';

async function finishRow(row, result) {
  const name = row.dataset.name;
  const fileName = name.split('/').pop();
  if (result.outcome === 'converted') {
    const warning = lengthWarning(result);
    if (warning) row.append(element('p', { className: 'warning', textContent: warning }));
    const facts = element('p', { className: 'facts' }, fact('Coding', result.coding, 'coding'),
      fact('Length', formatDuration(result.decoded), 'duration'), fact('Samples', numbers.format(result.decoded), 'samples'));
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
  const checking = checks.running + checks.waiting.length;
  if (checking > 0) parts.push(`${numbers.format(checking)} being checked`);
  const nothing = results.children.length === 0 && tally.skipped === 0;
  $('status').textContent = nothing ? 'No files yet.' : `${parts.join(', ')}.`;
}

function addSkipped(path, reason) {
  ++tally.skipped;
  $('skipped-list').append(element('li', { textContent: reason ? `${path}: ${reason}` : path }));
  const what = tally.skipped === 1 ? 'not a Record file' : 'not Record files';
  $('skipped-summary').textContent = `${plural(tally.skipped, 'file')} skipped: ${what}, or not readable`;
  $('skipped').hidden = false;
}

async function convertFiles(entries) {
  if (entries.length === 0) return;
  ++running;
  updateStatus();
  try {
    await request({ type: 'convert', files: entries });
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
    const files = [...converted].sort((a, b) => a.id - b.id).map(({ path, blob, mtime }) => ({ path, blob, mtime }));
    save(await request({ type: 'zip', files }), 'recwav.zip');
    updateStatus();
  } catch (error) {
    $('status').textContent = `The .zip could not be made: ${error.message}.`;
  }
  button.disabled = converted.length === 0;
}

function clearAll() {
  // The worker stops the batches under way; their rows are not shown.
  clearedBelow = nextJob;
  worker.postMessage({ type: 'clear', job: nextJob - 1 });
  wavUrls.splice(0).forEach((url) => URL.revokeObjectURL(url));
  converted.length = 0;
  rows.clear();
  results.replaceChildren();
  releaseHiddenPlayers();
  $('skipped-list').replaceChildren();
  $('skipped').hidden = true;
  tally.skipped = 0;
  tally.refused = 0;
  updateStatus();
}

// ---- Sounds to Record files ----

const recordUrls = [];

// The Record file is named after the sound, its extension replaced.
const recordName = (name) => name.replace(/\.[^./]{1,5}$/, '') + '.rec';

// Any sound the browser can decode, mixed down to mono and resampled to
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

// Returns null once the Record file is offered, or why it is not.
async function encodeSound(file, coding, row) {
  let samples;
  try {
    samples = await soundToDeviceSamples(await file.arrayBuffer());
  } catch {
    return 'Refused: this browser cannot decode this sound';
  }
  const name = recordName(file.name);
  const heard = await request({ type: 'encode', samples, coding }, [samples.buffer]);
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
  return problem && `Not made: ${problem}`;
}

async function encodeFiles(input) {
  const files = [...input.files];
  const coding = document.querySelector('input[name="coding"]:checked').value;
  let made = 0;
  for (const [index, file] of files.entries()) {
    $('encode-status').textContent = `Coding ${numbers.format(index + 1)} of ${plural(files.length, 'sound')}…`;
    const row = rowFor($('records'), file.name, null);
    setState(row, 'converting', 'Coding…');
    let problem;
    try {
      problem = await encodeSound(file, coding, row);
    } catch (error) {
      // A sound too long for the memory the browser gives: say so, and go on with the others.
      problem = `Not made: ${error.message}`;
    }
    if (!row.isConnected) continue;
    if (problem === null) ++made;
    setState(row, problem === null ? 'converted' : 'refused', problem ?? 'Made');
  }
  const failed = files.length - made;
  $('encode-status').textContent = `${plural(files.length, 'sound')}: ${numbers.format(made)} made into ` +
    `${made === 1 ? 'a Record file' : 'Record files'}${failed > 0 ? `, ${numbers.format(failed)} could not be` : ''}.`;
  $('clear-records').disabled = $('records').children.length === 0;
}

function clearRecords() {
  recordUrls.splice(0).forEach((url) => URL.revokeObjectURL(url));
  $('records').replaceChildren();
  releaseHiddenPlayers();
  $('encode-status').textContent = '';
  $('clear-records').disabled = true;
}

// ---- Wiring ----

// Cleared as the picker opens, so that choosing the same files again is a
// change, and shown as chosen until then.
for (const id of ['record-files', 'record-folder', 'sound-files']) {
  $(id).addEventListener('click', (event) => { event.target.value = ''; });
}
$('record-files').addEventListener('change', (event) => convertFiles(pickedFiles(event.target)));
$('record-folder').addEventListener('change', (event) => convertFiles(pickedFiles(event.target)));
$('download-all').addEventListener('click', downloadAll);
$('clear').addEventListener('click', clearAll);
$('sound-files').addEventListener('change', (event) => encodeFiles(event.target));
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
