// Two uploads at once, each under its own ProgressID: each progress page
// sees only its own upload, and each result page only its own files.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { connect, multipart, randomBytes, eventually, progressOf, sleep, tableRows } from './lib.mjs';

async function startUpload(id, name, size) {
  const boundary = '----' + id;
  const body = multipart(boundary, [{ name: 'file1', filename: name, data: randomBytes(size, size) }]);
  const socket = await connect();
  let reply = '';
  socket.on('data', (chunk) => { reply += chunk.toString('utf8'); });
  const done = new Promise((resolve) => socket.on('end', () => resolve(reply)));
  socket.write(`POST /upload.asp?ProgressID=${id} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n` +
               `Content-Type: multipart/form-data; boundary=${boundary}\r\nContent-Length: ${body.length}\r\n\r\n`);
  return { socket, body, done };
}

// The progress once it has stopped moving: the page has read what arrived
// of its body and waits for the rest.
async function settledProgress(id, atLeast) {
  return eventually(async () => {
    const first = Number(await progressOf(id));
    if (!(first >= atLeast)) return false;
    await sleep(300);
    return Number(await progressOf(id)) === first && first;
  }, `${id} to wait at ${atLeast}% or more`);
}

test('concurrent uploads publish separate progress', async () => {
  const size = 4 * 1024 * 1024;
  const a = await startUpload('20001', 'a.bin', size);
  const b = await startUpload('20002', 'b.bin', size);
  try {
    a.socket.write(a.body.subarray(0, a.body.length / 2));
    b.socket.write(b.body.subarray(0, b.body.length / 4));

    // Each page reads what has arrived of its own body, then waits for more.
    const progressA = await settledProgress('20001', 40);
    const progressB = await settledProgress('20002', 15);
    assert.ok(progressA >= 40 && progressA <= 50, `A at ${progressA}`);
    assert.ok(progressB >= 15 && progressB <= 25, `B at ${progressB}`);

    a.socket.end(a.body.subarray(a.body.length / 2));
    b.socket.end(b.body.subarray(b.body.length / 4));
    const [pageA, pageB] = await Promise.all([a.done, b.done]);
    assert.deepEqual(tableRows(pageA, 'files').map((row) => row[1]), ['a.bin']);
    assert.deepEqual(tableRows(pageB, 'files').map((row) => row[1]), ['b.bin']);
    assert.equal(await progressOf('20001'), '');
    assert.equal(await progressOf('20002'), '');
  } finally {
    a.socket.destroy();
    b.socket.destroy();
  }
});
