// Every Kilnview page as people read it: in English and Chinese, light and dark, on a desktop
// and on a 390 px phone. On each: no axe-core violation of impact serious or critical, no
// sideways scrolling on the phone, and no CJK text on an English page outside the language
// menu. The appearance switch is remembered, the skip link comes first, and no request fails
// (a favicon among them).
//   node pages.mjs --binary-dir build/debug --source-dir . [--screenshots DIR] [--warm-up S]
// With --screenshots, every page is also captured in light and dark, desktop and phone.
// Exit status: 0 passed, 1 failed, 77 skipped (not root, no chromium, driver not installed).
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';
import { poll } from './lib/processes.mjs';
import { openKilnview as logIn } from './lib/kilnview.mjs';
import { BrowserScenario, requireBrowserScenario, scriptArguments, skip } from './lib/harness.mjs';

const PAGES = { overview: '/', sensors: '/sensors', fans: '/fans', history: '/history',
  processes: '/processes', power: '/power' };
const DESKTOP = { width: 1280, height: 900 };
const PHONE = { width: 390, height: 844 };
// Han, kana, hangul and the CJK punctuation blocks.
const CJK = /[\u3000-\u303f\u3040-\u30ff\u3400-\u4dbf\u4e00-\u9fff\uac00-\ud7af\uff00-\uffef]/u;

const { sourceDir, screenshots, warmUp, programs } = scriptArguments();

