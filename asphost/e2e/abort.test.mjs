// A client that leaves in the middle of a direct-to-disk upload: the page
// ends, and releasing the upload object deletes the partial file.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { base, connect, multipart, randomBytes, eventually, progressOf, uploadedFiles } from './lib.mjs';

test('an aborted direct upload leaves no partial file', async () => {
  const boundary = '----abort' + Date.now();
  const body = multipart(boundary, [
    { name: 'description', data: 'will not finish' },
    { name: 'file', filename: 'partial.bin', data: randomBytes(20 * 1024 * 1024, 3) },
  ]);
  const socket = await connect();
  socket.on('error', () => {});
  socket.write(`POST /direct-upload.asp?ProgressID=10001 HTTP/1.1\r\nHost: x\r\n` +
               `Content-Type: multipart/form-data; boundary=${boundary}\r\nContent-Length: ${body.length}\r\n\r\n`);
  socket.write(body.subarray(0, 6 * 1024 * 1024));

  // The page is reading: the file exists and the progress is published.
  const progress = Number(await eventually(async () => {
    const value = await progressOf('10001');
    return Number(value) > 0 && value;
  }, 'the upload to start'));
  assert.ok(progress > 0 && progress < 40, `progress ${progress}`);
  // The part is written beside its name until it is complete.
  await eventually(() => uploadedFiles().some((name) => name.startsWith('~velmora-')),
                   'the direct-save file to appear');
  assert.ok(!uploadedFiles().includes('partial.bin'));

  socket.resetAndDestroy();

  // Once the page has ended (the progress value goes with the upload object)
  // no file is left behind.
  await eventually(async () => (await progressOf('10001')) === '', 'the page to end');
  assert.deepEqual(uploadedFiles(), []);

  // The host goes on serving.
  assert.equal((await fetch(`${base}/test/plain.txt`)).status, 200);
});
