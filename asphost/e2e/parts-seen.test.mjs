// The upload object against busboy, a reader of RFC 7578, on the same
// requests: every variable and file the object reports must be one busboy
// reports too, so that a filter in front of a page (which reads the request
// as busboy does) has seen whatever the page gets. Bodies a client could
// craft to make two readers disagree, and ordinary ones that both must read.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import busboy from 'busboy';
import { base } from './lib.mjs';

const crlf = (...lines) => Buffer.from(lines.join('\r\n'), 'latin1');
const ordinary = crlf(
  '--XyZ', 'Content-Disposition: form-data; name="a"', '', '1',
  '--XyZ', 'Content-Disposition: form-data; name="photo"; filename="photo.jpg"', 'Content-Type: image/jpeg', '', 'JPEG',
  '--XyZ--', '');

// contentType null: no Content-Type header. seen: what the object must
// report (besides being a subset of busboy's): at least these lines.
// filesOnly: compare only the files, for names holding "=", which the
// object's list of "name=value" variables cuts at the "=".
const cases = [
  { title: 'an ordinary form', contentType: 'multipart/form-data; boundary=XyZ', body: ordinary,
    seen: ['var a 1', 'file photo photo.jpg SlBFRw%3D%3D'] },
  { title: 'a quoted boundary', contentType: 'multipart/form-data; boundary="XyZ"', body: ordinary,
    seen: ['var a 1', 'file photo photo.jpg SlBFRw%3D%3D'] },
  { title: 'a first section under another boundary', contentType: 'multipart/form-data; boundary=real',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="f"; filename="evil.asp"', '', '<% evil %>',
      '--real', 'Content-Disposition: form-data; name="f"; filename="photo.jpg"', '', 'JPEG',
      '--real--', '') },
  { title: 'a disposition inside another header', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="note"',
      'X-Note: Content-Disposition: form-data; name="note"; filename="evil2.asp"', '', 'hello',
      '--XyZ--', ''),
    seen: ['var note hello'] },
  { title: 'a second disposition', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="note"',
      'Content-Disposition: form-data; name="note"; filename="evil.asp"', '', 'hello',
      '--XyZ--', ''),
    seen: ['var note hello'] },
  { title: 'the closing delimiter first', contentType: 'multipart/form-data; boundary=XyZ',
    body: Buffer.concat([crlf('--XyZ--', ''), ordinary]) },
  { title: 'parts after the closing delimiter', contentType: 'multipart/form-data; boundary=XyZ',
    body: Buffer.concat([ordinary, crlf(
      '--XyZ', 'Content-Disposition: form-data; name="late"; filename="late.asp"', '', 'late', '--XyZ--', '')]),
    seen: ['var a 1', 'file photo photo.jpg SlBFRw%3D%3D'] },
  { title: 'a text body', contentType: 'text/plain', body: ordinary },
  { title: 'no Content-Type', contentType: null, body: ordinary },
  { title: 'a body cut after a delimiter', contentType: 'multipart/form-data; boundary=XyZ',
    body: ordinary.subarray(0, ordinary.length - 4), seen: ['var a 1', 'file photo photo.jpg SlBFRw%3D%3D'] },
  { title: 'a header glued to the delimiter', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="a"', '', '1',
      '--XyZContent-Disposition: form-data; name="f"; filename="evil.asp"', '', '<% evil %>',
      '--XyZ--', ''),
    seen: ['var a 1'] },
  { title: 'a bare LF or blanks after the delimiter', contentType: 'multipart/form-data; boundary=XyZ',
    body: Buffer.from(
      '--XyZ\r\nContent-Disposition: form-data; name="a"\r\n\r\n1\r\n' +
      '--XyZ\nContent-Disposition: form-data; name="f"; filename="evil.asp"\r\n\r\nevil\r\n' +
      '--XyZ  \r\nContent-Disposition: form-data; name="g"; filename="evil.asp"\r\n\r\nevil\r\n' +
      '--XyZ\r\n\r\nContent-Disposition: form-data; name="h"; filename="evil.asp"\r\n\r\nevil\r\n' +
      '--XyZ--\r\n', 'latin1'),
    seen: ['var a 1'] },
  { title: 'a lower-case disposition', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf('--XyZ', 'content-disposition: form-data; name="low"', '', 'v', '--XyZ--', '') },
  { title: 'a filename parameter inside a quoted value', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="a\\"; filename=\\"x.asp\\""', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="b; filename=y.asp"', '', 'evil',
      '--XyZ--', ''),
    filesOnly: true },
  { title: 'a disposition of another type or syntax', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: attachment; name="f"; filename="f.asp"', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="g"; filename="g.asp" x', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="h" filename="h.asp"', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="a"', '', '1',
      '--XyZ--', ''),
    seen: ['var a 1'] },
  { title: 'parameters in any case, unquoted or repeated', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; NAME="c"; FileName="c.txt"', '', 'C',
      '--XyZ', 'Content-Disposition: form-data; name=d; name="e"; filename=d.txt; filename="e.txt"', '', 'D',
      '--XyZ--', ''),
    seen: [`file c c.txt ${encodeURIComponent(btoa('C'))}`, `file d d.txt ${encodeURIComponent(btoa('D'))}`] },
  { title: 'control characters in a header', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="f"; filename="evil.asp\0.jpg"', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="g"; filename="g.asp"', 'X-Note: \x01', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="h\x7F"', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="a"', '', '1',
      '--XyZ--', ''),
    seen: ['var a 1'] },
  { title: 'header lines that are not CR LF fields', contentType: 'multipart/form-data; boundary=XyZ',
    body: Buffer.from(
      '--XyZ\r\nContent-Disposition: form-data; name="f"; filename="f.asp"\nX: 1\r\n\r\nevil\r\n' +
      '--XyZ\r\nContent-Disposition: form-data; name="g"; filename="g.asp"\n\nevil\r\n' +
      '--XyZ\r\nContent-Disposition: form-data; name="h"\r; filename="h.asp"\r\n\r\nevil\r\n' +
      '--XyZ\r\nContent-Disposition: form-data; name="i"\r\n ; filename="i.asp"\r\n\r\nevil\r\n' +
      '--XyZ\r\nContent-Disposition: form-data; name="j"\r\nno colon\r\n\r\nevil\r\n' +
      '--XyZ\r\n\r\nevil\r\n' +
      '--XyZ\r\nContent-Disposition: form-data; name="a"\r\n\r\n1\r\n' +
      '--XyZ--\r\n', 'latin1'),
    seen: ['var a 1'] },
  { title: 'a delimiter inside a header', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="a"', '', '1',
      '--XyZ', 'Content-Disposition: form-data; name="b"', '--XyZ', 'X: 1', '', '--junk',
      '--XyZ', 'Content-Disposition: form-data; name="f"; filename="evil.asp"', '', 'evil',
      '--XyZ--', ''),
    seen: ['var a 1'] },
  { title: 'a header at the limits', contentType: 'multipart/form-data; boundary=XyZ',
    body: Buffer.concat([
      // 16000 bytes: ours and busboy's.
      crlf('--XyZ', `Content-Disposition: form-data; name="a"${' '.repeat(16000 - 44)}`, '', '1'),
      // 16300 bytes in 91 lines: short of 16384, but not once busboy counts
      // two bytes more a line. busboy drops the part, we refuse the body.
      crlf('', '--XyZ', `Content-Disposition: form-data; name="f"; filename="f.txt"${' '.repeat(15878)}`,
           ...Array.from({ length: 90 }, () => 'X:'), '', 'F'),
      crlf('', '--XyZ--', '')]),
    seen: ['var a 1'] },
  { title: 'header names in any case, the first counting', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'content-disposition: form-data; name="a"',
      'Content-Disposition: form-data; name="f"; filename="evil.asp"', '', 'evil',
      '--XyZ', 'Content-Disposition: form-data; name="g"', 'content-type: application/octet-stream',
      'Content-Type: text/plain', '', 'data',
      '--XyZ--', '') },
  { title: 'application/octet-stream without a file name', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', 'Content-Disposition: form-data; name="a"', 'Content-Type: application/octet-stream', '', 'data',
      '--XyZ', 'Content-Disposition: form-data; name="b"', 'Content-Type: APPLICATION/Octet-Stream', '', 'data',
      '--XyZ', 'Content-Disposition: form-data; name="c"', '', '1',
      '--XyZ--', ''),
    seen: ['var a ', 'var b ', 'var c 1'] },
  { title: 'filename* (RFC 5987)', contentType: 'multipart/form-data; boundary=XyZ',
    body: crlf(
      '--XyZ', "Content-Disposition: form-data; name=\"a\"; filename*=UTF-8''r%C3%A9sum%C3%A9.txt", '', 'A',
      '--XyZ', "Content-Disposition: form-data; name=\"b\"; filename=\"b.asp\"; filename*=utf-8'en'%E2%82%AC.txt", '', 'B',
      '--XyZ', "Content-Disposition: form-data; name=\"c\"; filename*=iso-8859-1''%E9t%E9.txt", '', 'C',
      '--XyZ', "Content-Disposition: form-data; name=\"d\"; filename*=utf-8''; filename=\"d.txt\"", '', 'D',
      '--XyZ', "Content-Disposition: form-data; name=\"e\"; filename*=koi8-r''%C1; filename=\"e.asp\"", '', 'E',
      '--XyZ', "Content-Disposition: form-data; name=\"f\"; filename*=utf-16le''a%00", '', 'F',
      '--XyZ', "Content-Disposition: form-data; name=\"g\"; note*=\"x\"; filename=\"g.asp\"", '', 'G',
      '--XyZ--', ''),
    seen: [`file a r%C3%A9sum%C3%A9.txt ${encodeURIComponent(btoa('A'))}`,
           `file b %E2%82%AC.txt ${encodeURIComponent(btoa('B'))}`,
           `file c %C3%A9t%C3%A9.txt ${encodeURIComponent(btoa('C'))}`,
           `file d d.txt ${encodeURIComponent(btoa('D'))}`] },
];

