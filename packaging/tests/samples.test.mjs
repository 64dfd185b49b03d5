// Real form posts to every sample page of the release (run by samples.sh):
// good files stored byte for byte, a refused extension, a save that fails,
// an upload cut off by its client. After each, the upload folder holds
// exactly the files the page said it kept: nothing of a refused or failed
// file, and none of the component's temporary files.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

const base = process.env.SAMPLES_URL;
const uploads = process.env.SAMPLES_UPLOADS;
if (!base || !uploads) throw new Error('run through samples.sh');

const report = Buffer.from('quarterly figures\r\n');
const photo = Buffer.from([...Array(70000).keys()].map((i) => (i * 7919) % 251));
const page = Buffer.from('<% Response.Write "ran" %>\r\n');
// Longer than any file name Windows or Linux accepts: the save must fail,
// however the component reduces names.
const longName = `${'n'.repeat(300)}.txt`;

function storedFiles() { return fs.readdirSync(uploads).sort(); }
function emptyFolder() {
  for (const name of fs.readdirSync(uploads)) fs.rmSync(path.join(uploads, name));
}
// The table rows of an answer, as arrays of cell texts.
function rows(html) {
  return [...html.matchAll(/<tr>\s*((?:<td>[\s\S]*?<\/td>\s*)+)<\/tr>/g)].map((row) =>
    [...row[1].matchAll(/<td>([\s\S]*?)<\/td>/g)].map((cell) => cell[1].trim()));
}
async function post(pagePath, files, fields = { author: 'Ada' }) {
  const form = new FormData();
  for (const [name, value] of Object.entries(fields)) form.append(name, value);
  for (const [name, bytes, type] of files) form.append('file', new Blob([bytes], { type }), name);
  const response = await fetch(`${base}/${pagePath}?ProgressID=4711`, { method: 'POST', body: form });
  return { status: response.status, text: await response.text() };
}
async function progressOf(id) {
  return (await (await fetch(`${base}/progress.asp?ProgressID=${id}`)).text()).trim();
}
async function until(condition, what) {
  for (let i = 0; i < 300; i++) {
    if (await condition()) return;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  assert.fail(`waited 30 s for ${what}`);
}

// The pages that read the upload and save what they keep. Each kept file
// has its row: name, size, content type, the name it is stored under.
const pages = [
  { page: 'upload.asp', refused: /^\(refused: \.asp /, failed: 'row' },
  { page: 'upload-jscript.asp', refused: /^\(refused: \.asp /, failed: 'row' },
  // Written to disk while it arrives: a file that cannot take its name
  // fails the whole Read.
  { page: 'direct.asp', refused: /^\(deleted: \.asp /, failed: 'refused' },
];

for (const { page: pagePath, refused, failed } of pages) {
  test(`${pagePath}: good files stored, a page refused`, async () => {
    emptyFolder();
    const answer = await post(pagePath, [['report.txt', report, 'text/plain'],
      ['evil.asp', page, 'text/plain'], ['photo.png', photo, 'image/png']]);
    assert.equal(answer.status, 200, answer.text);
    const table = rows(answer.text);
    assert.deepEqual(table.map((row) => row[0]), ['report.txt', 'evil.asp', 'photo.png']);
    assert.deepEqual(table[0].slice(1), [String(report.length), 'text/plain', 'report.txt']);
    assert.deepEqual(table[2].slice(1), [String(photo.length), 'image/png', 'photo.png']);
    assert.match(table[1][3], refused);
    assert.deepEqual(storedFiles(), ['photo.png', 'report.txt']);
    assert.ok(fs.readFileSync(path.join(uploads, 'report.txt')).equals(report));
    assert.ok(fs.readFileSync(path.join(uploads, 'photo.png')).equals(photo));

    // A second upload of the same name never replaces the first.
    const again = await post(pagePath, [['report.txt', Buffer.from('other'), 'text/plain']]);
    assert.equal(rows(again.text)[0][3], 'report~1.txt');
    assert.ok(fs.readFileSync(path.join(uploads, 'report.txt')).equals(report));
  });

  test(`${pagePath}: a save that fails`, async () => {
    emptyFolder();
    const answer = await post(pagePath, [['report.txt', report, 'text/plain'],
      ['evil.asp', page, 'text/plain'], [longName, report, 'text/plain']]);
    if (failed === 'row') {
      // The page goes on: the other files are saved and the row says why.
      assert.equal(answer.status, 200, answer.text);
      const table = rows(answer.text);
      assert.equal(table.length, 3);
      assert.equal(table[0][3], 'report.txt');
      assert.match(table[2][3], /^\(not saved: .+\)$/s);
      assert.deepEqual(storedFiles(), ['report.txt']);
    } else {
      assert.equal(answer.status, 400, answer.text);
      assert.match(answer.text, /The upload was refused: .+/);
      // What was complete before the failure stays, but never a refused type.
      assert.deepEqual(storedFiles().filter((name) => name !== 'report.txt'), []);
    }
    // The answer points at the usual cause of a failing save.
    assert.match(answer.text, /needs Modify permission on the upload folder/);
  });

  test(`${pagePath}: an upload cut off by its client leaves nothing`, async () => {
    emptyFolder();
    const boundary = 'cut-upload-boundary';
    const part = (name, type, bytes) => Buffer.concat([Buffer.from(`--${boundary}\r\n` +
      `Content-Disposition: form-data; name="file"; filename="${name}"\r\nContent-Type: ${type}\r\n\r\n`),
      bytes, Buffer.from('\r\n')]);
    // A complete page, then a third of a 600 KB file: more than a block
    // of the upload object's reading.
    const big = Buffer.alloc(600 * 1024, 'x');
    const body = Buffer.concat([part('evil.asp', 'text/plain', page), part('big.txt', 'text/plain', big),
      Buffer.from(`--${boundary}--\r\n`)]);
    const id = String(Date.now());
    const socket = net.connect(Number(new URL(base).port), '127.0.0.1');
    await new Promise((resolve, reject) => { socket.on('connect', resolve); socket.on('error', reject); });
    socket.on('error', () => {});
    socket.write(`POST /${pagePath}?ProgressID=${id} HTTP/1.1\r\nHost: 127.0.0.1\r\n` +
      `Content-Type: multipart/form-data; boundary=${boundary}\r\nContent-Length: ${body.length}\r\n\r\n`);
    socket.write(body.subarray(0, 200 * 1024));
    // The page is reading once it has published a percentage; it has ended
    // once the value is gone with its upload object.
    await until(async () => /^\d+$/.test(await progressOf(id)), 'the page to read');
    socket.destroy();
    await until(async () => (await progressOf(id)) === '', 'the page to end');
    assert.deepEqual(storedFiles(), []);
  });
}

test('client.asp sends a stored file to upload.asp, and only a stored file', async () => {
  emptyFolder();
  await post('upload.asp', [['report.txt', report, 'text/plain']]);
  const sent = await (await fetch(`${base}/client.asp?file=report.txt`)).text();
  assert.match(sent, /<td id="sent">True<\/td>/);
  assert.match(sent, /<td id="code">200<\/td>/);
  assert.match(sent, /&lt;td&gt;report\.txt&lt;\/td&gt;\s*&lt;td&gt;19&lt;\/td&gt;/);
  assert.deepEqual(storedFiles(), ['report.txt', 'report~1.txt']);
  assert.ok(fs.readFileSync(path.join(uploads, 'report~1.txt')).equals(report));

  // The list of stored files is not asked for: Wine's JScript Enumerator
  // refuses the FileSystemObject's collections (IIS's does not).
  for (const name of ['..\\settings.ini', '../settings.ini', 'missing.txt']) {
    const refused = await (await fetch(`${base}/client.asp?file=${encodeURIComponent(name)}`)).text();
    assert.match(refused, /There is no stored file of that name/, name);
  }
});
