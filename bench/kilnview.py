#!/usr/bin/env python3
"""Kilnview's own cost while it serves a virtual Mac: its CPU time and peak resident memory
over PYRELLE_BENCH_SECONDS (default 60) of sampling at 1 Hz with one page open (a reader of
/events), side by side with `top -b -d 1` over the same seconds (targets: at most top's CPU,
under 40 MiB resident); then the time to first byte of the overview page on loopback, each
request on a new connection.

Programs come from $PYRELLE_BINARY_DIR (scripts/bench sets build/release).
"""
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import helper_bench as hb  # noqa: E402

RSS_TARGET_MIB = 40
REQUESTS = 200
SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


def kilnview_path():
    return os.path.join(hb.binary_dir(), "App", "Kilnview")


class Kilnview:
    """`Kilnview --port 0` on a virtual Mac, in a process group of its own; stop() ends it."""

    def __init__(self, mac, scratch):
        # Started as root, Kilnview samples and serves as the user named by --user (root stays
        # for the helper only): that user must reach the device and own the files it writes.
        user = []
        if os.geteuid() == 0:
            user = ["--user", "1000"]
            os.chmod(mac.directory, 0o711)
            os.chmod(mac.socket, 0o666)
            os.chmod(scratch, 0o711)
            scratch = os.path.join(scratch, "kilnview")
            os.mkdir(scratch, 0o700)
            os.chown(scratch, 1000, 0)
        environment = dict(os.environ, PYRELLE_SMC_SOCKET=mac.socket,
                           FAKE_PMSET_STATE=os.path.join(scratch, "pmset.state"))
        environment.pop("SUDO_UID", None)
        self.process = subprocess.Popen(
            [kilnview_path(), "--port", "0", "--interval", "1", *user, "--helper", hb.helper_path(),
             "--status-dir", os.path.join(scratch, "status"),
             "--settings-tool", os.path.join(SOURCE_DIR, "tools", "fake-pmset")],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=environment, start_new_session=True)
        self.port = None
        line = b""
        deadline = time.monotonic() + 30
        # The announcement is the program's first line; reading it blocks at most until then.
        while time.monotonic() < deadline and self.process.poll() is None:
            line = self.process.stdout.readline()
            match = re.search(rb"Kilnview: http://127\.0\.0\.1:(\d+)/", line)
            if match:
                self.port = int(match.group(1))
                break
        if self.port is None:
            self.stop()
            raise RuntimeError(f"Kilnview did not announce its address (last line {line!r})")
        # Later output is not read; send it nowhere so the program never blocks on a full pipe.
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        try:
            for _ in self.process.stdout:
                pass
        except (OSError, ValueError):
            pass

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except OSError:
            pass
        self.process.wait()
        return self.process.returncode


class EventReader(threading.Thread):
    """An open page's share of the work: one /events stream read until stop()."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.events = 0
        self.connection = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.connection.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n")

    def run(self):
        try:
            while True:
                chunk = self.connection.recv(65536)
                if not chunk:
                    return
                self.events += chunk.count(b"data:")
        except OSError:
            return

    def stop(self):
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.connection.close()
        self.join(5)


def first_byte_seconds(port, path="/"):
    """Seconds from starting a new connection to the first byte of the reply, and the status."""
    start = time.perf_counter()
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        connection.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n".encode())
        first = connection.recv(1)
        elapsed = time.perf_counter() - start
        rest = b""
        while True:
            chunk = connection.recv(65536)
            if not chunk:
                break
            rest += chunk
    status = (first + rest).split(b" ", 2)[1].decode() if first else "none"
    return elapsed, status, len(first) + len(rest)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    for program in (kilnview_path(), hb.simulator_path(), hb.helper_path()):
        if not os.access(program, os.X_OK):
            print(f"kilnview: skipped, {program} is not built")
            return 0
    seconds = float(os.environ.get("PYRELLE_BENCH_SECONDS", "60"))
    scratch = tempfile.mkdtemp(prefix="pyrelle-bench-kilnview-")
    mac = hb.VirtualMac()
    app = None
    top = None
    reader = None
    try:
        mac.control({"op": "load", "value": 0.5})
        app = Kilnview(mac, scratch)
        reader = EventReader(app.port)
        reader.start()
        time.sleep(3)  # past start-up: discovery, the first samples, the first page

        top = subprocess.Popen(["top", "-b", "-d", "1"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        app_before, top_before = hb.cpu_ns(app.pid), hb.cpu_ns(top.pid)
        ticks_before = hb.cpu_seconds(app.pid), hb.cpu_seconds(top.pid)
        events_before, wall_before = reader.events, time.monotonic()
        time.sleep(seconds)
        app_after, top_after = hb.cpu_ns(app.pid), hb.cpu_ns(top.pid)
        ticks_after = hb.cpu_seconds(app.pid), hb.cpu_seconds(top.pid)
        wall = time.monotonic() - wall_before
        events = reader.events - events_before
        memory = hb.memory_kib(app.pid)
        top.kill()
        top.wait()
        top = None

        # Nanoseconds on a CPU from schedstat (Kilnview's threads live for the whole run);
        # the 10 ms clock ticks are shown beside them as a check.
        app_percent = 100.0 * (app_after - app_before) / 1e9 / wall
        top_percent = 100.0 * (top_after - top_before) / 1e9 / wall
        app_ticks = 100.0 * (ticks_after[0] - ticks_before[0]) / wall
        top_ticks = 100.0 * (ticks_after[1] - ticks_before[1]) / wall
        peak = memory.get("VmHWM", 0) / 1024
        print(f"Kilnview at 1 Hz on a virtual Mac at 50 % load with one page open "
              f"({events} live updates in {wall:.1f} s), beside `top -b -d 1` over the same seconds")
        print(f"  CPU  Kilnview {app_percent:.3f} % of one core   top {top_percent:.3f} %   "
              f"ratio {app_percent / top_percent if top_percent else float('inf'):.2f}   target <= top   "
              f"{'OK' if app_percent <= top_percent else 'OVER TARGET'}")
        print(f"    in clock ticks: Kilnview {app_ticks:.2f} %, top {top_ticks:.2f} %")
        print(f"  memory  VmRSS {memory.get('VmRSS', 0) / 1024:.1f} MiB, peak VmHWM {peak:.1f} MiB   "
              f"target < {RSS_TARGET_MIB} MiB   {'OK' if peak < RSS_TARGET_MIB else 'OVER TARGET'}")

        for path in ("/", "/metrics"):
            times = []
            statuses = set()
            size = 0
            for _ in range(REQUESTS):
                elapsed, status, size = first_byte_seconds(app.port, path)
                times.append(elapsed)
                statuses.add(status)
            print(f"  time to first byte of {path} ({REQUESTS} requests, new connection each, {size} bytes, "
                  f"status {'/'.join(sorted(statuses))}): median {statistics.median(times) * 1e3:.2f} ms, "
                  f"p90 {percentile(times, 0.9) * 1e3:.2f} ms, max {max(times) * 1e3:.2f} ms")
        reader.stop()
        reader = None
        status = app.stop()
        print(f"  SIGTERM: exit status {status}")
        return 0 if status == 0 else 1
    finally:
        if reader is not None:
            reader.stop()
        if top is not None:
            top.kill()
            top.wait()
        if app is not None:
            app.stop()
        mac.stop()
        subprocess.run(["rm", "-rf", scratch], check=False)


if __name__ == "__main__":
    sys.exit(main())
