// Two uploads at once, each under its own ProgressID: each progress page
// sees only its own upload, and each result page only its own files.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { connect, multipart, randomBytes, eventually, progressOf, tableRows } from './lib.mjs';

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

test('concurrent uploads publish separate progress', async () => {
  const size = 4 * 1024 * 1024;
  const a = await startUpload('upload-A', 'a.bin', size);
  const b = await startUpload('upload-B', 'b.bin', size);
  a.socket.write(a.body.subarray(0, a.body.length / 2));
  b.socket.write(b.body.subarray(0, b.body.length / 4));

  // Each page reads what has arrived of its own body, then waits for more.
  const progressA = Number(await eventually(async () => {
    const value = Number(await progressOf('upload-A'));
    return value >= 40 && value;
  }, 'upload A to reach about half'));
  const progressB = Number(await eventually(async () => {
    const value = Number(await progressOf('upload-B'));
    return value >= 15 && value;
  }, 'upload B to reach about a quarter'));
  assert.ok(progressA >= 40 && progressA <= 50, `A at ${progressA}`);
  assert.ok(progressB >= 15 && progressB <= 25, `B at ${progressB}`);
  assert.equal(Number(await progressOf('upload-A')), progressA, 'A waits for its client');

  a.socket.end(a.body.subarray(a.body.length / 2));
  b.socket.end(b.body.subarray(b.body.length / 4));
  const [pageA, pageB] = await Promise.all([a.done, b.done]);
  assert.deepEqual(tableRows(pageA, 'files').map((row) => row[1]), ['a.bin']);
  assert.deepEqual(tableRows(pageB, 'files').map((row) => row[1]), ['b.bin']);
  assert.equal(await progressOf('upload-A'), '');
  assert.equal(await progressOf('upload-B'), '');
});
