// SPDX-License-Identifier: MIT
// Backups as users keep them, .zip, .tar and .tar.gz files, opened in the
// page's worker without holding more of them than one file at a time. An
// archive yields its files, in order, as { path, mtime, size, head(),
// bytes(), unreadable }: head() gives the first 512 bytes (fewer in a shorter file), bytes() the whole
// file, unreadable says why a file cannot be had. Names inside an archive
// are untrusted: they are cleaned to name rows and paths in the .zip the
// page makes, never anything else.
/* global fflate */

class ArchiveError extends Error {}

// The first bytes of a file that tell what it is: a sound, text, or other.
const headSize = 512;

async function bytesOf(blob, start, end) {
  return new Uint8Array(await blob.slice(start, end).arrayBuffer());
}

const u16 = (bytes, at) => bytes[at] | (bytes[at + 1] << 8);
const u32 = (bytes, at) => (u16(bytes, at) | (u16(bytes, at + 2) << 16)) >>> 0;
const u64 = (bytes, at) => u32(bytes, at) + u32(bytes, at + 4) * 2 ** 32;

// 'zip', 'gzip', 'tar' or null, from a file's first 512 bytes.
function archiveKind(head) {
  if (head[0] === 0x50 && head[1] === 0x4b && (head[2] === 3 || head[2] === 5) && head[3] === head[2] + 1) return 'zip';
  if (head[0] === 0x1f && head[1] === 0x8b) return 'gzip';
  return isTarHeader(head) ? 'tar' : null;
}

// No folder above the archive, no drive, no "..", no control characters:
// what is left of a name can only be a path inside.
function cleanPath(name) {
  const parts = name.replace(/\\/g, '/').split('/')
    .map((part) => part.replace(/[\u0000-\u001f\u007f]/g, '')) // eslint-disable-line no-control-regex
    .filter((part) => part !== '' && part !== '.' && part !== '..');
  if (/^[a-z]:$/i.test(parts[0] ?? '')) parts.shift();
  return parts.join('/') || 'unnamed';
}

function decodeName(bytes, utf8) {
  try {
    return new TextDecoder('utf-8', { fatal: !utf8 }).decode(bytes);
  } catch {
    return new TextDecoder('windows-1252').decode(bytes);
  }
}

const crcTable = Int32Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c;
});

function crc32(bytes) {
  let c = -1;
  for (let i = 0; i < bytes.length; ++i) c = crcTable[(c ^ bytes[i]) & 255] ^ (c >>> 8);
  return (c ^ -1) >>> 0;
}

// ---- .zip: the central directory, then each file where it lies ----

const dosTime = (date, time) => new Date(1980 + (date >> 9), ((date >> 5) & 15) - 1, date & 31, time >> 11,
  (time >> 5) & 63, (time & 31) * 2).getTime();

async function zipDirectory(blob) {
  const tailStart = Math.max(0, blob.size - 22 - 0xffff);
  const tail = await bytesOf(blob, tailStart, blob.size);
  let end = tail.length - 22;
  while (end >= 0 && u32(tail, end) !== 0x06054b50) --end;
  if (end < 0) throw new ArchiveError('it is cut short or damaged (no list of its files)');
  let count = u16(tail, end + 10);
  let size = u32(tail, end + 12);
  let offset = u32(tail, end + 16);
  // A large archive's numbers are in its zip64 record, which a locator just before points at.
  if ((count === 0xffff || size === 0xffffffff || offset === 0xffffffff) && end >= 20 &&
      u32(tail, end - 20) === 0x07064b50) {
    const record = await bytesOf(blob, u64(tail, end - 12), u64(tail, end - 12) + 56);
    [count, size, offset] = [u64(record, 32), u64(record, 40), u64(record, 48)];
  }
  return { count, directory: await bytesOf(blob, offset, offset + size) };
}

