// What every browser scenario stands on: the checks that decide whether it can run here (77,
// skipped, when it cannot), a scratch directory, the virtual Mac, Kilnview started as root
// and serving as an ordinary user, headless chromium, and one way out for every path: passed
// (0), failed (1, with the tail of Kilnview's output), stopped by a signal or by the
// watchdog. Whatever the path, the browser is closed, every child is killed and reaped and
// the scratch directory is removed.
import fs from 'node:fs';
import path from 'node:path';
import { parseArgs } from 'node:util';
import { CHROMIUM, SKIP, chromiumMissing, closeChromium, launchChromium, loadPuppeteer } from './browser.mjs';
import { Child, VirtualMac, stopAll, temporaryDirectory } from './processes.mjs';

// The ordinary user Kilnview serves as once started as root.
export const APP_USER = 1000;

export function skip(reason) {
  console.log(`SKIPPED: ${reason}`);
  process.exit(SKIP);
}

export function check(condition, message) {
  if (!condition) throw new Error(message);
}

// The command line every browser script takes: --binary-dir, --source-dir, --screenshots and
// --warm-up (seconds of sampling before the pages are visited). Returns the options with the
// directories resolved and the programs of the build.
export function scriptArguments() {
  const { values } = parseArgs({
    options: {
      'binary-dir': { type: 'string' },
      'source-dir': { type: 'string' },
      screenshots: { type: 'string' },
      'warm-up': { type: 'string', default: '0' },
    },
  });
  const binaryDir = path.resolve(values['binary-dir'] ?? 'build/debug');
  return {
    binaryDir,
    sourceDir: path.resolve(values['source-dir'] ?? '.'),
    screenshots: values.screenshots ? path.resolve(values.screenshots) : null,
    warmUp: Number(values['warm-up']),
    programs: programsIn(binaryDir),
  };
}

// The built programs the scenarios start, below the build directory.
export function programsIn(binaryDir) {
  return {
    kilnview: path.join(binaryDir, 'App', 'Kilnview'),
    helper: path.join(binaryDir, 'Sources', 'PyrelleHelper', 'PyrelleHelper'),
    simulator: path.join(binaryDir, 'Simulator', 'PyrelleSimulator'),
  };
}

// Skips (exits 77) unless the driver, root, chromium and every one of `programs` are here;
// returns puppeteer. `rootReason` says what this scenario needs root for.
export async function requireBrowserScenario(programs,
  rootReason = 'Kilnview drives the fans through the helper, which needs root') {
  const puppeteer = await loadPuppeteer();
  if (!puppeteer) skip('puppeteer-core is not installed (scripts/bootstrap debug installs it)');
  if (process.getuid() !== 0) skip(rootReason);
  if (chromiumMissing()) skip(`${CHROMIUM} is missing (scripts/bootstrap debug installs it)`);
  for (const program of Object.values(programs)) {
    if (!fs.existsSync(program)) skip(`${program} is not built`);
  }
  return puppeteer;
}

// One run of a scenario. Constructing it installs the signal handlers and the watchdog: the
// run fails after `seconds` (kept below CTest's limit, so this cleanup always runs) with
// "`what` took longer than …".
export class BrowserScenario {
  constructor({ scratchPrefix, seconds, what = 'the scenario' }) {
    this.scratch = temporaryDirectory(scratchPrefix);
    this.mac = undefined;
    this.kilnview = undefined;
    this.browser = undefined;
    this.finished = false;
    for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
      process.on(signal, () => this.fail(new Error(`stopped by ${signal}`)));
    }
    this.watchdog = setTimeout(() => this.fail(new Error(`${what} took longer than ${seconds} s`)), seconds * 1000);
  }

  // The virtual Mac, listening and reachable by Kilnview's user.
  async startMac(simulator) {
    this.mac = new VirtualMac(simulator);
    await this.mac.started();
    this.mac.shareWithAllUsers();
    return this.mac;
  }

  // Kilnview started as root with --user: it serves as APP_USER and keeps root for the helper
  // only; the power settings go through tools/fake-pmset.
  startKilnview({ kilnview, helper }, sourceDir) {
    const home = this.#appHome(0);
    const env = this.#environment({ FAKE_PMSET_STATE: path.join(home, 'pmset.state') });
    this.kilnview = new Child('Kilnview', kilnview, [
      '--port', '0', '--user', String(APP_USER), '--helper', helper,
      '--status-dir', path.join(home, 'status'),
      '--settings-tool', path.join(sourceDir, 'tools', 'fake-pmset'),
    ], { env });
    return this.kilnview;
  }

  // Kilnview started as APP_USER outright (no helper): for scenarios that only watch.
  startKilnviewAsUser(kilnview) {
    const home = this.#appHome(APP_USER);
    const env = this.#environment({ HOME: home });
    this.kilnview = new Child('Kilnview', '/usr/bin/setpriv', [
      '--reuid', String(APP_USER), '--regid', String(APP_USER), '--clear-groups', '--',
      kilnview, '--port', '0', '--status-dir', path.join(home, 'status'),
    ], { env });
    return this.kilnview;
  }

  // What Kilnview reads and writes lives in a directory of its user, inside the scratch
  // directory (which that user may pass through).
  #appHome(group) {
    const home = path.join(this.scratch, 'kilnview');
    fs.mkdirSync(home, { recursive: true, mode: 0o700 });
    fs.chownSync(home, APP_USER, group);
    fs.chmodSync(this.scratch, 0o711);
    return home;
  }

  // This process's environment on the virtual Mac, in the neutral locale, without SUDO_UID
  // (which Kilnview would otherwise take for its user).
  #environment(extra) {
    const env = { ...process.env, PYRELLE_SMC_SOCKET: this.mac.socket, ...extra, LANG: 'C.UTF-8', LC_ALL: '', LANGUAGE: '' };
    delete env.SUDO_UID;
    return env;
  }

  async launchBrowser(puppeteer) {
    this.browser = await launchChromium(puppeteer, path.join(this.scratch, 'chromium'));
    return this.browser;
  }

  // A new tab with 20 s for every wait, at `viewport`, asking for `language` when given.
  async newPage({ viewport, language } = {}) {
    const page = await this.browser.newPage();
    page.setDefaultTimeout(20_000);
    if (viewport) await page.setViewport(viewport);
    if (language) await page.setExtraHTTPHeaders({ 'Accept-Language': language });
    return page;
  }

  async cleanup() {
    await closeChromium(this.browser);
    this.browser = undefined;
    await stopAll();
    if (this.mac) await this.mac.stop();
    fs.rmSync(this.scratch, { recursive: true, force: true });
  }

  async fail(error) {
    if (this.finished) return;
    this.finished = true;
    console.error(`FAILED: ${error?.stack ?? error}`);
    if (this.kilnview) console.error(`--- Kilnview output ---\n${this.kilnview.output.slice(-4000)}`);
    await this.cleanup().catch((e) => console.error(`cleanup: ${e}`));
    process.exit(1);
  }

  // Runs `scenario` and exits: 0 with the line `passed()` returns, or 1 through fail().
  async run(scenario, passed = () => 'PASSED') {
    try {
      await scenario();
      this.finished = true;
      clearTimeout(this.watchdog);
      await this.cleanup();
      console.log(passed());
      process.exit(0);
    } catch (error) {
      clearTimeout(this.watchdog);
      await this.fail(error);
    }
  }
}
