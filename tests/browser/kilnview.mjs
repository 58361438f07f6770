// Kilnview in a real browser: a virtual Mac, `Kilnview --port 0` as root, and Debian's
// headless chromium driven by puppeteer-core, as a person would use the pages.
//   node kilnview.mjs --binary-dir build/debug --source-dir . --screenshots build/debug/screenshots
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no chromium, driver not installed).
// Every process it starts is killed and reaped on every path.
import fs from 'node:fs';
import path from 'node:path';
import { fansAutomatic, fansManual, fansManualAtMaximum, poll } from './lib/processes.mjs';
import { KilnviewSession, kilnviewAddress, openKilnview } from './lib/kilnview.mjs';
import { BrowserScenario, check, requireBrowserScenario, scriptArguments } from './lib/harness.mjs';

const LANGUAGES = ['zh-Hans', 'zh-Hant', 'en', 'ja', 'ko', 'de', 'fr', 'es'];
const PAGES = ['overview', 'sensors', 'fans', 'history', 'processes', 'power'];
const LIVE_KEYS = ['cpuTemperature', 'gpuTemperature', 'cpuUsage', 'headline', 'fan-0-rpm', 'fan-1-rpm',
  'fan-0-mode', 'fan-1-mode', 'leaseRemaining', 'memoryPressure', 'powerSource'];

// --warm-up: seconds of sampling before the tour, so the screenshots show some history.
const { binaryDir, sourceDir, warmUp, programs, ...given } = scriptArguments();
const screenshots = given.screenshots ?? path.join(binaryDir, 'screenshots');

const puppeteer = await requireBrowserScenario(programs);
const test = new BrowserScenario({ scratchPrefix: 'pyrelle-browser-', seconds: 240 + warmUp });

async function liveText(page, key) {
  return page.$eval(`[data-live="${key}"]`, (element) => element.textContent.trim());
}

const numberIn = (text) => {
  const match = /-?\d+(?:[.,]\d+)?/.exec(text ?? '');
  return match ? Number(match[0].replace(',', '.')) : null;
};

async function shoot(page, name) {
  await page.screenshot({ path: path.join(screenshots, `${name}.png`), fullPage: true });
}

// Navigates by the page's own link and waits for the new document.
async function follow(page, id) {
  await Promise.all([page.waitForNavigation({ waitUntil: 'load', timeout: 20_000 }), page.click(`#${id}`)]);
}

// The reply shown in #fan-result once the request has finished ("…" while it runs).
async function fanResult(page) {
  const text = (await page.$eval('#fan-result', (e) => e.textContent)).trim();
  return text && text !== '…' ? text : null;
}

async function clickAndReadResult(page, button) {
  await page.$eval('#fan-result', (e) => { e.textContent = ''; });
  await page.click(button);
  return poll(`a reply in #fan-result after ${button}`, 60, () => fanResult(page));
}

async function checkPageFrame(page, url, name) {
  const frame = await page.evaluate(() => ({
    title: document.title,
    lang: document.documentElement.lang,
    token: document.querySelector('meta[name="kilnview-token"]')?.content ?? '',
    nav: ['overview', 'sensors', 'fans', 'history', 'processes', 'power', 'export']
      .filter((n) => !document.getElementById(`nav-${n}`)),
    languages: [...document.querySelectorAll('#language option')].map((o) => o.value),
  }));
  check(frame.title.includes('Kilnview'), `${name}: title "${frame.title}" lacks Kilnview`);
  check(frame.token.length >= 16, `${name}: no per-run token in the page`);
  check(frame.nav.length === 0, `${name}: navigation lacks ${frame.nav.join(', ')}`);
  check(LANGUAGES.every((code) => frame.languages.includes(code)),
    `${name}: the language selector offers ${frame.languages.join(' ')}`);
  return frame;
}

