// The HTTP client's test servers, all on 127.0.0.1 with ports chosen by the
// system. Writes "<name> <port>" lines to the file named by argv[2] once every
// listener is up:
//   http              the routes below
//   https             the same routes, certificate for 127.0.0.1 signed by the test CA
//   httpsOtherName    the same, certificate for another host name
//   httpsExpired      the same, certificate for 127.0.0.1 past its validity dates
//   httpsUntrusted    the same, certificate for 127.0.0.1 signed by itself
//   hang              accepts connections and never reads or answers
//   notHttp           answers every request with an "ICY 200 OK" status line
//   closed            a port that was free a moment ago (refuses connections)
//   proxy             a forward proxy: requests in absolute form are passed
//                     on, CONNECT opens a tunnel; a host name ending in
//                     ".invalid" stands for 127.0.0.1, no other host is
//                     reached. What it passed on is listed by /proxied.
// argv[3] is the directory with the certificates (server.key, valid.crt,
// othername.crt, expired.crt, untrusted.crt).
//
// Every request body is read to its end first; a multipart one, on any route,
// is parsed by busboy. A request with key=K in its query (any route but
// /attempts) is counted as an attempt under K, so tests see how many requests
// an operation sent and what arrived in each.
// Routes:
//   POST /upload[?status=S]  multipart body parsed by busboy; answers JSON with
//                            the fields, the files (name, file name, type,
//                            size, SHA-256) and the request's raw headers
//   /echo[...]               JSON: method, url, raw headers, body (latin1)
//   /len?n=N[&status=S]      N pattern bytes with Content-Length
//   /chunked?n=N             N pattern bytes, chunked
//   /stall?n=N&sent=K        declares N pattern bytes, sends the first K of
//                            them, then nothing more for as long as the
//                            client waits
//   /short?n=N&sent=K        declares N pattern bytes, sends the first K of
//                            them and closes the connection
//   /trickle?n=N&every=MS    N pattern bytes, one every MS milliseconds
//   /auth?user=U&pass=P[&to=L]  401 with a Basic challenge unless the request
//                            carries U:P; then 200, or a 302 to L
//   /redirect?to=L[&status=S]  a redirect (302 by default) to L
//   /loop                    a 302 to itself, until 50 requests came under key
//   /auth?...&offer=O        the challenge offered among others: O "three"
//                            (Negotiate, NTLM, Basic in three headers),
//                            "joined" (the same in one line) or "nobasic"
//                            (Negotiate and NTLM only)
//   /raw?answer=A            the raw answer A of rawAnswers below, then the
//                            connection closes
//   /drip?what=W             every second, until the client leaves: W
//                            "header" (a status line, then a header line a
//                            second), "status" (the status line a byte a
//                            second) or "continue" (a 100 Continue a second)
//   /stream?n=N              N pattern bytes with Content-Length, written as
//                            fast as the client takes them
//   /hang/release            closes every connection the hang listener holds
//   /setcookie?value=V       200 with the cookie session=V
//   /proxied                 JSON: what the proxy passed on, in order: "GET
//                            http://host:port/path" or "CONNECT host:port"
//   /attempts?key=K          JSON: the number of attempts counted under K,
//                            their Authorization, Cookie, method and Host,
//                            and what busboy made of each body (null when it
//                            was not multipart)
'use strict';
const fs = require('fs');
const net = require('net');
const http = require('http');
const https = require('https');
const path = require('path');
const crypto = require('crypto');
const busboy = require('busboy');

const [portsFile, certDir] = process.argv.slice(2);

// Byte i of every generated answer; the tests compute the same.
function pattern(n) {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; i++) b[i] = (i * 7 + 3) & 0xff;
  return b;
}

const attempts = new Map();
// The connections the hang listener holds.
const hanging = new Set();

