// SPDX-License-Identifier: MIT
// Sounds other than Record files, in the page's worker: what a file's first
// bytes make it, and the samples of a WAV file read as wavrec reads them, so
// that the same file gives the same Record file here as there. What is not
// such a WAV goes to the browser's own decoder, on the page's thread.

// The sound formats a browser may decode, by their first bytes.
const soundSignatures = [
  (h) => ascii(h, 0, 4) === 'RIFF' && ['WAVE', 'AVI '].includes(ascii(h, 8, 4)),
  (h) => ascii(h, 0, 4) === 'RF64' || ascii(h, 0, 4) === 'fLaC' || ascii(h, 0, 4) === 'OggS',
  (h) => ascii(h, 0, 4) === 'FORM' && ['AIFF', 'AIFC'].includes(ascii(h, 8, 4)),
  (h) => ascii(h, 0, 3) === 'ID3' || (h[0] === 0xff && (h[1] & 0xe0) === 0xe0),  // MPEG audio, ADTS AAC
  (h) => ascii(h, 4, 4) === 'ftyp',  // MP4, M4A
  (h) => h[0] === 0x1a && h[1] === 0x45 && h[2] === 0xdf && h[3] === 0xa3,  // WebM, Matroska
  (h) => ascii(h, 0, 4) === '.snd' || ascii(h, 0, 4) === 'caff',
];

function ascii(bytes, at, length) {
  return String.fromCharCode(...bytes.subarray(at, at + length));
}

const isSoundFile = (head) => head.length >= 4 && soundSignatures.some((matches) => matches(head));

// Text: no NUL and no control bytes in its first bytes but tabs, line ends,
// form feeds and escapes; any bytes above them, in UTF-8 or a code page.
function isText(head) {
  return head.every((byte) => byte >= 0x20 || byte === 9 || byte === 10 || byte === 12 || byte === 13 || byte === 27);
}

// Why a file that is neither a recording nor a sound is skipped.
function skipReason(head, size) {
  if (size === 0) return 'empty';
  return isText(head) ? 'text, not a sound' : 'not a sound the page knows';
}

const u16le = (bytes, at) => bytes[at] | (bytes[at + 1] << 8);
const u32le = (bytes, at) => (u16le(bytes, at) | (u16le(bytes, at + 2) << 16)) >>> 0;

// The format and data of a RIFF WAVE file of integer PCM, or null.
function wavPcm(bytes) {
  if (bytes.length < 12 || ascii(bytes, 0, 4) !== 'RIFF' || ascii(bytes, 8, 4) !== 'WAVE') return null;
  let format = null;
  for (let at = 12; at + 8 <= bytes.length;) {
    const id = ascii(bytes, at, 4);
    const size = u32le(bytes, at + 4);
    if (id === 'fmt ' && size >= 16) {
      let tag = u16le(bytes, at + 8);
      // WAVE_FORMAT_EXTENSIBLE names its coding in the first bytes of its GUID.
      if (tag === 0xfffe && size >= 40) tag = u16le(bytes, at + 32);
      format = { tag, channels: u16le(bytes, at + 10), rate: u32le(bytes, at + 12), bits: u16le(bytes, at + 22),
        align: u16le(bytes, at + 20) };
    } else if (id === 'data' && format !== null) {
      return { ...format, data: bytes.subarray(at + 8, Math.min(bytes.length, at + 8 + size)) };
    }
    at += 8 + size + (size & 1);
  }
  return null;
}

// A sample of `bits` at `at`, scaled as libsndfile hands such samples out as
// 16 bits: wider ones lose their low bits, 8-bit ones (unsigned) gain them.
function pcmSample(data, at, bits) {
  switch (bits) {
    case 8: return (data[at] - 128) << 8;
    case 16: return (data[at] | (data[at + 1] << 8)) << 16 >> 16;
    case 24: return (data[at + 1] | (data[at + 2] << 8)) << 16 >> 16;
    default: return (data[at + 2] | (data[at + 3] << 8)) << 16 >> 16;
  }
}

// Rounds half to even, as lrint does.
function roundEven(value) {
  const floor = Math.floor(value);
  const rest = value - floor;
  if (rest !== 0.5) return Math.round(value);
  return floor % 2 === 0 ? floor : floor + 1;
}

// A full-scale sample of `bits` as libsndfile's float, as wavrec mixes them.
function pcmFloat(data, at, bits) {
  switch (bits) {
    case 8: return (data[at] - 128) / 128;
    case 16: return ((data[at] | (data[at + 1] << 8)) << 16 >> 16) / 32768;
    case 24: return ((data[at] | (data[at + 1] << 8) | (data[at + 2] << 16)) << 8 >> 8) / 8388608;
    default: return (data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) | (data[at + 3] << 24)) / 2147483648;
  }
}

// The 8000 Hz samples wavrec codes from a WAV file of integer PCM at 8000 Hz:
// one channel as it is, several averaged in single precision as wavrec
// averages them. Null for any other file: the browser decodes those.
function wavSamples(bytes) {
  const wav = wavPcm(bytes);
  if (wav === null || wav.tag !== 1 || wav.rate !== 8000 || wav.channels < 1 || ![8, 16, 24, 32].includes(wav.bits) ||
      wav.align !== wav.channels * (wav.bits / 8)) return null;
  const width = wav.bits / 8;
  const frames = Math.floor(wav.data.length / wav.align);
  const samples = new Int16Array(frames);
  const f = Math.fround;
  for (let frame = 0, at = 0; frame < frames; ++frame) {
    if (wav.channels === 1) {
      samples[frame] = pcmSample(wav.data, at, wav.bits);
      at += width;
      continue;
    }
    let sum = f(0);
    for (let channel = 0; channel < wav.channels; ++channel, at += width) sum = f(sum + f(pcmFloat(wav.data, at, wav.bits)));
    const scaled = f(f(sum / wav.channels) * 32768);
    samples[frame] = scaled >= 32767.5 ? 32767 : scaled < -32768.5 ? -32768 : roundEven(scaled);
  }
  return samples;
}
