// What one page can do to the others and to the host: overflow its stack,
// put an object of its own apartment into Application, call an upload
// object another page is reading with, or name another page's Application
// item as its ProgressID. Each must cost that page alone.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { base, connect, multipart, randomBytes, sleep, progressOf } from './lib.mjs';

async function get(path, init) {
  const response = await fetch(base + path, { ...init, signal: AbortSignal.timeout(30000) });
  return { status: response.status, text: (await response.text()).trim() };
}

function post(path, body, boundary) {
  return get(path, {
    method: 'POST',
    headers: { 'Content-Type': `multipart/form-data; boundary=${boundary}` },
    body,
  });
}

const lines = (answer) => answer.text.split(/\r?\n/).map((line) => line.trimEnd());

// A request on a connection of its own, kept alive; resolves with the answer
// and whether the host closed the connection after it.
async function exchange(request, timeoutMs = 30000) {
  const socket = await connect();
  return new Promise((resolve) => {
    const chunks = [];
    const done = (closed) => {
      clearTimeout(timer);
      socket.destroy();
      resolve({ text: Buffer.concat(chunks).toString('latin1'), closed });
    };
    const timer = setTimeout(() => done(false), timeoutMs);
    socket.on('data', (chunk) => chunk && chunks.push(chunk));
    socket.on('end', () => done(true));
    socket.on('error', () => done(true));
    socket.write(request);
  });
}

test('a page that overflows its stack ends alone: 500, its connection closed, its lock released', async () => {
  // writes=1: each level writes Application too, so the stack would run out
  // inside the host's objects, which hold locks meanwhile.
  // Those fail in the objects before the stack is gone: an ordinary script
  // error, on a connection that may stay.
  for (const writes of [false, true, false, true]) {
    const answer = await exchange(`GET /test/isolation/overflow.asp${writes ? '?writes=1' : ''} HTTP/1.1\r\n` +
      `Host: x\r\n${writes ? 'Connection: close\r\n' : ''}\r\n`);
    assert.match(answer.text, /^HTTP\/1\.1 500 /, `writes ${writes}: ${answer.text.slice(0, 200)}`);
    assert.match(answer.text, /Out of stack space/);
    assert.ok(answer.closed, 'the connection closes after the answer');
    // Every later page that writes Application goes on.
    const counter = await get('/test/counter.asp');
    assert.equal(counter.status, 200);
  }
  // Several at once, while ordinary pages are served.
  const answers = await Promise.all([
    ...Array.from({ length: 4 }, () => get('/test/isolation/overflow.asp')),
    get('/test/counter.asp'),
  ]);
  assert.deepEqual(answers.map((a) => a.status), [500, 500, 500, 500, 200]);
  assert.equal((await get('/test/counter.asp')).status, 200);
});

test('Application refuses objects bound to an apartment, as IIS does; Session keeps them', async () => {
  const refused =
    'refused 80004005 Application object: ASP 0197: Cannot add object with apartment model behavior to the application intrinsic object';
  const cases = [
    ['dictionary', 'application', refused],
    ['class', 'application', refused],
    ['array', 'application', refused],
    ['component', 'application', 'stored component'],
    ['dictionary', 'session', 'stored dictionary'],
    ['class', 'session', 'stored class'],
  ];
  for (const [what, store, expected] of cases) {
    const answer = await get(`/test/isolation/apartment.asp?what=${what}&store=${store}`);
    assert.deepEqual(answer, { status: 200, text: expected }, `${what} in ${store}`);
  }
  // Pages on other threads at once use what Application holds.
  const answers = await Promise.all(Array.from({ length: 6 }, () => get('/test/shared/items.asp')));
  for (const answer of answers) assert.equal(answer.status, 200);
});

