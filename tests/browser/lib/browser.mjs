// Debian's headless chromium through puppeteer-core, launched as the browser scenarios launch
// it: a private profile, no network of its own, ended with this process (pipe), and every way
// out closing it.
import fs from 'node:fs';

export const CHROMIUM = '/usr/bin/chromium';
export const SKIP = 77;

// puppeteer-core, or null when it is not installed here.
export async function loadPuppeteer() {
  try {
    return (await import('puppeteer-core')).default;
  } catch {
    return null;
  }
}

export function chromiumMissing() {
  return !fs.existsSync(CHROMIUM);
}

export async function launchChromium(puppeteer, profile) {
  return puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    pipe: true, // the browser ends when this process does
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

// Closes the browser within 5 s, killing its process group when it does not go.
export async function closeChromium(browser) {
  if (!browser) return;
  const chromium = browser.process();
  await Promise.race([browser.close().catch(() => {}), new Promise((r) => setTimeout(r, 5000))]);
  if (chromium && chromium.exitCode === null && chromium.signalCode === null) {
    try { process.kill(-chromium.pid, 'SIGKILL'); } catch { chromium.kill('SIGKILL'); }
  }
}
