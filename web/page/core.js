// SPDX-License-Identifier: MIT
// The project's C++ (reader, decoders, WAVE writer, encoders) as WebAssembly,
// over whole files in memory, and the browser's own decoding and resampling
// that bring any sound to the device's 8000 samples a second.
import createRecwavCore from './recwav-core.js';

const core = await createRecwavCore();

export const sampleRate = 8000;
export const wavHeaderSize = 44;

// The outcomes that entry.cpp reports, in its order.
const outcomes = ['converted', 'skipped', 'refused', 'readFailed', 'outOfMemory'];
const codings = ['', 'A-law', 'ADPCM'];

// What recwav says for each failure, word for word. They are typed again here
// rather than handed over by entry.cpp: recwav prints them as printf formats
// in its own report, which stays as it is, and a string out of WebAssembly
// would cost the page more code than these four lines.
export function failureMessage(outcome, name) {
  switch (outcome) {
    case 'refused': return 'input file is not correct format';
    case 'readFailed': return `could not read input file ${name}`;
    default: return 'could not allocate buffer';
  }
}

// The WAV is named after the input: a .rec extension is replaced, any other
// name (backups often have none) gains .wav.
export function wavName(name) {
  return name.replace(/\.rec$/i, '') + '.wav';
}

// Copies `bytes` into the module's memory for the length of `use(address)`.
function withBytes(bytes, use) {
  const address = core._malloc(Math.max(bytes.length, 1));
  if (address === 0) throw new Error(failureMessage('outOfMemory'));
  core.HEAPU8.set(bytes, address);
  try {
    return use(address);
  } finally {
    core._free(address);
  }
}

// Whether a file whose first bytes are `head` (12 are enough) is a Record file.
export function isRecordFile(head) {
  return withBytes(head, (address) => core._recwav_is_record_file(address, head.length) === 1);
}

// Converts a whole file as recwav would. Returns { outcome, coding, declared,
// decoded, wav }, where wav (the WAV file's bytes) is set only when converted.
export function convertRecord(bytes) {
  return withBytes(bytes, (address) => {
    const at = core._recwav_convert(address, bytes.length) >>> 2;
    const words = core.HEAPU32.slice(at, at + 6);
    const outcome = outcomes[words[0]];
    const result = { outcome, coding: codings[words[1]], declared: words[2], decoded: words[3], wav: null };
    if (outcome === 'converted') {
      result.wav = core.HEAPU8.slice(words[4], words[4] + words[5]);
    }
    core._recwav_release();
    return result;
  });
}

// Codes 8000 Hz samples (an Int16Array) as a Record file, 'alaw' or 'adpcm',
// with the encoders and the writer that wavrec uses. Returns its bytes.
export function encodeRecord(samples, coding) {
  const bytes = new Uint8Array(samples.buffer, samples.byteOffset, samples.byteLength);
  return withBytes(bytes, (address) => {
    const at = core._recwav_encode(address, samples.length, coding === 'adpcm' ? 2 : 1) >>> 2;
    const [recordAddress, size, , checked] = core.HEAPU32.slice(at, at + 4);
    const record = checked === 1 ? core.HEAPU8.slice(recordAddress, recordAddress + size) : null;
    core._recwav_release_recording();
    if (record === null) throw new Error('internal error: the Record file made does not read back as coded');
    return record;
  });
}

// The samples of a WAV file that convertRecord made (16-bit, little-endian).
export function wavSamples(wav) {
  return new Int16Array(wav.buffer, wav.byteOffset + wavHeaderSize, (wav.length - wavHeaderSize) >> 1);
}

// Any sound the browser can decode, mixed down to mono and resampled to
// 8000 Hz by the browser, as 16-bit samples.
export async function soundToDeviceSamples(fileBytes) {
  // decodeAudioData takes the buffer over, so it gets a copy.
  const decoder = new OfflineAudioContext(1, 1, sampleRate);
  const decoded = await decoder.decodeAudioData(fileBytes.slice(0));
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