async function zipEntries(blob) {
  const { count, directory } = await zipDirectory(blob);
  const entries = [];
  for (let at = 0, n = 0; n < count; ++n) {
    if (u32(directory, at) !== 0x02014b50) throw new ArchiveError('its list of files is damaged');
    const flags = u16(directory, at + 8);
    const method = u16(directory, at + 10);
    const crc = u32(directory, at + 16);
    const fields = { csize: u32(directory, at + 20), usize: u32(directory, at + 24), local: u32(directory, at + 42) };
    const nameEnd = at + 46 + u16(directory, at + 28);
    const extraEnd = nameEnd + u16(directory, at + 30);
    const name = decodeName(directory.subarray(at + 46, nameEnd), (flags & 0x800) !== 0);
    let mtime = dosTime(u16(directory, at + 14), u16(directory, at + 12));
    for (let x = nameEnd; x + 4 <= extraEnd; x += 4 + u16(directory, x + 2)) {
      const id = u16(directory, x);
      if (id === 0x0001) {
        // zip64: the 64-bit values of the fields that read all ones, in this order.
        let value = x + 4;
        for (const key of ['usize', 'csize', 'local']) {
          if (fields[key] === 0xffffffff) fields[key] = u64(directory, value), value += 8;
        }
      } else if (id === 0x5455 && u16(directory, x + 2) >= 5 && (directory[x + 4] & 1)) {
        mtime = u32(directory, x + 5) * 1000;  // Unix time, where the DOS time is local and coarse
      }
    }
    at = extraEnd + u16(directory, at + 32);
    if (name.endsWith('/')) continue;  // a folder
    entries.push(zipEntry(blob, { path: cleanPath(name), mtime, flags, method, crc, ...fields }));
  }
  return entries;
}

function zipEntry(blob, { path, mtime, flags, method, crc, csize, usize, local }) {
  let unreadable = null;
  if (flags & 1) unreadable = 'encrypted: the page cannot open it';
  else if (method !== 0 && method !== 8) unreadable = `packed with a method the page cannot open (${method})`;
  const dataStart = async () => {
    const header = await bytesOf(blob, local, local + 30);
    if (u32(header, 0) !== 0x04034b50) throw new ArchiveError('the archive is damaged where this file lies');
    return local + 30 + u16(header, 26) + u16(header, 28);
  };
  return {
    path, mtime, size: usize, unreadable,
    async head() {
      const start = await dataStart();
      if (method === 0) return bytesOf(blob, start, start + Math.min(headSize, csize));
      let head = new Uint8Array(0);
      const inflater = new fflate.Inflate((chunk) => {
        if (head.length < headSize) head = Uint8Array.from([...head, ...chunk.subarray(0, headSize - head.length)]);
      });
      for (let at = 0; at < csize && head.length < headSize; at += 1 << 16) {
        inflater.push(await bytesOf(blob, start + at, start + Math.min(csize, at + (1 << 16))), at + (1 << 16) >= csize);
      }
      return head;
    },
    async bytes() {
      const start = await dataStart();
      const stored = await bytesOf(blob, start, start + csize);
      const bytes = method === 0 ? stored : fflate.inflateSync(stored, { out: new Uint8Array(usize) });
      if (bytes.length !== usize || crc32(bytes) !== crc) {
        throw new ArchiveError('the archive\'s copy of this file is damaged (its check does not match)');
      }
      return bytes;
    },
  };
}

// ---- .tar and .tar.gz: 512-byte headers, each followed by its file ----

// Bytes in order from a Blob, or from the gzipped stream in a Blob.
function blobStream(blob) {
  let at = 0;
  return {
    async readInto(target) {
      const bytes = await bytesOf(blob, at, at + target.length);
      target.set(bytes);
      at += bytes.length;
      return bytes.length;
    },
    async skip(count) { at += count; },
  };
}

function gunzipStream(blob) {
  const queue = [];
  let at = 0;
  let ended = false;
  const gunzip = new fflate.Gunzip((chunk, final) => {
    if (chunk.length > 0) queue.push(chunk);
    ended ||= final;
  });
  // Moves `count` bytes from the stream into `target` (or nowhere).
  async function move(count, target) {
    let moved = 0;
    while (moved < count) {
      if (queue.length === 0) {
        if (ended || at >= blob.size) break;
        const piece = await bytesOf(blob, at, at + (1 << 20));
        at += piece.length;
        try {
          gunzip.push(piece, at >= blob.size);
        } catch {
          throw new ArchiveError('it is cut short or damaged');
        }
        continue;
      }
      const chunk = queue[0];
      const taken = Math.min(chunk.length, count - moved);
      target?.set(chunk.subarray(0, taken), moved);
      moved += taken;
      if (taken === chunk.length) queue.shift();
      else queue[0] = chunk.subarray(taken);
    }
    return moved;
  }
  return { readInto: (target) => move(target.length, target), skip: (count) => move(count, null) };
}

