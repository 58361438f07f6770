// Child processes that cannot outlive the test: each runs in its own process group, killed
// and reaped by stopAll() on every exit path this process sees. For the paths it cannot see
// (this process killed outright) each group has a guard: a shell that waits for its standard
// input to close, which happens when this process dies, and then kills the group. (The
// parent-death signal alone would not do: Kilnview changes its user ids, which clears it.)
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const running = new Set();

export class Child {
  constructor(name, program, args, options = {}) {
    this.name = name;
    this.output = '';
    this.process = spawn('/usr/bin/setpriv', ['--pdeathsig', 'KILL', '--', program, ...args], {
      detached: true, // a process group of its own, so its children are killed with it
      stdio: ['ignore', 'pipe', 'pipe'],
      env: options.env ?? process.env,
    });
    this.pid = this.process.pid;
    this.guard = spawn('/bin/sh', ['-c', 'read _; kill -KILL "-$0" 2>/dev/null', String(this.pid)], {
      detached: true,
      stdio: ['pipe', 'ignore', 'ignore'],
    });
    this.guard.unref();
    this.exited = new Promise((resolve) => {
      this.process.on('exit', (code, signal) => {
        running.delete(this);
        resolve({ code, signal });
      });
      this.process.on('error', (error) => {
        running.delete(this);
        this.output += `\n[${name}: ${error.message}]`;
        resolve({ code: -1, signal: null });
      });
    });
    this.exitStatus = null;
    this.exited.then((status) => { this.exitStatus = status; });
    const keep = (chunk) => {
      this.output += chunk.toString();
      if (this.output.length > 200_000) this.output = this.output.slice(-100_000);
    };
    this.process.stdout.on('data', keep);
    this.process.stderr.on('data', keep);
    running.add(this);
  }

  get alive() { return this.exitStatus === null; }

  // Waits until the output matches `pattern` and returns the match; fails early when the
  // program ends first.
  async waitForOutput(pattern, seconds) {
    return poll(`${this.name} to print ${pattern}`, seconds, () => {
      const match = this.output.match(pattern);
      if (match) return match;
      if (!this.alive) throw new Error(`${this.name} ended (${JSON.stringify(this.exitStatus)}):\n${this.output}`);
      return null;
    });
  }

  signal(name) {
    if (this.alive) {
      try { process.kill(this.pid, name); } catch { /* already gone */ }
    }
  }

  signalGroup(name) {
    try { process.kill(-this.pid, name); } catch { /* no such group any more */ }
  }

  // SIGTERM to the program, SIGKILL to its group after `seconds`; resolves once reaped.
  async stop(seconds = 10) {
    this.signal('SIGTERM');
    const timer = setTimeout(() => this.signalGroup('SIGKILL'), seconds * 1000);
    const status = await this.exited;
    clearTimeout(timer);
    this.signalGroup('SIGKILL'); // anything the program left behind in its group
    await this.dismissGuard();
    return status;
  }

  // The group is gone: the guard ends without killing anything (its group id could be reused).
  async dismissGuard() {
    if (this.guard.exitCode !== null || this.guard.signalCode !== null) return;
    const ended = new Promise((resolve) => this.guard.once('exit', resolve));
    this.guard.ref(); // keeps the event loop alive until the guard is reaped
    this.guard.kill('SIGKILL');
    await ended;
  }
}

export async function stopAll() {
  await Promise.all([...running].map((child) => child.stop(5)));
}

// Calls `probe` every `intervalMs` until it returns a truthy value (which is returned) or
// `seconds` pass (an error naming `what`, with the last value seen).
export async function poll(what, seconds, probe, intervalMs = 100) {
  const deadline = Date.now() + seconds * 1000;
  let last;
  for (;;) {
    last = await probe();
    if (last) return last;
    if (Date.now() > deadline) {
      throw new Error(`timed out after ${seconds} s waiting for ${what}` +
        (last === undefined || last === null || last === false ? '' : ` (last: ${JSON.stringify(last)})`));
    }
    await new Promise((resolve) => setTimeout(resolve, intervalMs));
  }
}

export function temporaryDirectory(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// The virtual Mac: a PyrelleSimulator process on a private socket, driven through its JSON
// control requests (selector 16).
export class VirtualMac {
  constructor(simulator, profile = 'apple-m4-pro') {
    this.directory = temporaryDirectory('pyrelle-browser-vm-');
    this.socket = path.join(this.directory, 'smc.sock');
    this.child = new Child('PyrelleSimulator', simulator, ['--profile', profile, '--socket', this.socket]);
  }

  async started() {
    await poll('the virtual Mac to listen', 20, () => {
      if (!this.child.alive) throw new Error(`the virtual Mac ended:\n${this.child.output}`);
      return fs.existsSync(this.socket);
    }, 20);
  }

  // Lets processes of other users reach the device: Kilnview started as root samples and
  // serves as an ordinary user, keeping root only for the helper.
  shareWithAllUsers() {
    fs.chmodSync(this.directory, 0o711);
    fs.chmodSync(this.socket, 0o666);
  }

  control(request) {
    return new Promise((resolve, reject) => {
      const payload = Buffer.from(JSON.stringify(request));
      const header = Buffer.alloc(8);
      header.writeUInt32LE(16, 0);
      header.writeUInt32LE(payload.length, 4);
      const socket = net.createConnection(this.socket);
      let data = Buffer.alloc(0);
      socket.setTimeout(5000, () => socket.destroy(new Error('the virtual Mac did not answer')));
      socket.on('connect', () => socket.write(Buffer.concat([header, payload])));
      socket.on('data', (chunk) => {
        data = Buffer.concat([data, chunk]);
        if (data.length >= 8 && data.length >= 8 + data.readUInt32LE(4)) {
          socket.end();
          try {
            resolve(JSON.parse(data.subarray(8, 8 + data.readUInt32LE(4)).toString()));
          } catch (error) {
            reject(error);
          }
        }
      });
      socket.on('error', reject);
      socket.on('close', () => reject(new Error('the virtual Mac closed the connection')));
    });
  }

  state() { return this.control({ op: 'state' }); }

  async stop() {
    await this.child.stop();
    fs.rmSync(this.directory, { recursive: true, force: true });
  }
}

export const fansManualAtMaximum = (state) => state.fans.length > 0 &&
  state.fans.every((fan) => fan.manual && Math.abs(fan.target - fan.maximum) < 1);
export const fansManual = (state) => state.fans.length > 0 && state.fans.every((fan) => fan.manual);
export const fansAutomatic = (state) => state.fans.every((fan) => !fan.manual);
