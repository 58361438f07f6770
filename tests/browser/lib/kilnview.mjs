// Logging in to Kilnview as its user does: Kilnview prints its address with a per-run secret
// (`Kilnview: http://127.0.0.1:PORT/?secret=SECRET`); opening it once sets the session cookie
// and lands on the same page without the secret. Every browser test starts with
// openKilnview(page, address); node-side requests go through a KilnviewSession.

// The announcement Kilnview prints at start: [whole line, address, origin ("http://127.0.0.1:PORT/"), secret].
export const ANNOUNCEMENT = /Kilnview: ((http:\/\/127\.0\.0\.1:\d+\/)\?secret=([0-9a-f]+))/;

// Waits for a Child (lib/processes.mjs) running Kilnview to print its address.
export async function kilnviewAddress(child, seconds = 60) {
  const [, address, origin, secret] = await child.waitForOutput(ANNOUNCEMENT, seconds);
  return { address, origin, secret };
}

// Opens the printed address in `page` (which logs the browser in) and waits for the page.
// Returns the page's address afterwards, which no longer carries the secret.
export async function openKilnview(page, address) {
  const reply = await page.goto(address, { waitUntil: 'load' });
  if (!reply || reply.status() !== 200) throw new Error(`logging in at ${address} gave ${reply?.status()}`);
  if (page.url().includes('secret=')) throw new Error(`the login stayed at ${page.url()}`);
  return page.url();
}

// Requests from this process with the session the printed address buys (and the secret as
// the bearer token of /metrics), for checks beside the browser.
export class KilnviewSession {
  static async login(address) {
    const reply = await fetch(address, { redirect: 'manual' });
    const cookie = (reply.headers.get('set-cookie') ?? '').split(';')[0];
    if (reply.status !== 303 || !cookie.startsWith('kilnview_session_')) {
      throw new Error(`logging in at ${address} gave ${reply.status} without a session`);
    }
    const url = new URL(address);
    return new KilnviewSession(url.origin, cookie, url.searchParams.get('secret'));
  }

  constructor(origin, cookie, secret) {
    this.origin = origin;
    this.cookie = cookie;
    this.secret = secret;
  }

  fetch(path, init = {}) {
    const headers = { ...(init.headers ?? {}), cookie: this.cookie };
    if (path.startsWith('/metrics')) headers.authorization = `Bearer ${this.secret}`;
    return fetch(new URL(path, this.origin), { ...init, headers });
  }

  async state() {
    const reply = await this.fetch('/api/state');
    return reply.ok ? reply.json() : null;
  }
}
