// Kilnview in a real browser: a virtual Mac, `Kilnview --port 0` as root, and Debian's
// headless chromium driven by puppeteer-core, as a person would use the pages.
//   node kilnview.mjs --binary-dir build/debug --source-dir . --screenshots build/debug/screenshots
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no chromium, driver not installed).
// Every process it starts is killed and reaped on every path.
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import {
  Child, VirtualMac, fansAutomatic, fansManual, fansManualAtMaximum, poll, stopAll, temporaryDirectory,
} from './lib/processes.mjs';

const SKIP = 77;
const CHROMIUM = '/usr/bin/chromium';
const LANGUAGES = ['zh-Hans', 'zh-Hant', 'en', 'ja', 'ko', 'de', 'fr', 'es'];
const PAGES = ['overview', 'sensors', 'fans', 'history', 'processes', 'power'];
const LIVE_KEYS = ['cpuTemperature', 'gpuTemperature', 'cpuUsage', 'headline', 'fan-0-rpm', 'fan-1-rpm',
  'fan-0-mode', 'fan-1-mode', 'leaseRemaining', 'memoryPressure', 'powerSource'];

const { values: options } = parseArgs({
  options: {
    'binary-dir': { type: 'string' },
    'source-dir': { type: 'string' },
    screenshots: { type: 'string' },
    // Seconds of sampling before the tour, so the screenshots show some history.
    'warm-up': { type: 'string', default: '0' },
  },
});
// Below CTest's limit, so this script's own cleanup always runs.
const SCENARIO_SECONDS = 240 + Number(options['warm-up']);
const binaryDir = path.resolve(options['binary-dir'] ?? 'build/debug');
const sourceDir = path.resolve(options['source-dir'] ?? '.');
const screenshots = path.resolve(options.screenshots ?? path.join(binaryDir, 'screenshots'));
const programs = {
  kilnview: path.join(binaryDir, 'App', 'Kilnview'),
  helper: path.join(binaryDir, 'Sources', 'PyrelleHelper', 'PyrelleHelper'),
  simulator: path.join(binaryDir, 'Simulator', 'PyrelleSimulator'),
};

function skip(reason) {
  console.log(`SKIPPED: ${reason}`);
  process.exit(SKIP);
}

function check(condition, message) {
  if (!condition) throw new Error(message);
}

let puppeteer;
try {
  ({ default: puppeteer } = await import('puppeteer-core'));
} catch {
  skip('puppeteer-core is not installed (scripts/bootstrap debug installs it)');
}
if (process.getuid() !== 0) skip('Kilnview drives the fans through the helper, which needs root');
if (!fs.existsSync(CHROMIUM)) skip(`${CHROMIUM} is missing (scripts/bootstrap debug installs it)`);
for (const program of Object.values(programs)) {
  if (!fs.existsSync(program)) skip(`${program} is not built`);
}

const scratch = temporaryDirectory('pyrelle-browser-');
let mac;
let kilnview;
let browser;
let finished = false;

async function cleanup() {
  if (browser) {
    const chromium = browser.process();
    await Promise.race([browser.close().catch(() => {}), new Promise((r) => setTimeout(r, 5000))]);
    if (chromium && chromium.exitCode === null && chromium.signalCode === null) {
      try { process.kill(-chromium.pid, 'SIGKILL'); } catch { chromium.kill('SIGKILL'); }
    }
    browser = undefined;
  }
  await stopAll();
  if (mac) await mac.stop();
  fs.rmSync(scratch, { recursive: true, force: true });
}

async function fail(error) {
  if (finished) return;
  finished = true;
  console.error(`FAILED: ${error?.stack ?? error}`);
  if (kilnview) console.error(`--- Kilnview output ---\n${kilnview.output.slice(-4000)}`);
  await cleanup().catch((e) => console.error(`cleanup: ${e}`));
  process.exit(1);
}

for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.on(signal, () => fail(new Error(`stopped by ${signal}`)));
const watchdog = setTimeout(() => fail(new Error(`the scenario took longer than ${SCENARIO_SECONDS} s`)),
  SCENARIO_SECONDS * 1000);

// Kilnview started as root runs as the user named by --user (keeping root for the helper
// only), so what it reads and writes lives in a directory of that user.
const APP_USER = 1000;

function startKilnview() {
  const home = path.join(scratch, 'kilnview');
  fs.mkdirSync(home, { recursive: true, mode: 0o700 });
  fs.chownSync(home, APP_USER, 0);
  fs.chmodSync(scratch, 0o711);
  const env = {
    ...process.env,
    PYRELLE_SMC_SOCKET: mac.socket,
    FAKE_PMSET_STATE: path.join(home, 'pmset.state'),
    LANG: 'C.UTF-8', LC_ALL: '', LANGUAGE: '',
  };
  delete env.SUDO_UID;
  return new Child('Kilnview', programs.kilnview, [
    '--port', '0', '--user', String(APP_USER), '--helper', programs.helper,
    '--status-dir', path.join(home, 'status'),
    '--settings-tool', path.join(sourceDir, 'tools', 'fake-pmset'),
  ], { env });
}

async function apiState(url) {
  const reply = await fetch(new URL('api/state', url));
  return reply.ok ? reply.json() : null;
}

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
  mac = new VirtualMac(programs.simulator);
  await mac.started();
  mac.shareWithAllUsers();
  kilnview = startKilnview();
  const [, url] = await kilnview.waitForOutput(/Kilnview: (http:\/\/127\.0\.0\.1:\d+\/)/, 60);
  console.log(`Kilnview serves ${url}`);
  // Pages render what has been sampled: wait for two samples with both fans read.
  await poll('Kilnview to sample the virtual Mac', 30, async () => {
    const state = await apiState(url);
    return state && state.samples >= 2 && /\d/.test(state.live['fan-1-rpm']);
  }, 250);
  const warmUp = Number(options['warm-up']);
  if (warmUp > 0) {
    await mac.control({ op: 'load', value: 0.3 });
    await new Promise((resolve) => setTimeout(resolve, warmUp * 1000));
  }

  const profile = path.join(scratch, 'chromium');
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    pipe: true, // the browser ends when this process does
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  page.setDefaultTimeout(20_000);
  await page.setExtraHTTPHeaders({ 'Accept-Language': 'en-GB,en;q=0.9,de;q=0.5' });
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

  // Overview: live values follow the machine without a reload.
  await page.goto(url, { waitUntil: 'load' });
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
  browser = undefined;
  kilnview.signal('SIGKILL');
  await kilnview.exited;
  const started = Date.now();
  await poll('the fans automatic after Kilnview was killed', 15, async () => fansAutomatic(await mac.state()));
  console.log(`killed during a curve: fans automatic after ${((Date.now() - started) / 1000).toFixed(1)} s`);
}

try {
  await scenario();
  finished = true;
  clearTimeout(watchdog);
  await cleanup();
  console.log(`PASSED; screenshots in ${screenshots}`);
  process.exit(0);
} catch (error) {
  clearTimeout(watchdog);
  await fail(error);
}
