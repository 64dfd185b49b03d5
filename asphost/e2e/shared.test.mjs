// Components kept in Application and Session, as sites keep them: one
// Velmora32.HTTP and one Velmora32.Process called by several pages at once,
// and objects that publish progress leaving the store. Every answer is
// checked, and the host must outlive it all with its memory flat.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { base, multipart, randomBytes } from './lib.mjs';

const pid = Number(process.env.ASPHOST_PID);

function residentKb() {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(/^VmRSS:\s+(\d+) kB/m)[1]);
}

async function get(path, init) {
  const response = await fetch(base + path, init);
  return { status: response.status, text: (await response.text()).trim() };
}

function post(path, boundary, body) {
  return get(path, {
    method: 'POST',
    headers: { 'Content-Type': `multipart/form-data; boundary=${boundary}` },
    body,
  });
}

// 200 variables field<k> = value-<k> and one 4096-byte file: what hammer.asp
// expects of the shared upload object.
const boundary = 'shared-boundary-5e1f';
const fields = Array.from({ length: 200 }, (_, k) => ({ name: `field${k}`, data: `value-${k}` }));
const upload = multipart(boundary, [...fields, { name: 'file', filename: 'shared.bin', data: randomBytes(4096, 3) }]);

const pages = 6;
const callsPerPage = 600;
const rounds = 5;
const maxGrowthKb = 8 * 1024;

const sharedObjects = [
  { what: 'http', keep: () => get('/test/shared/keep.asp?what=http'), kept: 'kept http' },
  {
    what: 'process',
    keep: () => post('/test/shared/keep.asp?what=process', boundary, upload),
    kept: 'kept process with 201 variables and 1 file',
  },
];

for (const { what, keep, kept } of sharedObjects) {
  test(`one ${what} object in Application, called by ${pages} pages at once`, async () => {
    assert.deepEqual(await keep(), { status: 200, text: kept });
    let afterFirstRound = null;
    for (let round = 1; round <= rounds; round++) {
      const answers = await Promise.all(
        Array.from({ length: pages }, (_, page) =>
          get(`/test/shared/hammer.asp?what=${what}&page=${page + 1}&n=${callsPerPage}`)));
      for (const answer of answers) assert.deepEqual(answer, { status: 200, text: `ok ${callsPerPage}` });
      if (round === 1) afterFirstRound = residentKb();
    }
    const growth = residentKb() - afterFirstRound;
    console.log(`${what}: VmRSS grew by ${growth} KB from the first round of ${pages} pages to the last of ${rounds}`);
    assert.ok(growth <= maxGrowthKb, `the host grew by ${growth} KB`);
    assert.equal((await get('/test/counter.asp')).status, 200);
  });
}

// The lines of a page's plain answer.
const lines = (answer) => answer.text.split(/\r?\n/).map((line) => line.trimEnd());

// An object that published progress leaves the store while its release
// removes the progress item: the store must come out whole.
const releases = [
  { store: 'application', how: 'remove', after: [] },
  { store: 'application', how: 'empty', after: ['p Empty'] },
  { store: 'session', how: 'remove' },
  { store: 'session', how: 'empty' },
];

for (const [row, { store, how, after }] of releases.entries()) {
  test(`an object leaves ${store} (${how}) while its release removes its progress`, async () => {
    const id = `release-${row}`;
    if (store === 'session') {
      // The host keeps no session across pages: one page does it all.
      const answer = await post(`/test/shared/progress.asp?id=${id}&store=session&how=${how}`, boundary, upload);
      assert.equal(answer.status, 200, answer.text);
      assert.deepEqual(lines(answer), ['progress 100', 'p Empty', 'z kept', 'progress after []']);
    } else {
      const answer = await post(`/test/shared/progress.asp?id=${id}&store=application`, boundary, upload);
      assert.deepEqual(lines(answer), ['progress 100', 'p IProcess', 'z kept', 'progress after [100]']);
      assert.deepEqual(await get(`/test/shared/release.asp?how=${how}`), { status: 200, text: 'released' });
      // The next pages find the other items whole and nothing of the object.
      for (let page = 0; page < 2; page++) {
        const items = lines(await get('/test/shared/items.asp'));
        assert.equal(items.at(-1), 'end');
        assert.ok(items.includes('z String kept'), items.join(' | '));
        assert.ok(!items.some((item) => item.startsWith(`${id} `)), items.join(' | '));
        assert.deepEqual(items.filter((item) => item.startsWith('p ')), after);
      }
    }
    assert.equal((await get('/test/counter.asp')).status, 200);
  });
}
