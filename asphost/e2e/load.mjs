// The ASP host under load: many clients at once, each sending uploads of
// random shapes to a page that takes them with Velmora32.Process
// (pages/load.asp): text fields with repeated names, several files of 0
// bytes to 6 MB under shared field names, read in memory or direct to disk,
// and some uploads cut off in the middle of the body (closed or reset).
// Every answer is compared with what was sent, every stored file with the
// bytes sent for it; once the pages of the cut uploads have ended, no
// staging file (~velmora-*.tmp) may be left and a stored file must be whole.
// Then, one after the other, hostile clients hold the host while an
// ordinary client asks for a page on a new connection: slow bodies, heads
// without a body (128, then 2000), uploads stalling after their start,
// readers that never take a 50 MB file. Prints the ordinary client's answer
// time under each, and its ratio to the time with no attack in the same run
// (at most kPatienceMs is waited for).
// Run through with-host.sh:
//   node load.mjs [uploads (3000)] [clients at once (16)]
// Prints the figures and the host's memory before and after. A measurement:
// it fails only on a wrong answer or stored byte, a staging file left, or a
// host that stops answering.
import crypto from 'node:crypto';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { port, site, multipart, eventually, openConnections } from './lib.mjs';

const uploads = Number(process.argv[2] || 3000);
const clients = Number(process.argv[3] || 16);
if (!(uploads > 0 && clients > 0)) {
  console.error('usage: node load.mjs [uploads] [clients]');
  process.exit(2);
}
const pid = Number(process.env.ASPHOST_PID);
const stored = path.join(site, 'test', 'load');

function memoryKb() {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const field = (name) => Number(status.match(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm'))[1]);
  return { rss: field('VmRSS'), hwm: field('VmHWM') };
}

// The shapes come from a seeded generator, so a failing run can be repeated.
let state = 20261210;
function random() {
  state ^= state << 13; state >>>= 0; state ^= state >>> 17; state ^= state << 5; state >>>= 0;
  return state / 4294967296;
}
const below = (n) => Math.floor(random() * n);
const word = (length) => Array.from({ length }, () => 'abcdefghijklmnopqrstuvwxyz0123456789'[below(36)]).join('');

function fileSize() {
  const r = random();
  if (r < 0.1) return 0;
  if (r < 0.6) return below(100 * 1024);
  if (r < 0.9) return below(1024 * 1024);
  return below(6 * 1024 * 1024);
}

// One upload: its parts in body order, the answer the page must give, and
// whether (and how) the client leaves before the end.
function shape(id) {
  const kinds = [...Array(1 + below(6)).fill('text'), ...Array(below(5)).fill('file')];
  for (let i = kinds.length - 1; i > 0; i--) {
    const j = below(i + 1);
    [kinds[i], kinds[j]] = [kinds[j], kinds[i]];
  }
  let files = 0;
  const parts = kinds.map((kind) => kind === 'text'
    ? { name: `text-${below(3)}`, data: word(below(30)) }  // names repeat
    : { name: `file-${below(2)}`, filename: `f${id}-${files++}.bin`, data: crypto.randomBytes(fileSize()) });
  const values = new Map();
  for (const part of parts) {
    if (part.filename === undefined) values.set(part.name, [...(values.get(part.name) || []), part.data]);
  }
  const answer = [...values].map(([name, list]) => `var ${name}=${list.join('|')}\n`).join('') +
                 parts.filter((p) => p.filename !== undefined).map((p) => `file ${p.name} ${p.filename}\n`).join('');
  const boundary = `----load${id}x${word(12)}`;
  const body = multipart(boundary, parts);
  const cut = random() < 0.08 ? { at: below(body.length), reset: random() < 0.5 } : null;
  return { id, way: random() < 0.5 ? 'memory' : 'direct', parts, answer, boundary, body, cut };
}

// Sends the upload on a connection of its own; the answer, or "" for an
// upload cut off.
function send(upload) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    const chunks = [];
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('error', (error) => { if (!upload.cut) reject(error); });
    socket.on('close', () => resolve(Buffer.concat(chunks).toString('utf8')));
    socket.write(`POST /test/load.asp?way=${upload.way}&id=${upload.id} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n` +
                 `Content-Type: multipart/form-data; boundary=${upload.boundary}\r\n` +
                 `Content-Length: ${upload.body.length}\r\n\r\n`);
    if (!upload.cut) {
      socket.write(upload.body);
      return;
    }
    socket.write(upload.body.subarray(0, upload.cut.at), () => {
      if (upload.cut.reset) socket.resetAndDestroy();
      else socket.destroy();
    });
  });
}

