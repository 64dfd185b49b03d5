// What the end-to-end clients share: the host's address and site folder
// (set by with-host.sh), raw HTTP over a socket, and small helpers.
import net from 'node:net';
import fs from 'node:fs';
import path from 'node:path';

export const base = process.env.ASPHOST_URL;
export const site = process.env.ASPHOST_SITE;
export const work = process.env.ASPHOST_WORK;
if (!base || !site) throw new Error('run through with-host.sh: ASPHOST_URL and ASPHOST_SITE are not set');
export const port = Number(new URL(base).port);
export const uploads = path.join(site, 'uploads');

// Where the host is a 32-bit program under a CPU emulator (tools/with-qemu-i386
// sets VELMORA_I386_EMULATED), a stack overflow kills the whole host instead
// of raising the exception it contains: tests that overflow on purpose pass
// this as node:test's skip option, and are proven on hardware only.
export const stackOverflowKillsTheHost =
  process.env.VELMORA_I386_EMULATED === '1' && process.env.VELMORA_WINE_ARCH !== 'win64' &&
  'the 32-bit host runs under a CPU emulator here, which gives Wine no stack overflow exception ' +
    '(the overflow kills the host): proven on hardware only';

// Sends bytes on a new connection and collects everything until the host
// closes it (or the time runs out).
export function raw(bytes, { timeoutMs = 10000 } = {}) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const chunks = [];
    const timer = setTimeout(() => {
      socket.destroy();
      resolve({ text: Buffer.concat(chunks).toString('latin1'), closed: false });
    }, timeoutMs);
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('error', reject);
    socket.on('close', () => {
      clearTimeout(timer);
      resolve({ text: Buffer.concat(chunks).toString('latin1'), closed: true });
    });
    socket.write(bytes);
  });
}

// Opens a connection and hands it over for step-by-step writing.
export function connect() {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => resolve(socket));
    socket.on('error', reject);
  });
}

// n connections to the host, open at once; later errors on them (the host
// closing one it gave up on) are the caller's to observe, not to throw.
export function openConnections(n) {
  return Promise.all(Array.from({ length: n }, () => new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => resolve(socket));
    socket.once('error', reject);
  }))).then((sockets) => {
    for (const socket of sockets) socket.on('error', () => {});
    return sockets;
  });
}

// A multipart/form-data body built by hand, for clients that send it in steps.
export function multipart(boundary, parts) {
  const chunks = [];
  for (const part of parts) {
    let head = `--${boundary}\r\nContent-Disposition: form-data; name="${part.name}"`;
    if (part.filename !== undefined) head += `; filename="${part.filename}"\r\nContent-Type: ${part.type || 'application/octet-stream'}`;
    chunks.push(Buffer.from(head + '\r\n\r\n'), Buffer.from(part.data), Buffer.from('\r\n'));
  }
  chunks.push(Buffer.from(`--${boundary}--\r\n`));
  return Buffer.concat(chunks);
}

export function randomBytes(size, seed = 1) {
  const data = Buffer.alloc(size);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < size; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    data[i] = x & 0xff;
  }
  return data;
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Waits until check() is truthy, polling; throws after timeoutMs.
export async function eventually(check, what, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

export async function progressOf(id) {
  const response = await fetch(`${base}/progress.asp?ProgressID=${encodeURIComponent(id)}`);
  return (await response.text()).trim();
}

export function uploadedFiles() {
  return fs.existsSync(uploads) ? fs.readdirSync(uploads).sort() : [];
}

// The cells of the table with that id in a page, row by row.
export function tableRows(html, id) {
  const table = html.match(new RegExp(`<table id="${id}">([\\s\\S]*?)</table>`));
  if (!table) return [];
  return [...table[1].matchAll(/<tr>([\s\S]*?)<\/tr>/g)]
    .map((row) => [...row[1].matchAll(/<td[^>]*>([\s\S]*?)<\/td>/g)].map((cell) => cell[1].trim()))
    .filter((cells) => cells.length > 0);
}
