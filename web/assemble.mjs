// SPDX-License-Identifier: MIT
// Puts the page together, for the web build:
//   node web/assemble.mjs SITE PAGE_FILE PAGE_SOURCES CORE_JS CORE_WASM FFLATE
// SITE gets the page to publish (index.html, style.css, app.js, the worker's
// one script recwav-worker.js and the WebAssembly beside it); PAGE_FILE gets
// the same page as one self-contained .html, the worker's script and the
// WebAssembly (as base64) inside it, that opens from the disk.
import { copyFileSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import path from 'node:path';

const [site, pageFile, sources, coreJs, coreWasm, fflate] = process.argv.slice(2);
const source = (name) => readFileSync(path.join(sources, name), 'utf8');

// In this order: fflate, the WebAssembly's loader, then the page's own
// scripts, which use what comes before them.
const fflateDir = path.join(path.dirname(fflate), '..');
const fflateVersion = JSON.parse(readFileSync(path.join(fflateDir, 'package.json'), 'utf8')).version;
const fflateCopyright = readFileSync(path.join(fflateDir, 'LICENSE'), 'utf8').match(/^Copyright.*$/m)[0];
const worker = [
  `// fflate ${fflateVersion}, MIT licence, ${fflateCopyright}\n${readFileSync(fflate, 'utf8')}`,
  readFileSync(coreJs, 'utf8'),
  source('core.js'),
  source('archives.js'),
  source('sounds.js'),
  source('worker.js'),
].join('\n;\n');

mkdirSync(site, { recursive: true });
for (const name of ['index.html', 'style.css', 'app.js']) writeFileSync(path.join(site, name), source(name));
writeFileSync(path.join(site, 'recwav-worker.js'), worker);
copyFileSync(coreWasm, path.join(site, 'recwav-core.wasm'));

// Inline, nothing may end its script element early.
function inline(text, what) {
  if (/<\/script|<!--/i.test(text)) throw new Error(`${what} holds "</script" or "<!--"`);
  return text;
}
const wasm = readFileSync(coreWasm).toString('base64');
const html = source('index.html');
const single = html
  .replace('<link rel="stylesheet" href="style.css">', () => `<style>\n${source('style.css')}</style>`)
  .replace('<script type="module" src="app.js"></script>', () =>
    `<script type="text/plain" id="worker-source">var recwavWasm = "${wasm}";\n` +
    `${inline(worker, 'the worker')}</script>\n  <script type="module">\n${inline(source('app.js'), 'app.js')}</script>`);
if (single === html || single.includes('src="app.js"') || single.includes('href="style.css"')) {
  throw new Error('index.html no longer has the lines that the single-file page replaces');
}
writeFileSync(pageFile, single);