// Answers as they go on the wire, for /raw: cut and malformed ones.
const rawAnswers = {
  // A chunked body without its last chunk; a chunk announced as 100 bytes
  // with 10 sent.
  cutChunked: 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n',
  shortChunk: 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n64\r\n0123456789',
  wholeChunked: 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n',
  // 2^32 + 5 declared, 5 sent: a 32-bit count would find them all.
  beyond32Bits: 'HTTP/1.1 200 OK\r\nContent-Length: 4294967301\r\n\r\nhello',
  cutHead: 'HTTP/1.1 200 OK\r\nX-Cut: yes\r\n',
  noHeaderLines: 'HTTP/1.1 200 OK\r\n\r\nhello',
  http10NoHeaderLines: 'HTTP/1.0 200 OK\r\n\r\nhello',
  // Framed by the connection's close alone: whole when it closes.
  untilClose: 'HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nhello',
  // Chunked, in chunks of 2 and 3 bytes, with an extension and a trailer.
  chunksAndTrailer: 'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2;x=y\r\nhe\r\n3\r\nllo\r\n0\r\nX-T: 1\r\n\r\n',
  // Two Content-Length fields that disagree: no reading of it is safe.
  twoLengths: 'HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 3\r\n\r\nhello',
  status99: 'HTTP/1.1 099 Odd\r\nContent-Length: 5\r\n\r\nhello',
  status600: 'HTTP/1.1 600 Odd\r\nContent-Length: 5\r\n\r\nhello',
  status999: 'HTTP/1.1 999 Odd\r\nContent-Length: 5\r\n\r\nhello',
};

// What /drip sends at the start and then every second.
const drips = {
  header: ['HTTP/1.1 200 OK\r\n', 'X-Drip: 1\r\n'],
  status: ['', null],  // the status line's bytes, one at a time
  continue: ['', 'HTTP/1.1 100 Continue\r\n\r\n'],
};

function readBody(req) {
  return new Promise((resolve, reject) => {
    const parts = [];
    req.on('data', (d) => parts.push(d));
    req.on('end', () => resolve(Buffer.concat(parts)));
    req.on('error', reject);
  });
}

function sendJson(res, status, value) {
  const text = Buffer.from(JSON.stringify(value), 'utf8');
  res.writeHead(status, { 'Content-Type': 'application/json', 'Content-Length': text.length });
  res.end(text);
}

function parseMultipart(req) {
  return new Promise((resolve, reject) => {
    const result = { fields: [], files: [] };
    let bb;
    try {
      bb = busboy({ headers: req.headers, defParamCharset: 'utf8', limits: { fieldSize: 1 << 24 } });
    } catch (e) {
      reject(e);
      return;
    }
    bb.on('field', (name, value) => result.fields.push([name, value]));
    bb.on('file', (name, stream, info) => {
      const hash = crypto.createHash('sha256');
      let size = 0;
      stream.on('data', (d) => { hash.update(d); size += d.length; });
      stream.on('end', () => result.files.push({
        name, filename: info.filename, mimeType: info.mimeType, size, sha256: hash.digest('hex'),
      }));
    });
    bb.on('close', () => resolve(result));
    bb.on('error', reject);
    req.pipe(bb);
  });
}

function isMultipart(req) {
  return /^multipart\/form-data/i.test(req.headers['content-type'] ?? '');
}