async function read(stream, count) {
  const bytes = new Uint8Array(count);
  return bytes.subarray(0, await stream.readInto(bytes));
}

const text = (bytes) => new TextDecoder().decode(bytes);
const field = (header, at, length) => text(header.subarray(at, at + length)).replace(/\0.*$/s, '');

// Octal digits, or a big-endian number behind a 0x80 byte where they do not fit.
function tarNumber(header, at, length) {
  if (header[at] & 0x80) return header.subarray(at + 1, at + length).reduce((value, byte) => value * 256 + byte, 0);
  return parseInt(field(header, at, length).trim() || '0', 8);
}

function isTarHeader(header) {
  if (header.length < 512 || field(header, 257, 5) !== 'ustar') return false;
  let sum = 0;
  for (let i = 0; i < 512; ++i) sum += i >= 148 && i < 156 ? 32 : header[i];
  return sum === tarNumber(header, 148, 8);
}

// Extended header records, "LENGTH KEY=VALUE\n" each.
function paxRecords(bytes) {
  const records = {};
  for (let at = 0; at < bytes.length;) {
    const space = bytes.indexOf(0x20, at);
    const length = parseInt(text(bytes.subarray(at, space)), 10);
    if (space < 0 || !(length > 0)) break;
    const record = text(bytes.subarray(space + 1, at + length - 1));
    const equals = record.indexOf('=');
    records[record.slice(0, equals)] = record.slice(equals + 1);
    at += length;
  }
  return records;
}

async function* tarEntries(stream, first) {
  let longName = null;  // from a GNU 'L' header, for the next file
  let pax = {};         // from a pax 'x' header, for the next file
  for (let header = first; ; header = await read(stream, 512)) {
    if (header.length === 0 || header.every((byte) => byte === 0)) return;
    if (!isTarHeader(header)) throw new ArchiveError('it is cut short or damaged');
    const type = String.fromCharCode(header[156] || 0x30);
    const size = type === 'x' || type === 'L' ? tarNumber(header, 124, 12) : Number(pax.size ?? tarNumber(header, 124, 12));
    const padding = (512 - (size % 512)) % 512;
    if (type === 'L' || type === 'x') {
      const data = await read(stream, size);
      if (type === 'L') longName = text(data).replace(/\0.*$/s, '');
      else pax = paxRecords(data);
      await stream.skip(padding);
      continue;
    }
    const prefix = field(header, 263, 2) === '00' ? field(header, 345, 155) : '';
    const name = pax.path ?? longName ?? (prefix ? `${prefix}/` : '') + field(header, 0, 100);
    const mtime = Number(pax.mtime ?? tarNumber(header, 136, 12)) * 1000;
    longName = null;
    pax = {};
    if (type !== '0' && type !== '7') {  // folders, links, devices and global headers
      await stream.skip(size + padding);
      continue;
    }
    let taken = 0;
    let head = null;
    yield {
      path: cleanPath(name), mtime, size, unreadable: null,
      async head() {
        head ??= await read(stream, Math.min(headSize, size));
        taken = head.length;
        return head;
      },
      async bytes() {
        const bytes = new Uint8Array(size);
        bytes.set(await this.head());
        taken += await stream.readInto(bytes.subarray(taken));
        if (taken !== size) throw new ArchiveError('the archive is cut short inside this file');
        return bytes;
      },
    };
    await stream.skip(size - taken + padding);
  }
}

// The files in an archive of `kind` (see archiveKind); onCount(n) hears how
// many there are where that is known before they are read (in a .zip).
async function* archiveEntries(blob, kind, onCount) {
  if (kind === 'zip') {
    const entries = await zipEntries(blob);
    onCount(entries.length);
    yield* entries;
    return;
  }
  const stream = kind === 'tar' ? blobStream(blob) : gunzipStream(blob);
  const first = await read(stream, 512);
  if (!isTarHeader(first)) throw new ArchiveError('it is compressed, but holds no tar archive');
  yield* tarEntries(stream, first);
}
