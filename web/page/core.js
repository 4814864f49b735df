// SPDX-License-Identifier: MIT
// The project's C++ (reader, decoders, WAVE writer, encoders) as WebAssembly,
// in the page's worker. A script of the worker's one file (see assemble.mjs),
// after the WebAssembly's loader: the single-file page puts the WebAssembly
// itself before it, as base64 in recwavWasm.
/* global createRecwavCore, recwavWasm */

let core = null;
const coreReady = createRecwavCore(typeof recwavWasm === 'string'
  ? { wasmBinary: Uint8Array.from(atob(recwavWasm), (c) => c.charCodeAt(0)) } : {})
  .then((module) => { core = module; });

// The outcomes that entry.cpp reports, in its order.
const outcomes = ['converted', 'skipped', 'refused', 'readFailed', 'outOfMemory', 'converting'];
const codings = ['', 'A-law', 'ADPCM', '', 'Series 3 A-law'];
// The codings a sound can be made into, in entry.cpp's order from 1.
const encodings = ['alaw', 'adpcm', 'adpcm-best'];

// What a file whose first bytes are `head` is: 'record', 'series3',
// 'document' (an EPOC one, which may hold voice notes) or 'other'.
function fileKind(head) {
  const address = core._malloc(Math.max(head.length, 1));
  core.HEAPU8.set(head, address);
  const kind = ['other', 'record', 'series3', 'document'][core._recwav_file_kind(address, head.length)];
  core._free(address);
  return kind;
}

// A Blob made from parts as they come, folded together every 64 MB so that
// the parts' memory goes to the browser's blob store early.
function blobBuilder(type) {
  let blob = new Blob([], { type });
  let parts = [];
  let pending = 0;
  return {
    add(part) {
      parts.push(part);
      pending += part.length;
      if (pending >= 64 << 20) {
        blob = new Blob([blob, ...parts], { type });
        parts = [];
        pending = 0;
      }
    },
    finish: () => new Blob([blob, ...parts], { type }),
  };
}

// Whether the browser really holds `blob`: when its store is full, a Blob is
// made all the same, and only reading it fails.
async function readable(blob) {
  try {
    await blob.slice(Math.max(0, blob.size - 1)).arrayBuffer();
    return true;
  } catch {
    return false;
  }
}

// The waveform's outline: the lowest and highest sample of each of at most
// 8192 columns, [low, high, low, high, ...]. Columns are sized from the
// declared count, and merged in pairs when a sound runs longer.
function peakCollector(expected) {
  let perColumn = Math.max(1, Math.ceil(expected / 4096));
  let peaks = [];
  let inColumn = 0;
  return {
    add(samples) {
      for (let i = 0; i < samples.length;) {
        if (inColumn === 0) peaks.push(32767, -32768);
        const end = i + Math.min(perColumn - inColumn, samples.length - i);
        inColumn += end - i;
        let low = peaks[peaks.length - 2];
        let high = peaks[peaks.length - 1];
        for (; i < end; ++i) {
          if (samples[i] < low) low = samples[i];
          if (samples[i] > high) high = samples[i];
        }
        peaks[peaks.length - 2] = low;
        peaks[peaks.length - 1] = high;
        if (inColumn < perColumn) continue;
        inColumn = 0;
        if (peaks.length === 2 * 8192) {
          const merged = [];
          for (let pair = 0; pair < peaks.length; pair += 4) {
            merged.push(Math.min(peaks[pair], peaks[pair + 2]), Math.max(peaks[pair + 1], peaks[pair + 3]));
          }
          peaks = merged;
          perColumn *= 2;
        }
      }
    },
    finish: () => Int16Array.from(peaks),
  };
}

// Copies `source` (a Blob or a Uint8Array) into the module's memory, a Blob
// in 16 MB slices so that it is never held twice. Returns its address, or 0
// when the memory cannot grow that far.
async function copyIn(source) {
  const size = source.size ?? source.length;
  const address = core._malloc(Math.max(size, 1));
  if (address === 0) return 0;
  if (!(source instanceof Blob)) {
    core.HEAPU8.set(source, address);
    return address;
  }
  for (let at = 0; at < size; at += 16 << 20) {
    core.HEAPU8.set(new Uint8Array(await source.slice(at, at + (16 << 20)).arrayBuffer()), address + at);
  }
  return address;
}

// Converts a whole file (a Blob or a Uint8Array) as recwav would. Returns
// { outcome, coding, declared, decoded, wav, peaks }: wav is the WAV file as
// a Blob, set only when converted; onProgress(fraction) follows the samples.
async function convertRecord(source, onProgress = () => {}) {
  const address = await copyIn(source);
  if (address === 0) return { outcome: 'outOfMemory', coding: '', declared: 0, decoded: 0 };
  try {
    const wav = blobBuilder('audio/wav');
    let words = readConversion(core._recwav_convert_begin(address, source.size ?? source.length));
    const result = { outcome: outcomes[words[0]], coding: codings[words[1]], declared: words[2], decoded: 0 };
    const peaks = peakCollector(result.declared);
    let header = true;
    while (result.outcome === 'converting') {
      const part = core.HEAPU8.slice(words[3], words[3] + words[4]);
      wav.add(part);
      if (!header) {
        peaks.add(new Int16Array(part.buffer));
        result.decoded += part.length / 2;
        onProgress(result.declared > 0 ? Math.min(1, result.decoded / result.declared) : 0);
      }
      header = false;
      words = readConversion(core._recwav_convert_step());
      result.outcome = outcomes[words[0]];
    }
    if (result.outcome === 'converted') {
      const last = core.HEAPU8.slice(words[3], words[3] + words[4]);
      wav.add(last);
      peaks.add(new Int16Array(last.buffer));
      result.decoded += last.length / 2;
      result.wav = wav.finish();
      result.peaks = peaks.finish();
    }
    return result;
  } finally {
    core._recwav_convert_end();
    core._free(address);
  }
}