const failures = [];
function fail(upload, what) {
  if (failures.length < 10) console.log(`load: upload ${upload.id} (${upload.way}): ${what}`);
  failures.push(upload.id);
}

// The files stored for an upload, each the exact bytes sent for its name;
// all of them when whole is set.
function checkStored(upload, whole) {
  const folder = path.join(stored, String(upload.id));
  const names = fs.existsSync(folder) ? fs.readdirSync(folder).sort() : [];
  const sent = new Map(upload.parts.filter((p) => p.filename !== undefined).map((p) => [p.filename, p.data]));
  if (whole && names.join() !== [...sent.keys()].sort().join()) fail(upload, `stored [${names}], sent [${[...sent.keys()]}]`);
  for (const name of names) {
    const data = sent.get(name);
    if (!data || !data.equals(fs.readFileSync(path.join(folder, name)))) fail(upload, `${name} is not what was sent`);
  }
  fs.rmSync(folder, { recursive: true, force: true });
  return names.length;
}

function stagingFiles(folder = site) {
  return fs.readdirSync(folder, { withFileTypes: true }).flatMap((entry) => {
    if (entry.isDirectory()) return stagingFiles(path.join(folder, entry.name));
    return entry.name.startsWith('~velmora-') ? [path.join(folder, entry.name)] : [];
  });
}

const before = memoryKb();
const started = Date.now();
let next = 0, sentBytes = 0, inMemory = 0;
const cutOff = [];
async function client() {
  while (next < uploads) {
    const upload = shape(next++);
    sentBytes += upload.cut ? upload.cut.at : upload.body.length;
    if (upload.way === 'memory') inMemory++;
    let reply;
    try {
      reply = await send(upload);
    } catch (error) {
      fail(upload, `the connection failed (${error.code || error.message})`);
      continue;
    }
    if (upload.cut) {
      cutOff.push(upload);
      continue;
    }
    const bodyAt = reply.indexOf('\r\n\r\n');
    // The page's text ends with the line break after its script.
    if (!reply.startsWith('HTTP/1.1 200 ') || reply.slice(bodyAt + 4) !== upload.answer + '\n') {
      fail(upload, `answered "${reply.slice(0, 300)}"`);
    }
    checkStored(upload, true);
  }
}
await Promise.all(Array.from({ length: clients }, client));
const seconds = (Date.now() - started) / 1000;

// The pages of the uploads cut off end by themselves.
let left = [];
try {
  await eventually(() => (left = stagingFiles()).length === 0, 'the staging files to go', 60000);
} catch {
  console.log(`load: staging files left: ${left.join(', ')}`);
}
let keptWhole = 0;
for (const upload of cutOff) keptWhole += checkStored(upload, false);
const after = memoryKb();

// --- The ordinary client under attack ---
const kPatienceMs = 150000;

