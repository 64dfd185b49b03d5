// Hostile clients against the host, one attack at a time: while each goes
// on, an ordinary client (a fresh connection asking for a page) must be
// answered within a few seconds, and the host's resident memory, read from
// /proc/<pid>/status of its Wine process, must stay within a few MB of what
// it was before the attack. The host runs with ASPHOST_INJECT_FAULTS set,
// for the injected allocation failures.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import { port, raw, sleep } from './lib.mjs';

const pid = Number(process.env.ASPHOST_PID);
// "At most a few MB above idle".
const maxGrowthKb = 4 * 1024;
const answerWithinMs = 5000;

function residentKb() {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(status.match(/^VmRSS:\s+(\d+) kB/m)[1]);
}

// A page on a new connection, as any client asks for it.
async function ordinaryClient() {
  const started = Date.now();
  const reply = await raw('GET /test/form.asp?q=ordinary HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n',
                          { timeoutMs: answerWithinMs });
  const ms = Date.now() - started;
  assert.match(reply.text, /^HTTP\/1\.1 200 OK\r\n[\s\S]*\r\n\r\nq=ordinary\n/,
               `the ordinary client got "${reply.text.slice(0, 60)}" after ${ms} ms`);
  return ms;
}

// n connections to the host, open at once.
function openConnections(n) {
  return Promise.all(Array.from({ length: n }, () => new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1', () => resolve(socket));
    socket.once('error', reject);
  }))).then((sockets) => {
    for (const socket of sockets) socket.on('error', () => {});
    return sockets;
  });
}

// Sends bytes on a new connection as fast as the host takes them and
// collects what it answers, until it closes the connection (or the time
// runs out: { closed: false }).
function sendAll(bytes, timeoutMs = 10000) {
  return new Promise((resolve) => {
    const socket = net.connect(port, '127.0.0.1');
    const chunks = [];
    const finish = (closed) => {
      clearTimeout(timer);
      socket.destroy();
      resolve({ text: Buffer.concat(chunks).toString('latin1'), closed });
    };
    const timer = setTimeout(() => finish(false), timeoutMs);
    socket.on('data', (chunk) => chunks.push(chunk));
    socket.on('error', () => {});
    socket.on('close', () => finish(true));
    socket.write(bytes);
  });
}

const repeat = (unit, count) => Buffer.from(unit.repeat(count), 'latin1');
const head = (lines) => `GET /test/plain.txt HTTP/1.1\r\nHost: x\r\n${lines}`;

// An attack by one head that the host must refuse with 431.
const refusedAsTooLarge = (bytes) => async (during) => {
  const reply = sendAll(bytes);
  await during();
  const { text, closed } = await reply;
  assert.match(text, /^HTTP\/1\.1 431 /);
  assert.ok(closed);
};

// Each attack calls during() while it is under way; the answers it gets
// itself are checked by the attack.
const attacks = [
  {
    name: 'an empty-line flood: 8 connections sending 4 MB of CR LF each',
    async run(during) {
      const floods = Array.from({ length: 8 }, () => sendAll(repeat('\r\n', 2 * 1024 * 1024)));
      await during();
      for (const reply of await Promise.all(floods)) {
        assert.match(reply.text, /^HTTP\/1\.1 (431|400) /, 'refused');
        assert.ok(reply.closed, 'and closed');
      }
    },
  },
  {
    name: 'slow heads: 300 connections sending a byte of a head every half second',
    async run(during) {
      const sockets = await openConnections(300);
      for (const socket of sockets) socket.write(head('X-Slow: '));
      const trickle = setInterval(() => { for (const socket of sockets) socket.write('z'); }, 500);
      try {
        await sleep(1000);
        await during();
        await sleep(500);
      } finally {
        clearInterval(trickle);
        for (const socket of sockets) socket.destroy();
      }
    },
  },
  {
    name: 'idle connections: 1000 connections that send nothing',
    async run(during) {
      const sockets = await openConnections(1000);
      try {
        await sleep(500);
        await during();
      } finally {
        for (const socket of sockets) socket.destroy();
      }
    },
  },
  {
    name: 'a header line of 1 MB',
    run: refusedAsTooLarge(Buffer.concat([Buffer.from(head('X-Long: ')), repeat('a', 1024 * 1024),
                                          Buffer.from('\r\n\r\n')])),
  },
  {
    name: '10000 header lines',
    run: refusedAsTooLarge(Buffer.from(head('X-Line: v\r\n'.repeat(10000) + '\r\n'))),
  },
  {
    name: 'an allocation failure in one connection, while its head is read and while its request is served',
    async run(during) {
      for (const [where, status] of [['head', 503], ['request', 500]]) {
        const faulty = raw(`GET /test/form.asp?q=faulty HTTP/1.1\r\nHost: x\r\nX-Asphost-Fault: ${where}\r\n\r\n`);
        await during();
        const { text, closed } = await faulty;
        assert.match(text, new RegExp(`^HTTP/1\\.1 ${status} `), `a failure while the ${where} is read`);
        assert.ok(closed);
      }
    },
  },
];

// The host's idle memory settles after the first pages have run.
test('warm-up', async () => {
  for (let i = 0; i < 5; i++) await ordinaryClient();
});

for (const attack of attacks) {
  test(attack.name, async () => {
    await sleep(300);
    const idleKb = residentKb();
    let peakKb = idleKb;
    const sampler = setInterval(() => { peakKb = Math.max(peakKb, residentKb()); }, 50);
    const answered = [];
    try {
      await attack.run(async () => { answered.push(await ordinaryClient()); });
    } finally {
      clearInterval(sampler);
    }
    peakKb = Math.max(peakKb, residentKb());
    console.log(`${attack.name}: ordinary client answered in ${answered.join(', ')} ms; ` +
                `host VmRSS ${idleKb} KB before, peak ${peakKb} KB (+${peakKb - idleKb} KB)`);
    assert.ok(peakKb - idleKb <= maxGrowthKb, `the host grew by ${peakKb - idleKb} KB (at most ${maxGrowthKb} KB)`);
    await ordinaryClient();  // and it keeps serving after the attack
  });
}