function readConversion(at) {
  return core.HEAPU32.slice(at >>> 2, (at >>> 2) + 5);
}

// The voice notes embedded in a document (a Blob or a Uint8Array), found as
// recscan finds them: each the bytes of a Record file of its own, which
// converts to the WAV recscan writes of it. Null when the memory cannot grow
// that far.
async function voiceNotes(source) {
  const address = await copyIn(source);
  if (address === 0) return null;
  try {
    const count = core._recwav_find_notes(address, source.size ?? source.length);
    return Array.from({ length: count }, (_, index) => {
      const at = core._recwav_note(index) >>> 2;
      const [noteAddress, size] = core.HEAPU32.slice(at, at + 2);
      return core.HEAPU8.slice(noteAddress, noteAddress + size);
    });
  } finally {
    core._recwav_release_notes();
    core._free(address);
  }
}

// Codes 8000 Hz samples (an Int16Array) as a Record file, 'alaw', 'adpcm' or
// 'adpcm-best', with the encoders and the writer that wavrec uses (the last
// as wavrec --best), its sound header saying { repeats, gap } as wavrec's
// would. Coded two seconds at a time, onProgress(fraction) hearing of each.
// Returns its bytes.
function encodeRecord(samples, coding, { repeats = 0, gap = 0 } = {}, onProgress = () => {}) {
  const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
  const address = core._malloc(Math.max(bytes.length, 1));
  if (address === 0) throw new RangeError('could not allocate buffer');
  core.HEAPU8.set(bytes, address);
  try {
    core._recwav_encode_begin(samples.length, encodings.indexOf(coding) + 1, repeats, gap);
    const part = 16000;
    for (let at = 0; at < samples.length; at += part) {
      core._recwav_encode_part(address + 2 * at, Math.min(part, samples.length - at));
      onProgress(Math.min(1, (at + part) / samples.length));
    }
    const at = core._recwav_encode_end() >>> 2;
    const [recordAddress, size, , checked] = core.HEAPU32.slice(at, at + 4);
    const record = checked === 1 ? core.HEAPU8.slice(recordAddress, recordAddress + size) : null;
    core._recwav_release_recording();
    if (record === null) throw new Error('internal error: the Record file made does not read back as coded');
    return record;
  } finally {
    core._free(address);
  }
}

// ---- One long sound's ADPCM over several workers ----

// Copies a typed array into the module's memory; 0 when it cannot grow.
function copyArrayIn(array) {
  const address = core._malloc(Math.max(array.byteLength, 1));
  if (address !== 0) core.HEAPU8.set(new Uint8Array(array.buffer, array.byteOffset, array.byteLength), address);
  return address;
}

function withCopies(arrays, use) {
  const addresses = arrays.map(copyArrayIn);
  try {
    if (addresses.includes(0)) throw new RangeError('could not allocate buffer');
    return use(...addresses);
  } finally {
    for (const address of addresses) if (address !== 0) core._free(address);
  }
}

// The ADPCM blocks of 8000 Hz samples planned as wavrec plans them for
// 'adpcm' or 'adpcm-best', the samples given a part (an Int16Array) at a
// time: part() and end() return the lengths of the blocks each decided, a
// Uint32Array, the blocks holding the samples in order.
function adpcmPlanner(coding) {
  core._recwav_plan_begin(encodings.indexOf(coding) + 1);
  const lengths = (at) => {
    const [blocksAddress, count] = core.HEAPU32.slice(at >>> 2, (at >>> 2) + 2);
    return core.HEAPU32.slice(blocksAddress >>> 2, (blocksAddress >>> 2) + count);
  };
  return {
    part: (samples) => withCopies([samples], (address) => lengths(core._recwav_plan_part(address, samples.length))),
    end: () => {
      const blocks = lengths(core._recwav_plan_end());
      core._recwav_release_plan();
      return blocks;
    },
  };
}

// The bytes of a span of a plan: the blocks of the lengths in `blocks`, their
// samples one after another in `samples`.
function codeSpan(samples, blocks, coding) {
  return withCopies([samples, blocks], (samplesAddress, blocksAddress) => {
    const at = core._recwav_code_span(samplesAddress, blocksAddress, blocks.length, encodings.indexOf(coding) + 1) >>> 2;
    const [bytesAddress, size] = core.HEAPU32.slice(at, at + 2);
    return core.HEAPU8.slice(bytesAddress, bytesAddress + size);
  });
}

// The Record file of a plan's spans, their bytes joined in order in `sound`,
// with the sound header's { repeats, gap }: encodeRecord's very bytes.
function assembleAdpcm(sound, blocks, { repeats = 0, gap = 0 } = {}) {
  return withCopies([sound, blocks], (soundAddress, blocksAddress) => {
    const at = core._recwav_assemble_adpcm(soundAddress, sound.length, blocksAddress, blocks.length, repeats, gap) >>> 2;
    const [recordAddress, size, , checked] = core.HEAPU32.slice(at, at + 4);
    const record = checked === 1 ? core.HEAPU8.slice(recordAddress, recordAddress + size) : null;
    core._recwav_release_recording();
    if (record === null) throw new Error('internal error: the Record file made does not read back as coded');
    return record;
  });
}