// An upload object kept in Application: one page reads with it, publishing
// progress (which waits while another page holds Application.Lock), while
// another page holds Application.Lock and calls it.
test('no deadlock between an upload object reading and Application.Lock, in either order', async () => {
  assert.deepEqual(await get('/test/isolation/keep-reader.asp'), { status: 200, text: 'kept' });
  const boundary = 'reader-boundary';
  const body = multipart(boundary, [
    { name: 'a', data: 'x' },
    { name: 'f', filename: 'f.bin', data: randomBytes(300000, 5) },
  ]);
  const startReader = async (id, firstBytes) => {
    const socket = await connect();
    const chunks = [];
    socket.on('data', (chunk) => chunks.push(chunk));
    const closed = new Promise((resolve) => socket.on('close', resolve));
    socket.write(`POST /test/isolation/reader.asp?id=${id} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n` +
      `Content-Type: multipart/form-data; boundary=${boundary}\r\nContent-Length: ${body.length}\r\n\r\n`);
    socket.write(body.subarray(0, firstBytes));
    return {
      rest: () => socket.write(body.subarray(firstBytes)),
      answer: () => closed.then(() => Buffer.concat(chunks).toString('latin1')),
    };
  };
  const busy = 'failed: The object is reading another request.';

  // The read first: it holds the object while it waits for the body.
  let reader = await startReader(50001, 150000);
  await sleep(1500);
  const started = Date.now();
  assert.deepEqual(await get('/test/isolation/locked-call.asp?wait=0'), { status: 200, text: busy });
  assert.ok(Date.now() - started < 10000, 'the call failed at once');
  reader.rest();
  assert.match(await reader.answer(), /^HTTP\/1\.1 200 [^]*read 2\s*$/);

  // Application.Lock first: the read waits for it to publish, the lock holder
  // calls the object.
  const locked = get('/test/isolation/locked-call.asp?wait=3000');
  await sleep(500);
  reader = await startReader(50002, body.length);
  assert.deepEqual(await locked, { status: 200, text: busy });
  assert.match(await reader.answer(), /^HTTP\/1\.1 200 [^]*read 2\s*$/);

  // Nothing reading: the call goes in.
  assert.deepEqual(await get('/test/isolation/locked-call.asp?wait=0'), { status: 200, text: 'count 2' });
  assert.equal((await get('/test/counter.asp')).status, 200);
});

test('ProgressID never overwrites nor removes an Application item the upload object did not write', async () => {
  const boundary = 'progress-boundary';
  const body = multipart(boundary, [{ name: 'f', filename: 'f.bin', data: randomBytes(250000, 9) }]);
  const cases = [
    ['number', 'Integer 42'],
    ['text', 'String site text'],
    ['object', 'IHTTP'],
  ];
  for (const [seed, held] of cases) {
    const answer = await post(`/test/isolation/progress-under.asp?id=item-${seed}&seed=${seed}`, body, boundary);
    assert.equal(answer.status, 200, answer.text);
    assert.deepEqual(lines(answer), [`before ${held}`, `read ${held}`, `released ${held}`], seed);
  }
  // An item of no one's: progress comes and goes as ever.
  const answer = await post('/test/isolation/progress-under.asp?id=item-free', body, boundary);
  assert.deepEqual(lines(answer), ['before Empty', 'read Long 100', 'released Empty']);

  // The demo's progress page shows no item but an upload's digits.
  assert.equal(await progressOf('item-number'), '');
  assert.equal(await progressOf('hits'), '');
});

test('an upload object left in Session takes its progress item away at the end of its page', async () => {
  const boundary = 'session-boundary';
  const body = multipart(boundary, [{ name: 'f', filename: 'f.bin', data: randomBytes(150000, 2) }]);
  const answer = await post('/test/shared/progress.asp?id=60001&store=session&how=keep', body, boundary);
  assert.equal(answer.status, 200, answer.text);
  assert.deepEqual(lines(answer), ['progress 100', 'p IProcess', 'z kept', 'progress after [100]']);
  assert.equal(await progressOf('60001'), '');
});