async function handle(req, res) {
  const url = new URL(req.url, 'http://127.0.0.1');
  const q = (name, fallback) => url.searchParams.get(name) ?? fallback;
  const status = Number(q('status', '200'));

  let upload = null;
  let body = Buffer.alloc(0);
  if (url.pathname === '/upload' || isMultipart(req)) {
    try {
      upload = await parseMultipart(req);
    } catch (e) {
      upload = { error: String(e.message) };
    }
  } else {
    body = await readBody(req);
  }
  const key = url.pathname === '/attempts' ? null : url.searchParams.get('key');
  if (key !== null) {
    const seen = attempts.get(key) ?? [];
    seen.push({
      authorization: req.headers.authorization ?? '',
      cookie: req.headers.cookie ?? '',
      method: req.method,
      host: req.headers.host ?? '',
      upload,
    });
    attempts.set(key, seen);
  }

  if (url.pathname === '/upload') {
    if (upload.error !== undefined) {
      sendJson(res, 400, { error: upload.error });
      return;
    }
    sendJson(res, status, {
      method: req.method, url: req.url, contentType: req.headers['content-type'] ?? null,
      raw: req.rawHeaders, ...upload,
    });
    return;
  }

  // Every path under /echo echoes, so that paths of any characters can be seen.
  switch (url.pathname.startsWith('/echo') ? '/echo' : url.pathname) {
    case '/echo':
      sendJson(res, status, {
        method: req.method, url: req.url, raw: req.rawHeaders, body: body.toString('latin1'),
      });
      return;
    case '/len': {
      const bytes = pattern(Number(q('n', '0')));
      res.writeHead(status, { 'Content-Length': bytes.length });
      res.end(bytes);
      return;
    }
    case '/chunked': {
      const bytes = pattern(Number(q('n', '0')));
      res.writeHead(status, { 'Transfer-Encoding': 'chunked' });
      for (let i = 0; i < bytes.length; i += 1000) res.write(bytes.subarray(i, i + 1000));
      res.end();
      return;
    }
    case '/stall': {
      const bytes = pattern(Number(q('n', '0')));
      res.writeHead(status, { 'Content-Length': bytes.length });
      res.write(bytes.subarray(0, Number(q('sent', '0'))));
      return;
    }
    case '/auth': {
      const expected = 'Basic ' + Buffer.from(`${q('user', '')}:${q('pass', '')}`, 'utf8').toString('base64');
      if (req.headers.authorization === expected && url.searchParams.has('to')) {
        redirect(res, 302, q('to'));
      } else if (req.headers.authorization === expected) {
        sendJson(res, 200, { ok: true });
      } else {
        const offers = {
          three: ['Negotiate', 'NTLM', 'Basic realm="r"'],
          joined: 'Negotiate, NTLM, Basic realm="r"',
          nobasic: ['Negotiate', 'NTLM'],
        };
        res.writeHead(401, { 'WWW-Authenticate': offers[q('offer', '')] ?? 'Basic realm="velmora"',
                             'Content-Type': 'text/plain',
                             'Content-Length': 12 });
        res.end('unauthorized');
      }
      return;
    }
    // A redirect with the status given (302 by default) to the address "to".
    case '/redirect': redirect(res, Number(q('status', '302')), q('to', '/')); return;
    // Redirects to itself: a loop, which gives up after 50 turns so that a
    // client that never stops is seen failing rather than hanging.
    case '/loop':
      if ((attempts.get(q('key', ''))?.length ?? 0) >= 50)
        sendJson(res, 200, {loop: 'ended'});
      else
        redirect(res, 302, req.url);
      return;
    // A Content-Length of n, and only "sent" bytes before the connection closes.
    case '/short': {
      const bytes = pattern(Number(q('n', '0')));
      res.writeHead(status, {'Content-Length': bytes.length});
      res.write(bytes.subarray(0, Number(q('sent', '0'))), () => res.socket.destroySoon());
      return;
    }
    // One byte every "every" milliseconds: an answer that never stalls long
    // enough for a time-out of each wait.
    case '/trickle': {
      const bytes = pattern(Number(q('n', '0')));
      res.writeHead(status, {'Content-Length': bytes.length});
      let i = 0;
      const timer = setInterval(() => {
        if (i === bytes.length || res.destroyed) {
          clearInterval(timer);
          res.end();
        } else {
          res.write(bytes.subarray(i, ++i));
        }
      }, Number(q('every', '100')));
      return;
    }
    case '/raw':
      req.socket.end(rawAnswers[q('answer', '')] ?? 'HTTP/1.1 404 No such answer\r\nContent-Length: 0\r\n\r\n');
      return;
    case '/drip': {
      const [first, each] = drips[q('what', 'header')];
      const statusLine = 'HTTP/1.1 200 OK\r\n';
      const socket = req.socket;
      socket.write(first);
      let i = 0;
      const timer = setInterval(() => {
        if (socket.destroyed || socket.writableEnded) {
          clearInterval(timer);
          return;
        }
        socket.write(each ?? statusLine[i++ % statusLine.length]);
      }, 1000);
      socket.on('close', () => clearInterval(timer));
      return;
    }
    case '/stream': {
      let left = Number(q('n', '0'));
      const block = pattern(1 << 20);  // a whole number of pattern periods
      res.writeHead(200, {'Content-Length': left});
      const more = () => {
        while (left > 0) {
          const piece = block.subarray(0, Math.min(left, block.length));
          left -= piece.length;
          if (!res.write(piece)) {
            res.once('drain', more);
            return;
          }
        }
        res.end();
      };
      res.on('close', () => { left = 0; });
      more();
      return;
    }
    case '/proxied':
      sendJson(res, 200, proxied);
      return;
    case '/hang/release': {
      const released = hanging.size;
      for (const socket of hanging) socket.destroy();
      sendJson(res, 200, {released});
      return;
    }
    case '/setcookie':
      res.writeHead(
          200, {'Set-Cookie': `session=${q('value', 'secret')}; Path=/`, 'Content-Length': 2});
      res.end('ok');
      return;
    case '/attempts': {
      const seen = attempts.get(q('key', '')) ?? [];
      sendJson(res, 200, {
        count: seen.length,
        authorization: seen.map((attempt) => attempt.authorization),
        cookie: seen.map((attempt) => attempt.cookie),
        method: seen.map((attempt) => attempt.method),
        host: seen.map((attempt) => attempt.host),
        uploads: seen.map((attempt) => attempt.upload),
      });
      return;
    }
    default:
      sendJson(res, 404, { error: 'no such route', url: req.url });
  }
}

