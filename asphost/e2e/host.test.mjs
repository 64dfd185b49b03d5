// The host itself: static files, pages, errors, bad input, keep-alive and
// request bodies, through real HTTP clients.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { base, raw, connect, eventually, uploads } from './lib.mjs';

const get = (path, init) => fetch(base + path, { redirect: 'manual', ...init });

test('static files are sent with their type; HEAD sends the head only', async () => {
  let response = await get('/test/plain.txt');
  assert.equal(response.status, 200);
  assert.equal(response.headers.get('content-type'), 'text/plain; charset=utf-8');
  assert.equal(await response.text(), 'static text\n');
  response = await get('/style.css');
  assert.match(response.headers.get('content-type'), /^text\/css/);
  const head = await raw('HEAD /test/plain.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n');
  assert.match(head.text, /^HTTP\/1\.1 200 OK\r\n/);
  assert.match(head.text, /Content-Length: 12\r\n/);
  assert.ok(head.text.endsWith('\r\n\r\n'), 'no body after the head');
});

test('missing, hidden and private paths answer 404; folders redirect and serve their default page', async () => {
  fs.mkdirSync(uploads, { recursive: true });
  fs.writeFileSync(path.join(uploads, 'a.txt'), 'secret');
  const paths = ['/nothing.asp', '/nothing.txt', '/test/hidden.inc', '/uploads/', '/UPLOADS/a.txt', '/test/%2e%2e/uploads/a',
    // Windows would drop the trailing dot or blank and open the file.
    '/test/hidden.inc.', '/test/hidden.inc%20', '/test/echo.asp.', '/uploads./a.txt', '/uploads%20/a.txt'];
  for (const target of paths) {
    const response = await get(target);
    assert.equal(response.status, 404, target);
    assert.doesNotMatch(await response.text(), /secret|Response\.Write|TotalBytes/);
  }
  let response = await get('/test');
  assert.equal(response.status, 301);
  assert.equal(response.headers.get('location'), '/test/');
  response = await get('/');
  assert.equal(response.status, 200);
  assert.match(await response.text(), /<h1>Upload files<\/h1>/);
});

test('a page that throws gives a 500 page with the file, line and description', async () => {
  const cases = [
    ['/test/error.asp', /Microsoft VBScript runtime error/, /Division by zero/, /\/test\/error\.asp<\/code>, line 7/],
    ['/test/syntax.asp', /Microsoft VBScript compilation error/, /Syntax error/, /\/test\/syntax\.asp<\/code>, line 3/],
    ['/test/jscript.asp?name=boom', /Microsoft JScript runtime error/, /Object expected/, /\/test\/jscript\.asp<\/code>, line 8/],
    ['/test/component-error.asp', /Velmora32\.Process '8000ffff'/, /Index out of range or no file uploaded\./, /line 4/],
    // Option Explicit moves to the script's top; the lines after it keep theirs.
    ['/test/explicit-error.asp', /Division by zero/, /\/test\/explicit-error\.asp<\/code>, line 5/],
  ];
  for (const [path, ...patterns] of cases) {
    const response = await get(path);
    assert.equal(response.status, 500, path);
    const html = await response.text();
    for (const pattern of patterns) assert.match(html, pattern, path);
    assert.doesNotMatch(html, /after/);
  }
  assert.equal((await get('/test/plain.txt')).status, 200, 'the host keeps serving');
});

test('JScript pages and include files', async () => {
  assert.match(await (await get('/test/jscript.asp?name=x')).text(), /<p>x1, x2, x3<\/p>/);
  assert.match(await (await get('/test/include.asp')).text(), /Hello, world! AGAIN/);
});

test('Request.Form, QueryString and ServerVariables', async () => {
  const response = await get('/test/form.asp?q=x%26y', {
    method: 'POST',
    headers: { 'content-type': 'application/x-www-form-urlencoded', 'user-agent': 'e2e' },
    body: 'a=1&a=2&text=h%C3%A9llo+there',
  });
  assert.equal(await response.text(), 'q=x&y\na=1, 2\ncount(a)=2\ntext=héllo there\nmethod=POST\nua=e2e\n');
});

test('Response: Redirect, End, Status, AddHeader, Flush, Buffer', async () => {
  let response = await get('/test/response.asp?do=redirect');
  assert.equal(response.status, 302);
  assert.equal(response.headers.get('location'), '/test/form.asp?q=moved');
  assert.doesNotMatch(await response.text(), /not reached/);

  assert.equal(await (await get('/test/response.asp?do=end')).text(), 'one');

  response = await get('/test/response.asp?do=status');
  assert.equal(response.status, 418);
  assert.equal(response.headers.get('x-velmora'), 'yes');
  assert.equal(await response.text(), 'short and stout');

  response = await get('/test/response.asp?do=inject');
  assert.equal(response.status, 500);
  assert.equal(response.headers.get('injected'), null);

  const flushed = await raw('GET /test/response.asp?do=flush HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n');
  assert.match(flushed.text, /Transfer-Encoding: chunked/);
  assert.match(flushed.text, /\r\n\r\n6\r\nfirst;\r\n6\r\nsecond\r\n0\r\n\r\n$/);
  assert.equal(await (await get('/test/response.asp?do=unbuffered')).text(), 'a;b');
});