async function scenario() {
  fs.mkdirSync(screenshots, { recursive: true });
  const mac = await test.startMac(programs.simulator);
  const kilnview = test.startKilnview(programs, sourceDir);
  const { address, origin: url } = await kilnviewAddress(kilnview, 60);
  console.log(`Kilnview serves ${url}`);
  const session = await KilnviewSession.login(address);
  // Pages render what has been sampled: wait for two samples with both fans read.
  await poll('Kilnview to sample the virtual Mac', 30, async () => {
    const state = await session.state();
    return state && state.samples >= 2 && /\d/.test(state.live['fan-1-rpm']);
  }, 250);
  if (warmUp > 0) {
    await mac.control({ op: 'load', value: 0.3 });
    await new Promise((resolve) => setTimeout(resolve, warmUp * 1000));
  }

  const browser = await test.launchBrowser(puppeteer);
  const page = await test.newPage({ viewport: { width: 1280, height: 900 }, language: 'en-GB,en;q=0.9,de;q=0.5' });
  const scriptErrors = [];
  page.on('pageerror', (error) => scriptErrors.push(error.message));
  page.on('console', (message) => {
    // Failed loads are reported below with their address.
    if (message.type() === 'error' && !message.text().startsWith('Failed to load resource')) {
      scriptErrors.push(message.text());
    }
  });
  const badReplies = [];
  let expectRefusal = false;
  let streamsRefused = 0;
  let streamsOpened = 0;
  page.on('response', (reply) => {
    const where = new URL(reply.url()).pathname;
    if (where === '/events') {
      if (reply.status() === 200) streamsOpened += 1;
      // Streams of pages just left are counted until the server next writes to them, so a
      // quick tour may be told "busy"; the page then polls instead.
      if (reply.status() === 503) { streamsRefused += 1; return; }
    }
    if (reply.status() >= 400 && where !== '/favicon.ico' && !(expectRefusal && where === '/api/fans/curve')) {
      badReplies.push(`${reply.request().method()} ${where}: ${reply.status()}`);
    }
  });

  // Overview: live values follow the machine without a reload. In through the printed
  // address, as a person opens it.
  await openKilnview(page, address);
  const frame = await checkPageFrame(page, url, 'overview');
  check(await page.$('#findings'), 'the overview has no #findings');
  const missing = await page.evaluate((keys) => keys.filter((k) => !document.querySelector(`[data-live="${k}"]`)),
    LIVE_KEYS.filter((k) => k !== 'leaseRemaining'));
  check(missing.length === 0, `the overview lacks live values ${missing.join(', ')}`);
  const cool = await poll('a CPU temperature on the overview', 20,
    async () => numberIn(await liveText(page, 'cpuTemperature')));
  const coolRpm = numberIn(await liveText(page, 'fan-0-rpm'));
  const quietFindings = await page.$eval('#findings', (e) => e.textContent.trim());
  await page.evaluate(() => { window.__kilnviewSameDocument = true; });
  await mac.control({ op: 'load', value: 0.95 });
  await mac.control({ op: 'advance', seconds: 300 });
  const hot = await poll('the CPU temperature to rise on the open overview', 30,
    async () => { const t = numberIn(await liveText(page, 'cpuTemperature')); return t !== null && t > cool + 5 ? t : null; });
  check(await page.evaluate(() => window.__kilnviewSameDocument === true), 'the overview reloaded to show live values');
  check(streamsOpened === 1 && streamsRefused === 0,
    `the overview's live values did not come from one event stream (${streamsOpened} opened, ${streamsRefused} refused)`);
  console.log(`overview: CPU ${cool} → ${hot} °C while the page stayed open (fan 0 was ${coolRpm} rpm)`);
  await poll('a finding about the hot machine on the open overview', 30, async () => {
    const now = await page.$eval('#findings', (e) => e.textContent.trim());
    return now.length > 0 && now !== quietFindings;
  });
  await shoot(page, 'overview');

  // Every page renders in the frame, and is captured.
  for (const name of PAGES.slice(1)) {
    await follow(page, `nav-${name}`);
    await checkPageFrame(page, url, name);
    await shoot(page, name);
  }
  const csv = await page.evaluate(async () => {
    const reply = await fetch(document.getElementById('nav-export').href);
    return { type: reply.headers.get('content-type'), text: await reply.text() };
  });
  check(/text\/csv/.test(csv.type ?? ''), `the export is ${csv.type}`);
  check(csv.text.trim().split('\n').length >= 3, 'the export has no recorded rows');

  // Fans: the five-second test takes both fans to maximum, then hands them back.
  await follow(page, 'nav-fans');
  check(fansAutomatic(await mac.state()), 'the fans are not automatic before the test');
  await page.click('#fan-test');
  await poll('both fans manual at maximum during the fan test', 30, async () => fansManualAtMaximum(await mac.state()));
  await poll('both fans automatic after the fan test', 30, async () => fansAutomatic(await mac.state()));
  const testReply = await poll('the fan test reply on the page', 60, () => fanResult(page));
  console.log(`fans: the test ran both fans at maximum and handed them back ("${testReply}")`);

  // A custom curve with its remaining time counting down, then "auto".
  await page.$eval('#curve-duration', (input) => { input.value = '600'; });
  await page.$eval('#curve-label', (input) => { input.value = 'browser'; });
  const curveReply = await clickAndReadResult(page, '#curve-start');
  await poll(`the curve to take the fans (the page said "${curveReply}")`, 30, async () => fansManual(await mac.state()));
  const remaining = await poll('the remaining time of the curve', 30,
    async () => numberIn(await liveText(page, 'leaseRemaining')));
  await poll('the remaining time to count down', 30, async () => {
    const now = numberIn(await liveText(page, 'leaseRemaining'));
    return now !== null && now < remaining;
  });
  await shoot(page, 'fans-curve');
  const autoReply = await clickAndReadResult(page, '#fan-auto');
  await poll('the fans automatic after "auto"', 30, async () => fansAutomatic(await mac.state()));
  await poll('the remaining time to clear', 30,
    async () => numberIn(await liveText(page, 'leaseRemaining')) === null);
  console.log(`curve: ran with ${remaining} s left, "auto" replied "${autoReply}"`);

  // A bad curve is refused with the validation message, and never reaches the fans.
  expectRefusal = true;
  const refused = await page.evaluate(async () => {
    const token = document.querySelector('meta[name="kilnview-token"]').content;
    const reply = await fetch('/api/fans/curve', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', 'X-Kilnview-Token': token },
      body: JSON.stringify({ curve: { points: [{ temperature: 60, percent: 50 }], sensor: 'CPU' }, durationSeconds: 60 }),
    });
    return { status: reply.status, body: await reply.text() };
  });
  expectRefusal = false;
  check(refused.status >= 400 && refused.status < 500, `a one-point curve got ${refused.status}`);
  check(fansAutomatic(await mac.state()), 'a refused curve touched the fans');

  // Languages: the selector switches, the cookie keeps the choice.
  check(frame.lang === 'en', `the browser asked for English, the page says lang="${frame.lang}"`);
  for (const code of ['ja', 'de', 'zh-Hant']) {
    await Promise.all([page.waitForNavigation({ waitUntil: 'load' }), page.select('#language', code)]);
    const lang = await page.evaluate(() => document.documentElement.lang);
    check(lang === code, `after choosing ${code} the page says lang="${lang}"`);
    check(page.url().includes(`lang=${code}`), `choosing ${code} went to ${page.url()}`);
    if (code === 'ja') await shoot(page, 'fans-ja');
  }
  await page.goto(url, { waitUntil: 'load' });
  const kept = await page.evaluate(() => document.documentElement.lang);
  check(kept === 'zh-Hant', `without ?lang the overview is "${kept}", not the chosen zh-Hant (the cookie)`);
  await page.goto(`${url}?lang=zh-Hans`, { waitUntil: 'load' });
  await shoot(page, 'overview-zh-Hans');
  check(scriptErrors.length === 0, `script errors on the pages: ${scriptErrors.join(' | ')}`);
  check(badReplies.length === 0, `failed requests from the pages: ${badReplies.join(' | ')}`);
  if (streamsRefused > 0) console.log(`note: ${streamsRefused} of ${streamsOpened + streamsRefused} event streams were refused as busy during the tour`);

  // Kilnview killed outright while a curve runs: the helper sees its owner go and hands back.
  await follow(page, 'nav-fans');
  await page.click('#curve-start');
  await poll('the second curve to take the fans', 30, async () => fansManual(await mac.state()));
  await browser.close();
  test.browser = undefined;
  kilnview.signal('SIGKILL');
  await kilnview.exited;
  const started = Date.now();
  await poll('the fans automatic after Kilnview was killed', 15, async () => fansAutomatic(await mac.state()));
  console.log(`killed during a curve: fans automatic after ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

await test.run(scenario, () => `PASSED; screenshots in ${screenshots}`);
