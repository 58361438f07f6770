// Kilnview's curve editor and history in a real browser, as a person uses them: a virtual Mac,
// `Kilnview --port 0` as root and Debian's headless chromium driven by puppeteer-core.
//   node scenarios.mjs --binary-dir build/debug --source-dir .
// Curve: drag a point into a shape the core refuses and see the refusal at that point, drag it
// back, start the curve, start it again over the running one after confirming the replacement
// (and see a refused confirmation send nothing), watch the operating-point marker follow the
// rising load, hand back to automatic from the lease bar of another page, and see a fan
// test's result give way to how it ended.
// History: the charts gain points live, the 5-minute window rescales, and a device stall shows
// as a gap marker. Processes: sorted by a header and filtered; notifications off until asked,
// then one for a lease that failed.
// Exit status: 0 passed, 1 failed, 77 skipped. Every process it starts is killed and reaped.
import { fansAutomatic, fansManual, poll } from './lib/processes.mjs';
import { KilnviewSession, kilnviewAddress, openKilnview as logIn } from './lib/kilnview.mjs';
import { BrowserScenario, check, requireBrowserScenario, scriptArguments } from './lib/harness.mjs';

const { sourceDir, programs } = scriptArguments();

const puppeteer = await requireBrowserScenario(programs);
const test = new BrowserScenario({ scratchPrefix: 'pyrelle-scenarios-', seconds: 150, what: 'the scenarios' });
// The virtual Mac the scenarios drive.
let mac;

// Every page is opened through here; the first visit logs in through the printed address.
let base;
let address;
let loggedIn = false;
async function openKilnview(page, pagePath) {
  if (!loggedIn) {
    await logIn(page, address);
    loggedIn = true;
  }
  await page.goto(new URL(pagePath, base).href, { waitUntil: 'load' });
}

// The page position of the curve graph's point (temperature, percent).
async function graphPoint(page, temperature, percent) {
  return page.evaluate((t, p) => {
    const editor = document.getElementById('curve-editor');
    const frame = editor.dataset.frame.split(' ').map(Number);
    const domain = editor.dataset.domain.split(' ').map(Number);
    const svg = document.getElementById('curve-graph');
    const point = svg.createSVGPoint();
    point.x = frame[0] + (t - domain[0]) / (domain[1] - domain[0]) * frame[2];
    point.y = frame[1] + frame[3] - (p - domain[2]) / (domain[3] - domain[2]) * frame[3];
    const at = point.matrixTransform(svg.getScreenCTM());
    return { x: at.x, y: at.y };
  }, temperature, percent);
}

async function drag(page, index, temperature, percent) {
  const handle = await page.$(`#curve-handles .handle[data-index="${index}"]`);
  const box = await handle.boundingBox();
  const to = await graphPoint(page, temperature, percent);
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  await page.mouse.move(to.x, to.y, { steps: 8 });
  await page.mouse.up();
}

const notes = (page) => page.$$eval('#curve-points tbody tr', (rows) => rows.map((row) => ({
  note: row.querySelector('.point-note').textContent.trim(),
  temperature: Number(row.querySelector('.point-temperature').value),
  percent: Number(row.querySelector('.point-percent').value),
})));

