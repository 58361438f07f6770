// Kilnview's pages stay true while open: with the overview open in headless chromium, the
// virtual Mac's load is raised and then its SMC stalls; each time, within 20 s, every live
// element of the open page (and its findings) reads exactly what a fresh render of the page
// says, the outage line included, without the page reloading.
//   node live.mjs --binary-dir build/debug
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no chromium, driver not installed).
// Every process it starts is killed and reaped on every path.
import { poll } from './lib/processes.mjs';
import { kilnviewAddress, openKilnview } from './lib/kilnview.mjs';
import { BrowserScenario, requireBrowserScenario, scriptArguments } from './lib/harness.mjs';

// Kilnview runs as an ordinary user: the scenario only watches, it drives no fan.
const { kilnview: kilnviewProgram, simulator } = scriptArguments().programs;

const puppeteer = await requireBrowserScenario({ kilnview: kilnviewProgram, simulator },
  'Kilnview is started as another user, which needs root');
const test = new BrowserScenario({ scratchPrefix: 'pyrelle-live-', seconds: 180 });

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
  const mac = await test.startMac(simulator);
  const kilnview = test.startKilnviewAsUser(kilnviewProgram);
  const { address: url } = await kilnviewAddress(kilnview, 60);

  await test.launchBrowser(puppeteer);
  const page = await test.newPage({ language: 'en' });
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

await test.run(scenario);