// Milliseconds until a page arrives whole on a new connection, or what
// went wrong: no answer within kPatienceMs, or another one.
function ordinaryAnswer() {
  return new Promise((resolve) => {
    const started = Date.now();
    const socket = net.connect(port, '127.0.0.1');
    let text = '';
    const timer = setTimeout(() => { socket.destroy(); resolve(`no answer within ${kPatienceMs / 1000} s`); }, kPatienceMs);
    socket.on('data', (chunk) => { text += chunk.toString('latin1'); });
    socket.on('error', () => {});
    socket.on('close', () => {
      clearTimeout(timer);
      const ms = Date.now() - started;
      resolve(/^HTTP\/1\.1 200 [\s\S]*q=ordinary\n/.test(text) ? ms : `"${text.split('\r\n')[0]}" after ${ms} ms`);
    });
    socket.write('GET /test/form.asp?q=ordinary HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n');
  });
}

// n clients posting to a page that reads the body: the head and `sent`
// bytes of it, then a byte every `everyMs` (never when 0).
const slowBodies = (n, sent, everyMs) => async () => {
  const sockets = await openConnections(n);
  for (const socket of sockets) {
    socket.write(`POST /test/read.asp HTTP/1.1\r\nHost: x\r\nContent-Length: ${1 << 20}\r\n\r\n`);
    if (sent) socket.write(Buffer.alloc(sent, 120));
  }
  const trickle = everyMs ? setInterval(() => { for (const socket of sockets) socket.write('x'); }, everyMs) : null;
  return () => { clearInterval(trickle); for (const socket of sockets) socket.destroy(); };
};

const slowReaders = (n) => async () => {
  fs.writeFileSync(path.join(site, 'test', 'big.bin'), Buffer.alloc(50 << 20));
  const sockets = await openConnections(n);
  for (const socket of sockets) {
    socket.pause();  // takes nothing: the buffers fill, then the host waits
    socket.write('GET /test/big.bin HTTP/1.1\r\nHost: x\r\n\r\n');
  }
  return () => { for (const socket of sockets) socket.destroy(); };
};

const attacks = [
  ['64 clients sending a body byte every 20 s', slowBodies(64, 1, 20000)],
  ['128 connections with a complete head and no body', slowBodies(128, 0, 0)],
  ['2000 connections with a complete head and no body', slowBodies(2000, 0, 0)],
  ['64 uploads stalling after their first 20 KB', slowBodies(64, 20 * 1024, 0)],
  ['64 readers never taking a 50 MB file', slowReaders(64)],
];

const idleMs = [];
for (let i = 0; i < 5; i++) idleMs.push(await ordinaryAnswer());
const idle = Math.max(1, [...idleMs].sort((a, b) => a - b)[2]);
console.log(`load: an ordinary client's page with no attack: ${idle} ms (median of 5)`);
const unanswered = [];
for (const [name, start] of attacks) {
  const stop = await start();
  await new Promise((resolve) => setTimeout(resolve, 2000));  // the attack in place
  const ms = await ordinaryAnswer();
  stop();
  if (typeof ms === 'number') {
    console.log(`load: under ${name}: ${ms} ms (${(ms / idle).toFixed(1)} x the time with no attack)`);
  } else {
    console.log(`load: under ${name}: ${ms}`);
    unanswered.push(name);
  }
  await new Promise((resolve) => setTimeout(resolve, 3000));  // the host settles
}

const mb = (bytes) => (bytes / 1048576).toFixed(0);
console.log(`load: ${uploads} uploads from ${clients} clients at once (${inMemory} read in memory, ` +
            `${uploads - inMemory} direct; ${cutOff.length} cut off mid-body, which left ${keptWhole} whole files), ` +
            `${mb(sentBytes)} MB sent in ${seconds.toFixed(1)} s (${(uploads / seconds).toFixed(1)} uploads/s, ` +
            `${(sentBytes / 1048576 / seconds).toFixed(1)} MB/s)`);
console.log(`load: host memory before ${before.rss} KB, after ${after.rss} KB (VmRSS); peak ${after.hwm} KB (VmHWM)`);
console.log(`load: wrong answers or stored files: ${failures.length}; staging files left: ${left.length}`);
console.log(`load: attacks under which the ordinary client got no page: ${unanswered.length}`);
process.exit(failures.length || left.length || unanswered.length ? 1 : 0);
