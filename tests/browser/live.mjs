// Kilnview's pages stay true while open: with the overview open in headless chromium, the
// virtual Mac's load is raised and then its SMC stalls; each time, within 20 s, every live
// element of the open page (and its findings) reads exactly what a fresh render of the page
// says, the outage line included, without the page reloading.
//   node live.mjs --binary-dir build/debug
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no chromium, driver not installed).
// Every process it starts is killed and reaped on every path.
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { Child, VirtualMac, poll, stopAll, temporaryDirectory } from './lib/processes.mjs';
import { SKIP, chromiumMissing, closeChromium, launchChromium, loadPuppeteer } from './lib/browser.mjs';

const SCENARIO_SECONDS = 180;
// Kilnview runs as this ordinary user: the scenario only watches, it drives no fan.
const APP_USER = 1000;

const { values: options } = parseArgs({ options: { 'binary-dir': { type: 'string' } } });
const binaryDir = path.resolve(options['binary-dir'] ?? 'build/debug');
const programs = {
  kilnview: path.join(binaryDir, 'App', 'Kilnview'),
  simulator: path.join(binaryDir, 'Simulator', 'PyrelleSimulator'),
};

function skip(reason) {
  console.log(`SKIPPED: ${reason}`);
  process.exit(SKIP);
}

const puppeteer = await loadPuppeteer();
if (!puppeteer) skip('puppeteer-core is not installed (scripts/bootstrap debug installs it)');
if (process.getuid() !== 0) skip('Kilnview is started as another user, which needs root');
if (chromiumMissing()) skip('chromium is missing (scripts/bootstrap debug installs it)');
for (const program of Object.values(programs)) {
  if (!fs.existsSync(program)) skip(`${program} is not built`);
}

const scratch = temporaryDirectory('pyrelle-live-');
let mac;
let kilnview;
let browser;
let finished = false;

