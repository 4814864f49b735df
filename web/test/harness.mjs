// SPDX-License-Identifier: MIT
// What the browser tests and the benchmark share: the built page served from
// this machine, and Debian's Chromium driven headless, with every request
// recorded so that one to another origin is noticed.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const webDir = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
export const repoDir = path.dirname(webDir);
export const siteDir = path.resolve(process.env.RECWAV_SITE || path.join(repoDir, 'build-web', 'site'));
export const singlePage = path.resolve(process.env.RECWAV_PAGE || path.join(repoDir, 'build-web', 'recwav.html'));

const types = {
  '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.wasm': 'application/wasm',
};

// A plain static server of the site folder, on a free port of the loopback.
export async function serveSite() {
  const server = createServer(async (request, response) => {
    const name = decodeURIComponent(new URL(request.url, 'http://localhost').pathname);
    const file = path.join(siteDir, name.endsWith('/') ? `${name}index.html` : name);
    try {
      if (!file.startsWith(siteDir + path.sep)) throw new Error('outside the site');
      const body = await readFile(file);
      response.writeHead(200, { 'content-type': types[path.extname(file)] || 'application/octet-stream' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { server, origin: `http://127.0.0.1:${server.address().port}` };
}

export async function launchBrowser() {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
      '--disable-sync', '--no-first-run', '--autoplay-policy=no-user-gesture-required'],
  });
}

// A page of a fresh context, opened at `address` (the served site's origin,
// or a file: URL), whose every request is recorded in `foreign` unless it
// stays where the page came from; such a request is also stopped. `init`, a
// function, runs in the page before its own scripts.
export async function openPage(browser, address, contextOptions = {}, init = null) {
  const context = await browser.newContext({ acceptDownloads: true, ...contextOptions });
  if (init) await context.addInitScript(init);
  const home = new URL(address);
  const foreign = [];
  const ownRequest = (url) => (home.protocol === 'file:' ? url.protocol === 'file:' : url.origin === home.origin);
  await context.route('**/*', (route) => {
    const url = route.request().url();
    if (ownRequest(new URL(url))) return route.continue();
    foreign.push(url);
    return route.abort();
  });
  const page = await context.newPage();
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  page.on('console', (message) => message.type() === 'error' && errors.push(message.text()));
  await page.goto(home.protocol === 'file:' ? address : `${home.origin}/`);
  await page.locator('body[data-ready="true"]').waitFor();
  return { context, page, foreign, errors };
}

// The bytes behind a link of the page (a blob: URL), read in the page.
export async function fetchInPage(page, href) {
  const base64 = await page.evaluate(async (url) => {
    const bytes = new Uint8Array(await (await fetch(url)).arrayBuffer());
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(text);
  }, href);
  return Buffer.from(base64, 'base64');
}
