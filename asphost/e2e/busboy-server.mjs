// The benchmark's baseline: a small Node server that parses multipart
// uploads with busboy and writes each file to disk, as a Node developer
// would. Prints its URL on the first line; answers with what it stored.
//   node busboy-server.mjs <folder>
import http from 'node:http';
import fs from 'node:fs';
import path from 'node:path';
import busboy from 'busboy';

const folder = process.argv[2];
fs.mkdirSync(folder, { recursive: true });

const server = http.createServer((request, response) => {
  const parser = busboy({ headers: request.headers });
  const stored = [];
  const writes = [];
  parser.on('file', (name, stream, info) => {
    const target = path.join(folder, path.basename(info.filename));
    const out = fs.createWriteStream(target);
    let size = 0;
    stream.on('data', (chunk) => { size += chunk.length; });
    writes.push(new Promise((resolve, reject) => out.on('finish', resolve).on('error', reject)));
    stream.pipe(out);
    stored.push(() => ({ name: info.filename, size }));
  });
  parser.on('close', async () => {
    await Promise.all(writes);
    response.end(JSON.stringify(stored.map((f) => f())));
  });
  request.pipe(parser);
});
server.listen(0, '127.0.0.1', () => console.log(`http://127.0.0.1:${server.address().port}`));
