// SPDX-License-Identifier: MIT
// The page's worker: converts the files the page hands it, opening archives
// on the way, codes sounds into Record files and makes the .zip of the WAV
// files, so that the page's own thread only shows what comes back. The page
// starts a few of them and spreads its files over them; each runs its jobs
// one after another, in the order they came.
/* global ArchiveError, archiveEntries, archiveKind, bytesOf, cleanPath, convertRecord, core, coreReady,
   encodeRecord, fflate, fileKind, isSoundFile, readable, blobBuilder, skipReason, voiceNotes, wavSamples,
   adpcmPlanner, codeSpan, assembleAdpcm */

const post = (message, transfer = []) => self.postMessage(message, transfer);
let clearedBelow = 0;  // batches of conversions below this number were cleared from the page
let nextId = 1;

// Plain words for what went wrong outside the converter.
function plainError(error) {
  if (error instanceof RangeError) return 'the browser gives this page too little memory for it';
  return error.message;
}

// A file the page does not convert, and why.
const skip = (job, path, reason, archive) => post({ type: 'skipped', job, path, reason, archive });

// A loose file, or one inside an archive: a Record file or a Series 3 sound
// is converted, a document's voice notes are, another sound is handed to the page to be offered as a Record
// file, and anything else is skipped with its reason.
async function convertOne(job, source, path, mtime, archive) {
  if (source.unreadable) {
    skip(job, path, source.unreadable, archive);
    return;
  }
  // A damaged entry is one file lost, not the rest of its archive and batch.
  let head;
  try {
    head = await source.head();
  } catch (error) {
    skip(job, path, `unreadable (${plainError(error)})`, archive);
    return;
  }
  const kind = fileKind(head);
  if (kind === 'other' && archive !== null && archiveKind(head) !== null) {
    skip(job, path, 'an archive inside an archive, which the page does not open', archive);
    return;
  }
  if (kind === 'document') {
    await convertNotes(job, source, path, mtime, archive);
    return;
  }
  if (kind === 'other') {
    if (isSoundFile(head)) {
      const file = await source.bytes().then((bytes) => (bytes instanceof Blob ? bytes : new Blob([bytes])),
        (error) => ({ error: plainError(error) }));
      if (file.error) skip(job, path, `unreadable (${file.error})`, archive);
      else post({ type: 'sound', job, path, mtime, archive, file });
    } else {
      skip(job, path, skipReason(head, source.size), archive);
    }
    return;
  }
  if (archive !== null && await handedOver(job, source, path, mtime, archive)) return;
  await convertRecordFile(job, source.bytes(), path, mtime, archive);
}

// Each voice note in a document becomes a row of its own, named as recscan
// names its WAV: PATH/Notes, PATH/Notes~2...
async function convertNotes(job, source, path, mtime, archive) {
  let notes;
  try {
    notes = await voiceNotes(await source.bytes());
  } catch (error) {
    skip(job, path, `unreadable (${plainError(error)})`, archive);
    return;
  }
  if (notes === null) {
    skip(job, path, plainError(new RangeError()), archive);
  } else if (notes.length === 0) {
    skip(job, path, 'a document without voice notes', archive);
  }
  for (const [index, note] of (notes ?? []).entries()) {
    await convertRecordFile(job, Promise.resolve(note), `${path}/Notes${index === 0 ? '' : `~${index + 1}`}`, mtime,
      archive);
  }
}

// Converts a Record file or a Series 3 sound, `bytes` a promise of its
// bytes, into a row of the page.
async function convertRecordFile(job, bytes, path, mtime, archive) {
  const id = `${job}.${nextId++}`;
  post({ type: 'started', job, id, path, archive });
  let result;
  try {
    result = await convertRecord(await bytes, (fraction) => post({ type: 'progress', id, fraction }));
  } catch (error) {
    result = { outcome: 'failed', message: plainError(error) };
  }
  if (result.outcome === 'converted' && !(await readable(result.wav))) {
    result = { ...result, outcome: 'noRoom', wav: null };
  }
  post({ type: 'converted', job, id, path, mtime, ...result });
}

// An archive's recordings are shared with the other workers: each is offered
// to the page, which takes it when another worker is idle, so that no more
// than one a worker is ever in flight. True when it was taken, or could not
// be read and says so in its row.
const offers = new Map();  // offer → how the page's answer is heard
let nextOffer = 1;

async function handedOver(job, source, path, mtime, archive) {
  const offer = nextOffer++;
  const taken = await new Promise((resolve) => {
    offers.set(offer, resolve);
    post({ type: 'offer', job, offer });
  });
  if (!taken) return false;
  let bytes = null;
  let failure = null;
  try {
    bytes = await source.bytes();
  } catch (error) {
    failure = error;
  }
  post({ type: 'entry', offer, bytes, path, mtime, archive }, bytes ? [bytes.buffer] : []);
  if (failure) await convertRecordFile(job, Promise.reject(failure), path, mtime, archive);
  return true;
}