const puppeteer = await requireBrowserScenario(programs);
let axeSource;
try {
  axeSource = fs.readFileSync(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
} catch {
  skip('axe-core is not installed (scripts/bootstrap debug installs it)');
}
const test = new BrowserScenario({ scratchPrefix: 'pyrelle-pages-', seconds: 150 + warmUp, what: 'the tour' });

// The one way this tour reaches a page: the address Kilnview printed (with whatever login it
// carries) on the first visit, then the page by its path.
let signedIn = false;
async function openKilnview(page, address, pagePath = '/', query = '') {
  if (!signedIn) {
    await logIn(page, address);
    signedIn = true;
  }
  const target = new URL(pagePath, address);
  target.search = query;
  await page.goto(target.href, { waitUntil: 'load' });
}

async function axeProblems(page) {
  if (!(await page.evaluate(() => typeof window.axe === 'object'))) await page.evaluate(axeSource);
  const violations = await page.evaluate(async () => {
    const result = await window.axe.run(document, { resultTypes: ['violations'] });
    return result.violations.map((v) => ({ id: v.id, impact: v.impact, nodes: v.nodes.map((n) => n.target.join(' ')) }));
  });
  return violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id} (${v.impact}) at ${v.nodes.slice(0, 3).join(', ')}${v.nodes.length > 3 ? ` and ${v.nodes.length - 3} more` : ''}`);
}

// Text a reader sees or a screen reader says, outside the language menu and the values the
// user typed (inputs are not text content).
async function cjkLines(page) {
  const texts = await page.evaluate(() => {
    const body = document.body.cloneNode(true);
    body.querySelectorAll('#language').forEach((menu) => menu.remove());
    const said = [...body.querySelectorAll('[aria-label],[title],[alt],[placeholder]')]
      .flatMap((e) => ['aria-label', 'title', 'alt', 'placeholder'].map((a) => e.getAttribute(a) ?? ''));
    return [document.title, ...body.textContent.split('\n'), ...said];
  });
  return texts.map((t) => t.trim()).filter((t) => CJK.test(t));
}

// What one page load cost, as the browser measured it: bytes received for the page and its
// assets (cached assets count 0) and the time to first contentful paint. Reported, not judged.
async function weight(page) {
  return page.evaluate(async () => {
    const entries = [...performance.getEntriesByType('navigation'), ...performance.getEntriesByType('resource')];
    const bytes = entries.reduce((sum, e) => sum + (e.encodedBodySize || 0), 0);
    const paint = await new Promise((resolve) => {
      new PerformanceObserver((list) => resolve(list.getEntriesByName('first-contentful-paint')[0]?.startTime))
        .observe({ type: 'paint', buffered: true });
      setTimeout(resolve, 2000);
    });
    return `${(bytes / 1024).toFixed(1)} KiB, ${paint === undefined ? '?' : `${(paint / 1000).toFixed(2)} s`}`;
  });
}

async function scheme(page, value) {
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value }]);
}

async function shoot(page, name) {
  if (!screenshots) return;
  // The first screen of the page: what a person sees on opening it.
  await page.screenshot({ path: path.join(screenshots, `${name}.png`) });
}

async function tour() {
  const mac = await test.startMac(programs.simulator);
  const kilnview = test.startKilnview(programs, sourceDir);
  const [, address] = await kilnview.waitForOutput(/Kilnview: (http:\/\/127\.0\.0\.1:\d+\/\S*)/, 60);
  await test.launchBrowser(puppeteer);
  const page = await test.newPage({ viewport: DESKTOP });
  const failedRequests = [];
  page.on('response', (reply) => {
    if (reply.status() >= 400) failedRequests.push(`${reply.request().method()} ${new URL(reply.url()).pathname}: ${reply.status()}`);
  });
  page.on('requestfailed', (request) => {
    const url = new URL(request.url());
    // Event streams of pages being left are cut by the navigation itself.
    if (url.pathname !== '/events') failedRequests.push(`${request.method()} ${url.pathname}: ${request.failure()?.errorText}`);
  });
  const scriptErrors = [];
  page.on('pageerror', (error) => scriptErrors.push(error.message));

  // The pages render what has been sampled: both fans read, two samples, a little load.
  await openKilnview(page, address, '/');
  await mac.control({ op: 'load', value: 0.35 });
  await poll('Kilnview to sample the virtual Mac', 30, () => page.evaluate(async () => {
    const reply = await fetch('/api/state');
    const state = reply.ok ? await reply.json() : null;
    return state && state.samples >= 2 && /\d/.test(state.live['fan-1-rpm']);
  }), 250);
  if (warmUp > 0) await new Promise((resolve) => setTimeout(resolve, warmUp * 1000));
  if (screenshots) fs.mkdirSync(screenshots, { recursive: true });

  const problems = [];
  const weights = [];
  for (const [name, pagePath] of Object.entries(PAGES)) {
    for (const lang of ['en', 'zh-Hans']) {
      await openKilnview(page, address, pagePath, `?lang=${lang}`);
      const where = `${name} (${lang})`;
      if (lang === 'en') weights.push(`${name} ${await weight(page)}`);
      for (const theme of ['light', 'dark']) {
        await scheme(page, theme);
        const background = await page.evaluate(() => getComputedStyle(document.body).backgroundColor);
        const dark = /rgb\((\d+)/.exec(background)?.[1] < 128;
        if (dark !== (theme === 'dark')) problems.push(`${where}: the ${theme} page has the background ${background}`);
        for (const found of await axeProblems(page)) problems.push(`${where}, ${theme}: ${found}`);
        if (lang === 'en') await shoot(page, `${name}-${theme}`);
      }
      if (lang === 'en') {
        for (const line of await cjkLines(page)) problems.push(`${where}: CJK text "${line.slice(0, 80)}"`);
      }
      await page.setViewport(PHONE);
      for (const theme of ['light', 'dark']) {
        await scheme(page, theme);
        const width = await page.evaluate(() => ({
          scroll: document.documentElement.scrollWidth, client: document.documentElement.clientWidth }));
        if (width.scroll > width.client) {
          problems.push(`${where}, ${theme}: ${width.scroll} px wide in a ${width.client} px phone window`);
        }
        if (lang === 'en') await shoot(page, `${name}-${theme}-phone`);
      }
      await page.setViewport(DESKTOP);
    }
  }

  // The switch overrides the system's preference and is remembered across pages: the next page
  // arrives dark from the server (no light flash before its scripts run).
  const servedDark = () => page.evaluate(async () => (await (await fetch('/history')).text()).includes('data-theme="dark"'));
  await scheme(page, 'light');
  await openKilnview(page, address, '/fans', '?lang=en');
  await page.select('#theme', 'dark');
  await openKilnview(page, address, '/history', '?lang=en');
  const kept = await page.evaluate(() => ({
    theme: document.documentElement.dataset.theme, choice: document.getElementById('theme').value,
    background: getComputedStyle(document.body).backgroundColor }));
  kept.served = await servedDark();
  if (!kept.served || kept.theme !== 'dark' || kept.choice !== 'dark' || !(/rgb\((\d+)/.exec(kept.background)?.[1] < 128)) {
    problems.push(`the dark choice was not kept on the next page: ${JSON.stringify(kept)}`);
  }
  await page.select('#theme', '');
  if (await servedDark()) problems.push('following the system again still serves the dark choice');
  const icon = await page.evaluate(async () => {
    const reply = await fetch('/favicon.ico', { credentials: 'omit' });
    return `${reply.status} ${reply.headers.get('content-type')}`;
  });
  if (icon !== '200 image/svg+xml') problems.push(`/favicon.ico answers ${icon}`);

  // The first Tab reaches the skip link, which moves the focus to the page's content.
  await page.keyboard.press('Tab');
  const first = await page.evaluate(() => document.activeElement?.getAttribute('href'));
  if (first !== '#main') problems.push(`the first Tab reaches ${first}, not the skip link`);
  await page.keyboard.press('Enter');
  const focused = await page.evaluate(() => document.activeElement?.id);
  if (focused !== 'main') problems.push(`the skip link moved the focus to "${focused}", not the content`);

  if (failedRequests.length) problems.push(`failed requests: ${[...new Set(failedRequests)].join(' | ')}`);
  if (scriptErrors.length) problems.push(`script errors: ${scriptErrors.join(' | ')}`);
  console.log(`page, bytes over the wire (page + style + script) and first paint: ${weights.join('; ')}`);
  if (problems.length) throw new Error(`${problems.length} problems:\n  ${problems.join('\n  ')}`);
  console.log(`${Object.keys(PAGES).length} pages × 2 languages × light and dark: no serious axe finding, ` +
    'no sideways scrolling at 390 px, no CJK on the English pages');
}

const started = Date.now();
await test.run(tour, () =>
  `PASSED in ${((Date.now() - started) / 1000).toFixed(1)} s${screenshots ? `; screenshots in ${screenshots}` : ''}`);