function redirect(res, status, location) {
  res.writeHead(status, {Location: location, 'Content-Length': 0});
  res.end();
}

// The proxy's rule for where a request may go: 127.0.0.1, or a name of the
// reserved ".invalid" domain standing for it (so that only a request that
// did go through the proxy can reach it).
const proxied = [];
function proxyTarget(host) {
  return host === '127.0.0.1' || /\.invalid$/i.test(host) ? '127.0.0.1' : null;
}

function startProxy() {
  const server = http.createServer((req, res) => {
    let target;
    try {
      target = new URL(req.url);
    } catch {
      sendJson(res, 400, { error: 'not an absolute URL', url: req.url });
      return;
    }
    const address = proxyTarget(target.hostname);
    if (target.protocol !== 'http:' || !address) {
      sendJson(res, 403, { error: 'not passed on', url: req.url });
      return;
    }
    proxied.push(`${req.method} ${req.url}`);
    const headers = { ...req.headers, 'x-via-proxy': '1' };
    const out = http.request({ host: address, port: target.port || 80, method: req.method,
                               path: target.pathname + target.search, headers }, (answer) => {
      res.writeHead(answer.statusCode, answer.headers);
      answer.pipe(res);
    });
    out.on('error', () => res.destroy());
    req.pipe(out);
  });
  server.on('connect', (req, socket, head) => {
    socket.on('error', () => {});
    const [host, port] = req.url.split(':');
    const address = proxyTarget(host);
    if (!address) {
      socket.end('HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n');
      return;
    }
    proxied.push(`CONNECT ${req.url}`);
    const tunnel = net.connect(Number(port), address, () => {
      socket.write('HTTP/1.1 200 Connection Established\r\n\r\n');
      tunnel.write(head);
      tunnel.pipe(socket);
      socket.pipe(tunnel);
    });
    tunnel.on('error', () => socket.destroy());
  });
  return server;
}

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
}

function onRequest(req, res) {
  handle(req, res).catch((e) => {
    if (!res.headersSent) sendJson(res, 500, { error: String(e.message) });
    else res.destroy();
  });
}

async function main() {
  const key = fs.readFileSync(path.join(certDir, 'server.key'));
  const tls = (crt) => https.createServer({ key, cert: fs.readFileSync(path.join(certDir, crt)) }, onRequest);

  const hang = net.createServer((socket) => {
    hanging.add(socket);
    socket.on('error', () => {});
    socket.on('close', () => hanging.delete(socket));
  });

  // Answers every request with a status line that is not HTTP.
  const notHttp = net.createServer((socket) => {
    socket.on('error', () => {});
    socket.once('data', () => socket.end('ICY 200 OK\r\nContent-Length: 5\r\n\r\nhello'));
  });

  const probe = net.createServer();
  const closed = await listen(probe);
  await new Promise((resolve) => probe.close(resolve));

  const ports = {
    http: await listen(http.createServer(onRequest)),
    https: await listen(tls('valid.crt')),
    httpsOtherName: await listen(tls('othername.crt')),
    httpsExpired: await listen(tls('expired.crt')),
    httpsUntrusted: await listen(tls('untrusted.crt')),
    hang: await listen(hang),
    notHttp: await listen(notHttp),
    proxy: await listen(startProxy()),
    closed,
  };
  const lines = Object.entries(ports).map(([name, port]) => `${name} ${port}\n`).join('');
  fs.writeFileSync(portsFile + '.tmp', lines);
  fs.renameSync(portsFile + '.tmp', portsFile);
}

process.on('SIGTERM', () => process.exit(0));
main().catch((e) => {
  console.error(e);
  process.exit(1);
});
