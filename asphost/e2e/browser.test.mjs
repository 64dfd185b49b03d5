// Chromium, headless, on the real demo form: choose files, submit, watch
// the progress bar move and reach 100, read the result page, and keep
// screenshots before, during and after the upload (ASPHOST_WORK/demo-before.png,
// demo-during.png, demo.png). The page itself shows 100 once the result
// arrives, so the progress is judged by what progress.asp answered while
// the upload ran.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { base, work, uploads, randomBytes, progressOf } from './lib.mjs';

test('the demo form uploads with a moving progress bar', async () => {
  const files = path.join(work, 'browser-files');
  fs.mkdirSync(files, { recursive: true });
  const note = path.join(files, 'notes.txt');
  const big = path.join(files, 'recording.bin');
  const accented = path.join(files, 'résumé.txt');
  const agenda = path.join(files, 'agenda.txt');
  const minutes = path.join(files, 'minutes.txt');
  fs.writeFileSync(note, 'meeting notes\n');
  fs.writeFileSync(big, randomBytes(24 * 1024 * 1024, 5));
  fs.writeFileSync(accented, 'curriculum vitae\n');
  fs.writeFileSync(agenda, 'agenda\n');
  fs.writeFileSync(minutes, 'minutes\n');

  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'asphost-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
           '--disable-component-update', '--disable-sync'],
    viewport: { width: 1000, height: 1100 },
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    // A link of 40 MB/s makes the upload last long enough to be watched.
    const cdp = await context.newCDPSession(page);
    await cdp.send('Network.enable');
    await cdp.send('Network.emulateNetworkConditions', {
      offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 40 * 1024 * 1024,
    });

    // Every answer that was not found (a missing icon, style or script).
    const missing = [];
    page.on('response', (response) => { if (response.status() === 404) missing.push(response.url()); });

    await page.goto(`${base}/`);
    await page.fill('input[name=author]', 'Chromium');
    await page.setInputFiles('input[name=file1]', note);
    await page.setInputFiles('input[name=file2]', [big, accented, agenda, minutes]);

    // The bar's "0%" is legible on its empty track: WCAG's contrast ratio
    // of the label's colour against the track's.
    const contrast = await page.evaluate(() => {
      const rgb = (element, property) =>
        getComputedStyle(element)[property].match(/\d+/g).slice(0, 3).map(Number);
      const luminance = (channels) => {
        const [r, g, b] = channels.map((c) => {
          c /= 255;
          return c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4;
        });
        return 0.2126 * r + 0.7152 * g + 0.0722 * b;
      };
      const bar = document.getElementById('bar');
      const [a, b] = [luminance(rgb(bar, 'color')), luminance(rgb(bar.parentElement, 'backgroundColor'))];
      return { label: bar.textContent, ratio: (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05) };
    });
    assert.equal(contrast.label, '0%');
    assert.ok(contrast.ratio >= 4.5, `the 0% label's contrast: ${contrast.ratio.toFixed(2)}`);
    await page.screenshot({ path: path.join(work, 'demo-before.png'), fullPage: true });

    // Every value the bar shows, in order.
    await page.evaluate(() => {
      window.seen = [];
      const bar = document.getElementById('bar');
      new MutationObserver(() => window.seen.push(Number(bar.getAttribute('aria-valuenow'))))
        .observe(bar, { attributes: true, attributeFilter: ['aria-valuenow'] });
    });
    // Every answer of progress.asp, in order (the page polls one at a time).
    const answered = [];
    page.on('response', async (response) => {
      if (new URL(response.url()).pathname.endsWith('/progress.asp')) {
        answered.push((await response.text()).trim());
      }
    });
    const progressId = await page.evaluate(() =>
      new URL(document.getElementById('upload').action).searchParams.get('ProgressID'));
    await page.click('button[type=submit]');

    // While the upload runs the button cannot start a second one.
    await page.waitForFunction(() => {
      const value = Number(document.getElementById('bar').getAttribute('aria-valuenow'));
      return value > 0 && value < 100;
    }, null, { timeout: 60000 });
    assert.equal(await page.locator('button[type=submit]').isDisabled(), true, 'the button during the upload');
    await page.screenshot({ path: path.join(work, 'demo-during.png'), fullPage: true });

    const result = page.frameLocator('#result');
    await result.locator('#files tr:has(td)').nth(4).waitFor({ timeout: 60000 });
    await page.waitForFunction(() => document.getElementById('bar').getAttribute('aria-valuenow') === '100');
    const seen = await page.evaluate(() => window.seen);
    console.log(`progress seen: ${seen.join(', ')}`);
    assert.ok(seen.some((value) => value > 0 && value < 100), `the bar moved: ${seen.join(',')}`);
    assert.equal(seen.at(-1), 100);
    for (let i = 1; i < seen.length; i++) assert.ok(seen[i] >= seen[i - 1] || seen[i] === 0, `monotonic: ${seen}`);

    // What the upload object published: whole percentages that only grow,
    // some strictly between 0 and 100; the bar showed nothing else before 100.
    console.log(`progress.asp answered: ${answered.map((a) => JSON.stringify(a)).join(', ')}`);
    const published = answered.filter((text) => text !== '');
    for (const text of published) assert.match(text, /^(100|[1-9]?[0-9])$/, `a percentage: ${answered}`);
    const values = published.map(Number);
    assert.ok(values.some((value) => value > 0 && value < 100), `progress.asp moved: ${answered}`);
    for (let i = 1; i < values.length; i++) assert.ok(values[i] >= values[i - 1], `published monotonic: ${values}`);
    for (const value of seen.slice(1, -1)) {
      assert.ok(values.includes(value), `the bar showed ${value}, which progress.asp never answered: ${answered}`);
    }
    // The value goes with the upload object at the end of the page.
    assert.equal(await progressOf(progressId), '');

    const rows = await result.locator('#files tr:has(td)').evaluateAll((trs) =>
      trs.map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent.trim())));
    assert.deepEqual(rows, [
      ['file1', 'notes.txt', '14', 'text/plain', 'txt', 'notes.txt'],
      ['file2', 'recording.bin', String(24 * 1024 * 1024), 'application/octet-stream', 'bin', 'recording.bin'],
      ['file2', 'résumé.txt', '17', 'text/plain', 'txt', 'résumé.txt'],
      ['file2', 'agenda.txt', '7', 'text/plain', 'txt', 'agenda.txt'],
      ['file2', 'minutes.txt', '8', 'text/plain', 'txt', 'minutes.txt'],
    ]);
    const variables = await result.locator('#variables tr:has(td)').evaluateAll((trs) =>
      trs.map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent)));
    assert.deepEqual(variables.filter(([name]) => name.startsWith('file') || name === 'author'), [
      ['author', 'Chromium'],
      ['file1', 'notes.txt'],
      ['file2', 'recording.bin'], ['file2', 'résumé.txt'], ['file2', 'agenda.txt'], ['file2', 'minutes.txt'],
    ]);
    assert.equal(await page.locator('button[type=submit]').isDisabled(), false, 'the button after the upload');
    assert.deepEqual(missing, [], 'answers not found');
    assert.ok(fs.readFileSync(path.join(uploads, 'recording.bin')).equals(fs.readFileSync(big)));

    await page.screenshot({ path: path.join(work, 'demo.png'), fullPage: true });
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
});