// What busboy reports, in the object's line format; a parse that fails
// keeps what it reported before.
function busboyLines(contentType, body) {
  return new Promise((resolve) => {
    const lines = new Set();
    let parser;
    try {
      parser = busboy({ headers: contentType === null ? {} : { 'content-type': contentType } });
    } catch {
      resolve(lines);
      return;
    }
    const pending = [];
    parser.on('field', (name, value) => lines.add(`var ${encodeURIComponent(name)} ${encodeURIComponent(value)}`));
    parser.on('file', (name, stream, info) => {
      const chunks = [];
      // A file without a name is a file input left empty: its variable is "".
      const filename = info.filename ?? '';
      lines.add(`var ${encodeURIComponent(name)} ${encodeURIComponent(filename)}`);
      pending.push(new Promise((done) => {
        stream.on('data', (chunk) => chunks.push(chunk));
        stream.on('error', done);
        stream.on('end', () => {
          lines.add(`file ${encodeURIComponent(name)} ${encodeURIComponent(filename)} ` +
                    encodeURIComponent(Buffer.concat(chunks).toString('base64')));
          done();
        });
      }));
    });
    const end = () => Promise.all(pending).then(() => resolve(lines));
    parser.on('close', end);
    parser.on('error', end);
    parser.end(body);
  });
}

function post(contentType, body) {
  return new Promise((resolve, reject) => {
    const headers = { 'Content-Length': body.length };
    if (contentType !== null) headers['Content-Type'] = contentType;
    const request = http.request(`${base}/test/parts-seen.asp`, { method: 'POST', headers }, (response) => {
      const chunks = [];
      response.on('data', (chunk) => chunks.push(chunk));
      response.on('end', () => resolve({ status: response.statusCode, text: Buffer.concat(chunks).toString('utf8') }));
    });
    request.on('error', reject);
    request.end(body);
  });
}

for (const c of cases) {
  test(c.title, async () => {
    const theirs = await busboyLines(c.contentType, c.body);
    const reply = await post(c.contentType, c.body);
    assert.equal(reply.status, 200, reply.text);
    const ours = reply.text.split('\n').filter((line) => line && !line.startsWith('error ') &&
                                                  (!c.filesOnly || line.startsWith('file ')));
    for (const line of ours) assert.ok(theirs.has(line), `the object saw "${line}", busboy did not: ${[...theirs]}`);
    for (const line of c.seen || []) assert.ok(ours.includes(line), `the object missed "${line}": ${reply.text}`);
  });
}
