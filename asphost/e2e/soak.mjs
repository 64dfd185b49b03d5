// The ASP host over a server's lifetime: uploads of 100 KB one after another
// through a page that takes them with Velmora32.Process (read in memory, read
// direct to disk, copied raw by DumpHeader, in turn), with the host's
// resident memory read from /proc/<pid>/status after the first 200 uploads
// and after the last. Run through with-host.sh:
//   node soak.mjs <uploads> [--max-growth-mb N]
// Prints the figures. Fails when the host dies or stops answering, and, with
// --max-growth-mb (a test), when a page did not get its whole upload or the
// memory after the last upload exceeds that after the first 200 by more.
import fs from 'node:fs';
import { base, multipart, randomBytes } from './lib.mjs';

const args = process.argv.slice(2);
const uploads = Number(args[0]);
const limitAt = args.indexOf('--max-growth-mb');
const maxGrowthMb = limitAt >= 0 ? Number(args[limitAt + 1]) : null;
const warmUp = 200;
if (!(uploads > warmUp) || (limitAt >= 0 && !(maxGrowthMb >= 0))) {
  console.error('usage: node soak.mjs <uploads, more than 200> [--max-growth-mb N]');
  process.exit(2);
}
const pid = Number(process.env.ASPHOST_PID);
const ways = ['memory', 'direct', 'dump'];

function memoryKb() {  // VmRSS and VmHWM of the host, or null once it is gone
  let status;
  try {
    status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  } catch {
    return null;
  }
  const field = (name) => Number(status.match(new RegExp(`^${name}:\\s+(\\d+) kB`, 'm'))[1]);
  return { rss: field('VmRSS'), hwm: field('VmHWM') };
}

const file = randomBytes(102400, 11);
const boundary = 'soak-boundary-7d41c2';
const body = multipart(boundary, [{ name: 'file', filename: 'soak.bin', data: file }]);
const expected = { memory: file.length, direct: file.length, dump: body.length };

const started = Date.now();
let warm = null, last = null, wrong = 0, done = 0;
const report = (at, m) => console.log(`after ${String(at).padStart(6)} uploads: VmRSS ${m.rss} KB, VmHWM ${m.hwm} KB`);
console.log(`soak: ${uploads} uploads of ${body.length} bytes (a ${file.length}-byte file), ways in turn: ${ways.join(', ')}`);
console.log(`before the first upload: VmRSS ${memoryKb()?.rss} KB`);
for (; done < uploads; done++) {
  const way = ways[done % ways.length];
  let answer;
  try {
    const response = await fetch(`${base}/test/soak.asp?way=${way}`, {
      method: 'POST',
      headers: { 'Content-Type': `multipart/form-data; boundary=${boundary}` },
      body,
    });
    answer = (await response.text()).trim();
  } catch (error) {
    const alive = memoryKb() !== null;
    console.log(`soak: upload ${done + 1} failed (${error.cause?.code || error.message}); ` +
                (alive ? 'the host runs but no longer answers' : 'the host process is gone'));
    process.exit(1);
  }
  if (answer !== String(expected[way])) {
    if (wrong++ < 5) console.log(`soak: upload ${done + 1} (${way}): the page answered "${answer.slice(0, 200)}", not ${expected[way]}`);
  }
  const count = done + 1;
  if (count === warmUp || count === uploads || count % 1000 === 0) {
    const memory = memoryKb();
    report(count, memory);
    if (count === warmUp) warm = memory;
    if (count === uploads) last = memory;
  }
}
const seconds = (Date.now() - started) / 1000;
const growth = last.rss - warm.rss;
console.log(`host memory growth from upload ${warmUp} to ${uploads}: ${growth} KB ` +
            `(${(growth / (uploads - warmUp)).toFixed(2)} KB per upload); peak VmHWM ${last.hwm} KB`);
console.log(`${uploads} uploads in ${seconds.toFixed(1)} s (${(uploads / seconds).toFixed(1)} per second); wrong answers: ${wrong}`);
if (maxGrowthMb !== null) {
  let failed = false;
  if (wrong > 0) {
    console.log(`FAIL: ${wrong} pages did not get their whole upload`);
    failed = true;
  }
  if (growth > maxGrowthMb * 1024) {
    console.log(`FAIL: the host grew by ${growth} KB after the first ${warmUp} uploads (at most ${maxGrowthMb * 1024} KB)`);
    failed = true;
  }
  process.exit(failed ? 1 : 0);
}