test('bad requests get 400, 411 and 431, and the host keeps serving', async () => {
  const cases = [
    ['GARBAGE\r\n\r\n', 400],
    ['GET /test/plain.txt\r\n\r\n', 400],
    ['GET /test/plain.txt HTTP/1.1\r\n\r\n', 400],  // no Host
    ['GET /test/plain.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n', 400],
    ['POST /test/echo.asp HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n', 411],
    [`GET /${'a'.repeat(20000)} HTTP/1.1\r\nHost: x\r\n\r\n`, 431],
  ];
  for (const [request, status] of cases) {
    const reply = await raw(request);
    assert.match(reply.text, new RegExp(`^HTTP/1\\.1 ${status} `), JSON.stringify(request.slice(0, 60)));
    assert.ok(reply.closed, 'the connection is closed after a bad request');
  }
  assert.equal((await get('/test/plain.txt')).status, 200);
});

test('keep-alive: several requests on one connection', async () => {
  const reply = await raw(
    'GET /test/plain.txt HTTP/1.1\r\nHost: x\r\n\r\n' +
    'GET /test/response.asp?do=end HTTP/1.1\r\nHost: x\r\n\r\n' +
    'GET /test/plain.txt HTTP/1.0\r\n\r\n');
  assert.equal(reply.text.match(/HTTP\/1\.1 200 OK/g).length, 3);
  assert.ok(reply.closed, 'HTTP/1.0 without keep-alive closes');
});

test('a body longer than declared is not read into the page nor run as a request', async () => {
  const reply = await raw('POST /test/echo.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhelloEXTRA BYTES\r\n\r\n');
  const responses = reply.text.split(/(?=HTTP\/1\.1 )/);
  assert.equal(responses.length, 2);
  assert.match(responses[0], /^HTTP\/1\.1 200 OK[\s\S]*\r\n\r\n5:hello$/);
  assert.match(responses[1], /^HTTP\/1\.1 400 /);
  assert.ok(reply.closed);
});

test('an unread body is drained before the next request, or the connection is closed', async () => {
  const small = 'x'.repeat(100000);
  const reply = await raw(
    `POST /test/ignore-body.asp HTTP/1.1\r\nHost: x\r\nContent-Length: ${small.length}\r\n\r\n${small}` +
    'GET /test/plain.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n');
  assert.match(reply.text, /ignored 100000/);
  assert.match(reply.text, /static text/);

  // Too long to drain: the answer comes, then the connection closes.
  const socket = await connect();
  let text = '';
  socket.on('data', (chunk) => { text += chunk.toString('latin1'); });
  const closed = new Promise((resolve) => socket.on('close', resolve));
  socket.on('error', () => {});
  socket.write('POST /test/ignore-body.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 50000000\r\n\r\n');
  socket.write(Buffer.alloc(65536, 120));
  await closed;
  assert.match(text, /^HTTP\/1\.1 200 OK[\s\S]*Connection: close[\s\S]*ignored 50000000$/);
});

test('Expect: 100-continue is answered when the page reads the body, and only then', async () => {
  // The page reads: the client hears 100 Continue before it sends the body.
  const socket = await connect();
  let text = '';
  socket.on('data', (chunk) => { text += chunk.toString('latin1'); });
  const closed = new Promise((resolve) => socket.on('close', resolve));
  socket.write('POST /test/echo.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n');
  await eventually(() => text.startsWith('HTTP/1.1 100 Continue\r\n\r\n'), '100 Continue');
  socket.write('ping');
  await closed;
  assert.match(text, /^HTTP\/1\.1 100 Continue\r\n\r\nHTTP\/1\.1 200 OK[\s\S]*\r\n\r\n4:ping$/);

  // The page does not read: the final answer comes without a 100.
  const reply = await raw('POST /test/ignore-body.asp HTTP/1.1\r\nHost: x\r\nConnection: close\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n');
  assert.match(reply.text, /^HTTP\/1\.1 200 OK[\s\S]*ignored 4$/);
});

test('a flushed page streams to HTTP/1.0 clients until the connection closes', async () => {
  const reply = await raw('GET /test/response.asp?do=flush HTTP/1.0\r\n\r\n');
  assert.match(reply.text, /^HTTP\/1\.1 200 OK\r\n/);
  assert.doesNotMatch(reply.text, /Transfer-Encoding|Content-Length/);
  assert.match(reply.text, /\r\nConnection: close\r\n(?:.*\r\n)*\r\nfirst;second$/);
  assert.ok(reply.closed);
});

test('Application is shared by concurrent pages and safe under Lock', async () => {
  const hit = async () => {
    const response = await get('/test/counter.asp');
    assert.equal(response.status, 200);
    const text = await response.text();
    assert.match(text, /^\d+$/);
    return Number(text);
  };
  const first = await hit();
  const values = await Promise.all(Array.from({ length: 20 }, hit));
  assert.deepEqual(values.sort((a, b) => a - b), Array.from({ length: 20 }, (_, i) => first + 1 + i));
});