// A recording another worker read from its archive.
const convertEntry = ({ job, bytes, path, mtime, archive }) =>
  convertRecordFile(job, Promise.resolve(bytes), path, mtime, archive);

const looseFile = (file) => ({
  size: file.size, unreadable: null, head: () => bytesOf(file, 0, 512), bytes: async () => file,
});

// A batch of files chosen or dropped together: `done of total` files, where
// an archive counts as the files found in it so far.
async function convertBatch({ job, files }) {
  let done = 0;
  let total = files.length;
  const count = (reading) => post({ type: 'count', job, done, total, reading });
  for (const { file, path } of files) {
    if (job < clearedBelow) return;
    count(null);
    let kind;
    try {
      kind = archiveKind(await bytesOf(file, 0, 512));
    } catch (error) {
      skip(job, cleanPath(path), `unreadable (${plainError(error)})`, null);
      ++done;
      continue;
    }
    if (kind === null) {
      await convertOne(job, looseFile(file), cleanPath(path), file.lastModified, null);
      ++done;
      continue;
    }
    // The archive gives way to its files, counted as they come unless known before.
    --total;
    let known = false;
    // Its files go where they would be had the archive been unpacked beside it.
    const folder = path.includes('/') ? path.slice(0, path.lastIndexOf('/') + 1) : '';
    try {
      for await (const entry of archiveEntries(file, kind, (entries) => { known = true; total += entries; })) {
        if (job < clearedBelow) return;
        if (!known) ++total;
        count(path);
        await convertOne(job, entry, cleanPath(folder + entry.path), entry.mtime, path);
        ++done;
      }
    } catch (error) {
      // Whatever stops an archive (damage the reader or the inflater finds),
      // the batch goes on with the next file.
      const message = error instanceof ArchiveError ? error.message : `damaged archive (${plainError(error)})`;
      post({ type: 'archiveRefused', job, path, message });
    }
  }
  count(null);
}

// ---- The .zip of the WAV files ----

// The same name twice in one .zip would hide a file.
function uniquePaths(paths) {
  const seen = new Set();
  return paths.map((path) => {
    let unique = path;
    for (let n = 2; seen.has(unique.toLowerCase()); ++n) unique = path.replace(/(\.[^./]*)?$/, ` (${n})$1`);
    seen.add(unique.toLowerCase());
    return unique;
  });
}

// A .zip entry's times: the DOS time it must have (local, 1980 to 2099, in
// two-second steps), and the exact Unix time in an extended timestamp field.
function zipTimes(mtime) {
  const earliest = new Date(1980, 0, 1, 0, 0, 2).getTime();
  const latest = new Date(2099, 11, 31, 23, 59, 58).getTime();
  const times = { mtime: Math.min(Math.max(mtime, earliest), latest) };
  const seconds = Math.floor(mtime / 1000);
  if (seconds >= 0 && seconds < 2 ** 31) {
    const field = new Uint8Array(5);
    field[0] = 1;  // the modification time alone
    new DataView(field.buffer).setUint32(1, seconds, true);
    times.extra = { 0x5455: field };
  }
  return times;
}

async function makeZip({ job, files }) {
  // fflate writes no zip64 records: at most 65535 entries and 4 GB.
  if (files.length > 0xffff) {
    throw new Error('over 65,535 WAV files are more than one .zip can hold: clear some and zip the rest');
  }
  if (files.reduce((sum, file) => sum + file.blob.size + 200, 0) > 0xffffffff) {
    throw new Error('over 4 GB of WAV files is more than one .zip can hold: download them one by one');
  }
  const zipped = blobBuilder('application/zip');
  let failure = null;
  const zip = new fflate.Zip((error, chunk) => {
    if (error) failure = error;
    else zipped.add(chunk);
  });
  const paths = uniquePaths(files.map((file) => file.path));
  for (const [index, { blob, mtime }] of files.entries()) {
    const entry = Object.assign(new fflate.ZipPassThrough(paths[index]), zipTimes(mtime));
    zip.add(entry);
    // PCM barely compresses: stored, a slice at a time.
    for (let at = 0; ; at += 16 << 20) {
      const end = Math.min(blob.size, at + (16 << 20));
      entry.push(await bytesOf(blob, at, end), end === blob.size);
      if (end === blob.size) break;
    }
  }
  zip.end();
  const result = zipped.finish();
  if (failure || !(await readable(result))) throw new Error('the browser has no room left for the .zip');
  post({ type: 'zipped', job, zip: result });
}

// ---- Sounds to Record files ----