async function cleanup() {
  await closeChromium(browser);
  browser = undefined;
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

function startKilnview() {
  const home = path.join(scratch, 'kilnview');
  fs.mkdirSync(home, { recursive: true, mode: 0o700 });
  fs.chownSync(home, APP_USER, APP_USER);
  fs.chmodSync(scratch, 0o711);
  const env = { ...process.env, PYRELLE_SMC_SOCKET: mac.socket, HOME: home, LANG: 'C.UTF-8', LC_ALL: '', LANGUAGE: '' };
  delete env.SUDO_UID;
  return new Child('Kilnview', '/usr/bin/setpriv', [
    '--reuid', String(APP_USER), '--regid', String(APP_USER), '--clear-groups', '--',
    programs.kilnview, '--port', '0', '--status-dir', path.join(home, 'status'),
  ], { env });
}

// The one way into Kilnview: the address it printed.
async function openKilnview(page, url) {
  await page.goto(url, { waitUntil: 'load' });
}

// Every live element of the open page and of a fresh render of the same page, by key, and
// both findings lists; `same` when they agree throughout.
async function compareWithFreshRender(page) {
  return page.evaluate(async () => {
    const read = (root) => {
      const live = {};
      root.querySelectorAll('[data-live]').forEach((node) => {
        const key = node.getAttribute('data-live');
        const text = node.textContent.replace(/\s+/g, ' ').trim();
        live[key] = key in live && live[key] !== text ? `${live[key]} | ${text}` : text;
      });
      const findings = root.querySelector('#findings');
      live['#findings'] = findings ? findings.textContent.replace(/\s+/g, ' ').trim() : null;
      return live;
    };
    const before = read(document);
    const reply = await fetch(location.pathname + location.search, { credentials: 'same-origin' });
    const fresh = read(new DOMParser().parseFromString(await reply.text(), 'text/html'));
    const after = read(document);
    // Every element a fresh render has must be on the page and read the same. (A fan table
    // drawn while no fan can be read has no rows, so the page may hold keys it lacks.)
    const keys = Object.keys(fresh).sort();
    const differing = keys.filter((k) => fresh[k] !== after[k] || before[k] !== after[k]);
    return { same: differing.length === 0, differing: differing.map((k) => `${k}: page "${after[k]}", fresh "${fresh[k]}"`), live: after };
  });
}

async function agreesWithinTwentySeconds(page, what) {
  let last;
  try {
    return await poll(what, 20, async () => {
      last = await compareWithFreshRender(page);
      return last.same ? last.live : null;
    }, 250);
  } catch (error) {
    throw new Error(`${error.message}: ${last ? last.differing.join('; ') : ''}`);
  }
}

async function scenario() {
  mac = new VirtualMac(programs.simulator);
  await mac.started();
  mac.shareWithAllUsers();
  kilnview = startKilnview();
  const [, url] = await kilnview.waitForOutput(/Kilnview: (http:\/\/127\.0\.0\.1:\d+\/\S*)/, 60);

  browser = await launchChromium(puppeteer, path.join(scratch, 'chromium'));
  const page = await browser.newPage();
  page.setDefaultTimeout(20_000);
  await page.setExtraHTTPHeaders({ 'Accept-Language': 'en' });
  const scriptErrors = [];
  page.on('pageerror', (error) => scriptErrors.push(error.message));
  await openKilnview(page, url);
  await poll('a CPU temperature on the overview', 30, () =>
    page.$eval('[data-live="cpuTemperature"]', (e) => /\d/.test(e.textContent)));
  for (const key of ['thermalState', 'assessment', 'deviceOutage', 'headline', 'fan-0-rpm']) {
    if (!(await page.$(`[data-live="${key}"]`))) throw new Error(`the overview has no live ${key}`);
  }
  await page.evaluate(() => { window.__sameDocument = true; });
  const calm = await agreesWithinTwentySeconds(page, 'the calm overview to agree with a fresh render');

  await mac.control({ op: 'load', value: 0.95 });
  await mac.control({ op: 'advance', seconds: 300 });
  await poll('the CPU temperature to rise on the open overview', 30, () =>
    page.$eval('[data-live="cpuTemperature"]', (e, was) => parseFloat(e.textContent) > parseFloat(was) + 5,
      calm.cpuTemperature));
  const hot = await agreesWithinTwentySeconds(page, 'the loaded overview to agree with a fresh render');
  console.log(`loaded: CPU ${calm.cpuTemperature} → ${hot.cpuTemperature}, thermal state ` +
    `"${calm.thermalState}" → "${hot.thermalState}", findings "${hot['#findings']}"`);

  // The SMC stalls: the open page says since when, in agreement with a fresh render, and
  // clears the line once the device answers again.
  await mac.control({ op: 'fault', kind: 'stall', seconds: 12 });
  await poll('the outage line on the open overview', 15, () =>
    page.$eval('[data-live="deviceOutage"]', (e) => e.textContent.trim().length > 0));
  const silent = await agreesWithinTwentySeconds(page, 'the overview during the outage to agree with a fresh render');
  if (!/has not answered since \d\d:\d\d:\d\d; retrying/.test(silent.deviceOutage)) {
    throw new Error(`the outage line reads "${silent.deviceOutage}"`);
  }
  await poll('the outage line to clear', 20, () =>
    page.$eval('[data-live="deviceOutage"]', (e) => e.textContent.trim() === ''));
  await agreesWithinTwentySeconds(page, 'the overview after the outage to agree with a fresh render');
  console.log(`outage: "${silent.deviceOutage}", cleared once the device answered`);

  if (!(await page.evaluate(() => window.__sameDocument === true))) throw new Error('the overview reloaded');
  if (scriptErrors.length) throw new Error(`script errors: ${scriptErrors.join(' | ')}`);
}

try {
  await scenario();
  finished = true;
  clearTimeout(watchdog);
  await cleanup();
  console.log('PASSED');
  process.exit(0);
} catch (error) {
  clearTimeout(watchdog);
  await fail(error);
}
