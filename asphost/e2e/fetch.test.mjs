// Node's fetch with FormData and Blob: a second real client that builds its
// own multipart bodies and boundaries.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { base, uploads, randomBytes, tableRows } from './lib.mjs';

const decode = (html) => html.replace(/&#(\d+);/g, (_, n) => String.fromCharCode(Number(n)));

test('fields, repeated names and files from FormData reach the page and the disk', async () => {
  const big = randomBytes(5 * 1024 * 1024, 7);
  const form = new FormData();
  form.append('author', 'Grace');
  form.append('tag', 'one');
  form.append('tag', 'two');
  form.append('città', 'Zürich & Genève');
  form.append('file1', new Blob(['fetch says hi'], { type: 'text/plain' }), 'hi.txt');
  form.append('file2', new Blob([big], { type: 'application/octet-stream' }), 'big.dat');
  form.append('file2', new Blob([]), 'zero.txt');
  form.append('file2', new Blob(['€'], { type: 'text/plain' }), 'naïve €.txt');

  const response = await fetch(`${base}/upload.asp?ProgressID=30001`, { method: 'POST', body: form });
  assert.equal(response.status, 200);
  const html = decode(await response.text());

  assert.deepEqual(tableRows(html, 'variables').slice(0, 3), [
    ['author', 'Grace'],
    ['tag', 'one, two'],
    ['città', 'Zürich &amp; Genève'],
  ]);
  assert.deepEqual(tableRows(html, 'files'), [
    ['file1', 'hi.txt', '13', 'text/plain', 'txt', 'hi.txt'],
    ['file2', 'big.dat', String(big.length), 'application/octet-stream', 'dat', 'big.dat'],
    ['file2', 'zero.txt', '0', 'application/octet-stream', 'txt', 'zero.txt'],
    ['file2', 'naïve €.txt', '3', 'text/plain', 'txt', 'naïve €.txt'],
  ]);
  assert.ok(fs.readFileSync(path.join(uploads, 'big.dat')).equals(big));
  assert.equal(fs.readFileSync(path.join(uploads, 'hi.txt'), 'utf8'), 'fetch says hi');
  assert.equal(fs.statSync(path.join(uploads, 'zero.txt')).size, 0);
  assert.equal(fs.readFileSync(path.join(uploads, 'naïve €.txt'), 'utf8'), '€');
});

test('a Blob straight to disk in direct mode', async () => {
  const data = randomBytes(3 * 1024 * 1024 + 17, 9);
  const form = new FormData();
  form.append('description', 'from fetch');
  form.append('file', new Blob([data]), 'direct.bin');
  const response = await fetch(`${base}/direct-upload.asp`, { method: 'POST', body: form });
  const html = await response.text();
  assert.equal(response.status, 200);
  assert.deepEqual(tableRows(html, 'files'), [['direct.bin', String(data.length), 'application/octet-stream', 'direct.bin']]);
  assert.ok(fs.readFileSync(path.join(uploads, 'direct.bin')).equals(data));
});