// The samples a file gives wavrec, where this worker can have them as wavrec
// does: a Record file's, a Series 3 sound's (with what its header says of its
// playing) and a WAV file's of 8000 Hz integer PCM. Null for any other sound.
async function samplesOf(file) {
  const bytes = new Uint8Array(await file.arrayBuffer());
  const kind = fileKind(bytes.subarray(0, 512));
  if (kind === 'other' || kind === 'document') {
    const samples = wavSamples(bytes);
    return samples && { samples, repeats: 0, gap: 0 };
  }
  const heard = await convertRecord(bytes);
  if (heard.outcome !== 'converted') return { refused: heard };
  const wav = new Uint8Array(await heard.wav.arrayBuffer());
  const samples = new Int16Array(wav.buffer.slice(44));
  if (kind === 'record') return { samples, repeats: 0, gap: 0 };
  // The Series 3 header's numbers are big-endian: plays (0 and 1 both once)
  // and the silence after each, in 1/32 s.
  const view = new DataView(bytes.buffer, bytes.byteOffset);
  return { samples, repeats: Math.max(view.getUint16(24), 1) - 1, gap: view.getUint16(22) * 31250 };
}

// The samples of a sound given as a file or as samples, with its header's
// { repeats, gap }; or, posted already, why there are none.
async function soundOf(job, { file, samples, repeats = 0, gap = 0 }) {
  if (!file) return { samples, repeats, gap };
  const had = await samplesOf(file);
  if (had === null) {
    post({ type: 'encoded', job, outcome: 'needsDecoding' });
    return null;
  }
  if (had.refused) {
    post({ type: 'encoded', job, ...had.refused });
    return null;
  }
  return had;
}

// Offers a Record file made, read back as the device will play it.
async function offerRecord(job, bytes) {
  const record = new Blob([bytes], { type: 'application/octet-stream' });
  let heard = await convertRecord(bytes);
  if (heard.outcome === 'converted' && !((await readable(heard.wav)) && (await readable(record)))) {
    heard = { ...heard, outcome: 'noRoom', wav: null };
  }
  post({ type: 'encoded', job, record, recordSize: bytes.length, ...heard });
}

// Codes a sound into a Record file, a part at a time so that its row shows
// how far it is, and reads it back as the device will play it. A sound given
// as a file whose samples only the browser can decode comes back as
// 'needsDecoding'.
async function encodeSound(message) {
  const sound = await soundOf(message.job, message);
  if (sound === null) return;
  const { samples, repeats, gap } = sound;
  const { job, coding } = message;
  await offerRecord(job, encodeRecord(samples, coding, { repeats, gap },
    (fraction) => post({ type: 'codingProgress', job, fraction })));
}

// The first part of an ADPCM sound coded over several workers: its blocks
// planned, posted with their samples as they are decided, for the page to
// hand out a span at a time while the rest is planned.
async function planSound(message) {
  const sound = await soundOf(message.job, message);
  if (sound === null) return;
  const { job } = message;
  const { samples, repeats, gap } = sound;
  const planner = adpcmPlanner(message.coding);
  let handed = 0;
  const hand = (blocks) => {
    const count = blocks.reduce((sum, length) => sum + length, 0);
    const part = samples.slice(handed, handed + count);
    handed += count;
    post({ type: 'plannedPart', job, samples: part, blocks, total: samples.length }, [part.buffer, blocks.buffer]);
  };
  for (let at = 0; at < samples.length; at += 1 << 15) hand(planner.part(samples.subarray(at, at + (1 << 15))));
  hand(planner.end());
  post({ type: 'planned', job, outcome: 'planned', repeats, gap });
}

function codeSoundSpan({ job, samples, blocks, coding }) {
  const bytes = codeSpan(samples, blocks, coding);
  post({ type: 'spanCoded', job, bytes }, [bytes.buffer]);
}

async function assembleSound({ job, sound, blocks, repeats, gap }) {
  await offerRecord(job, assembleAdpcm(sound, blocks, { repeats, gap }));
}

const jobs = {
  convert: convertBatch, convertEntry, zip: makeZip, encode: encodeSound, plan: planSound, codeSpan: codeSoundSpan,
  assemble: assembleSound,
};
let queue = coreReady.then(() => post({ type: 'ready' }),
  (error) => post({ type: 'broken', message: String(error?.message ?? error) }));

self.onmessage = ({ data }) => {
  if (data.type === 'clear') {
    clearedBelow = data.job + 1;
    return;
  }
  if (data.type === 'offerAnswer') {
    offers.get(data.offer)(data.take);
    offers.delete(data.offer);
    return;
  }
  queue = queue.then(() => {
    if (core === null) throw new Error('the converter could not start in this browser');
    return jobs[data.type](data);
  }).then(() => post({ type: 'finished', job: data.job }),
    (error) => post({ type: 'failed', job: data.job, message: plainError(error) }));
};