async function curveScenario(page, dialogs) {
  await openKilnview(page, 'fans');
  const before = await notes(page);
  check(before.length >= 3 && before.every((row) => row.note === ''), `the editor starts with a valid preset: ${JSON.stringify(before)}`);
  // Point 2 dragged below point 1's percent: the core's order rule, at point 2 only.
  await drag(page, 1, before[1].temperature, 0);
  const refused = await poll('the refusal at the dragged point', 10, async () => {
    const rows = await notes(page);
    return rows[1].note ? rows : null;
  });
  check(refused[1].percent === 0, `the dragged point's input follows the drag: ${JSON.stringify(refused[1])}`);
  check(refused.every((row, i) => i === 1 || row.note === ''), `only the dragged point is marked: ${JSON.stringify(refused)}`);
  check(await page.$('#curve-handles .handle.invalid[data-index="1"]'), 'the dragged handle is marked on the graph');
  console.log(`invalid drag: "${refused[1].note}"`);
  await drag(page, 1, before[1].temperature, before[0].percent + 5);
  await poll('the refusal to clear', 10, async () => (await notes(page)).every((row) => row.note === ''));

  await page.$eval('#curve-duration', (input) => { input.value = '120'; });
  await page.click('#curve-start');
  await poll('the curve to run', 30, async () => fansManual(await mac.state()));
  await poll('the lease bar', 10, () => page.$eval('#lease-bar', (bar) => !bar.hidden));
  check(dialogs.length === 0, `starting over automatic fans asks nothing: ${dialogs}`);

  // Full speed over the running curve: refused at the confirmation, nothing is sent.
  dialogs.answer = false;
  await page.$eval('#fan-result', (e) => { e.textContent = ''; });
  await page.click('#fan-cooling');
  check(dialogs.length === 1 && /5/.test(dialogs[0]), `the full-speed run asks first: ${dialogs}`);
  await new Promise((resolve) => setTimeout(resolve, 500));
  check((await page.$eval('#fan-result', (e) => e.textContent)) === '', 'a refused confirmation sends nothing');
  // The curve again over the running one: confirmed, it replaces it.
  dialogs.answer = true;
  await page.click('#curve-start');
  check(dialogs.length === 2, `replacing the running curve asks first: ${dialogs}`);
  await poll('the replacement to be confirmed', 30, () => page.$eval('#fan-result', (e) => e.classList.contains('ok')));
  await poll('the running curve in the editor', 10, () => page.$eval('#curve-running', (e) => !e.hidden));

  // The operating point follows the load.
  const markerAt = () => page.evaluate(() => {
    const now = document.getElementById('curve-now');
    return now.getAttribute('visibility') === 'visible' && document.querySelectorAll('#curve-fans .fan-mark').length > 0
      ? Number(now.getAttribute('x1')) : null;
  });
  const start = await poll('the operating-point marker', 10, markerAt);
  await mac.control({ op: 'load', value: 1 });
  const moved = await poll('the marker to move with the load', 45, async () => {
    const x = await markerAt();
    return x !== null && x > start + 4 ? x : null;
  }, 500);
  console.log(`operating point moved from x=${start} to x=${moved}`);
  await mac.control({ op: 'load', value: 0.2 });

  // Back to automatic from the bar of another page.
  await openKilnview(page, 'history');
  await poll('the lease bar on the history page', 10, () => page.$eval('#lease-bar', (bar) => !bar.hidden));
  await page.click('#lease-auto');
  await poll('the fans automatic', 30, async () => fansAutomatic(await mac.state()));
  await poll('the bar to go', 10, () => page.$eval('#lease-bar', (bar) => bar.hidden));
  check(await page.$eval('#lease-outcome', (e) => !e.hidden && e.textContent.trim() !== ''), 'the bar says what happened');

  // A fan test's result gives way to how it ended once its lease is over.
  await openKilnview(page, 'fans');
  await page.click('#fan-test');
  await poll('the fan test to be said finished', 45,
    () => page.$eval('#fan-result', (e) => e.textContent.trim() === 'Fan test finished; fans automatic again'), 250);
  check(fansAutomatic(await mac.state()), 'the fans are automatic after the test');
  check(dialogs.length === 2, `a test over automatic fans asks nothing: ${dialogs}`);
}

async function historyScenario(page) {
  await openKilnview(page, 'history');
  const points = () => page.$eval('#chart-temperature g.data', (g) => g.dataset.x.split(' ').length);
  const first = await points();
  await poll('the temperature chart to gain points live', 10, async () => (await points()) > first);
  await page.click('.windows a[data-minutes="5"]');
  await poll('the 5-minute window', 10, () => page.$eval('#chart-temperature svg', (svg) => Number(svg.dataset.seconds) <= 300)
    .then((ok) => ok && page.$eval('.windows a[aria-current="true"]', (a) => a.dataset.minutes === '5')));
  // The device goes silent for longer than the record bridges: a marked break.
  await mac.control({ op: 'fault', kind: 'stall', seconds: 20 });
  await poll('a gap marker after the stall', 60, () => page.$('#chart-temperature line.gap'), 500);
  console.log('stall shown as a gap marker');
  await openKilnview(page, 'sensors');
  await poll('a sparkline beside every reading', 15, () => page.$$eval('table.sensors td.reading',
    (cells) => cells.length > 0 && cells.every((cell) => cell.querySelector('svg.spark path'))), 500);
}

// Processes: sorted by a header, filtered as one types; notifications: off until turned on.
async function processesScenario(page) {
  await openKilnview(page, 'processes');
  await page.click('#top-cpu thead th:nth-child(3) button');
  const cpu = await page.$$eval('#top-cpu tbody tr', (rows) => rows.map((row) => Number(row.cells[2].dataset.value)));
  check(cpu.length > 1 && cpu.every((v, i) => i === 0 || cpu[i - 1] >= v), `CPU sorted highest first: ${cpu}`);
  check(await page.$eval('#top-cpu thead th:nth-child(3)', (th) => th.getAttribute('aria-sort')) === 'descending', 'the sort is announced');
  const name = await page.$eval('#top-cpu tbody tr td:nth-child(2)', (td) => td.textContent);
  await page.type('#process-filter', name);
  const shown = await page.$$eval('#top-cpu tbody tr:not([hidden])', (rows) => rows.map((row) => row.cells[1].textContent));
  check(shown.length >= 1 && shown.every((n) => n.toLowerCase().includes(name.toLowerCase())), `filtered to "${name}": ${shown}`);

  check(await page.$eval('#notify-toggle', (b) => b.getAttribute('aria-pressed')) === 'false', 'notifications start off');
  await page.browserContext().overridePermissions(base, ['notifications']);
  await page.click('#notify-toggle');
  await poll('notifications to turn on', 5, () => page.$eval('#notify-toggle', (b) => b.getAttribute('aria-pressed') === 'true'));

  // Turned on, a lease that ends in a failure says so in a notification: a full-speed run whose
  // fan another program takes over.
  await page.evaluate(() => {
    window.notified = [];
    const Shown = window.Notification;
    window.Notification = class extends Shown {
      constructor(title, options) {
        window.notified.push(options?.body ?? '');
        super(title, options);
      }
    };
  });
  const post = (action) => page.evaluate((to) => fetch(to, {
    method: 'POST', credentials: 'same-origin', body: '{}',
    headers: { 'Content-Type': 'application/json', 'X-Kilnview-Token': document.querySelector('meta[name="kilnview-token"]').content },
  }).then((reply) => reply.json()), `/api/fans/${action}`);
  // (Once the device answers again after the history's stall.)
  await poll('the full-speed run to start', 60, async () => (await post('cooling')).ok, 1000);
  await poll('the lease bar', 20, () => page.$eval('#lease-bar', (bar) => !bar.hidden));
  await poll('the fans taken', 20, async () => fansManual(await mac.state()));
  await mac.control({ op: 'fault', kind: 'steal-fan', fan: 0 });
  const said = await poll('a notification of the failed lease', 30, () => page.evaluate(() => window.notified[0]), 250);
  console.log(`notified: "${said}"`);
  await mac.control({ op: 'clear-faults' });
  await post('auto');
  await poll('the fans automatic again', 30, async () => fansAutomatic(await mac.state()));
}

async function scenario() {
  mac = await test.startMac(programs.simulator);
  const kilnview = test.startKilnview(programs, sourceDir);
  ({ address, origin: base } = await kilnviewAddress(kilnview, 60));
  const session = await KilnviewSession.login(address);
  await poll('Kilnview to sample the virtual Mac', 30, async () => {
    const state = await session.state().catch(() => null);
    return state && state.samples >= 2 && /\d/.test(state.live['fan-1-rpm']);
  }, 250);
  await test.launchBrowser(puppeteer);
  const page = await test.newPage({ viewport: { width: 1280, height: 900 }, language: 'en' });
  const errors = [];
  page.on('pageerror', (error) => errors.push(String(error)));
  const dialogs = [];
  dialogs.answer = true;
  page.on('dialog', (dialog) => {
    dialogs.push(dialog.message());
    (dialogs.answer ? dialog.accept() : dialog.dismiss()).catch(() => {});
  });
  const started = Date.now();
  await curveScenario(page, dialogs);
  console.log(`curve scenario: ${((Date.now() - started) / 1000).toFixed(1)} s`);
  await historyScenario(page);
  await processesScenario(page);
  console.log(`curve and history scenarios: ${((Date.now() - started) / 1000).toFixed(1)} s`);
  check(errors.length === 0, `script errors: ${errors.join('; ')}`);
}

await test.run(scenario);
