#!/usr/bin/env python3
"""The control session's request round trip: a `serve` session running a custom curve answers
~2000 "status" requests over its standard input and output; the same number of lines go
through a bare echo (`cat`) over the same kind of pipes. Prints median and p99 of both, their
ratio (target: at most 10x), the session's CPU over PYRELLE_BENCH_SECONDS (default 30) of
its curve running with no requests (target: at most 0.2 % of one core) and its resident memory
(VmRSS, VmHWM).

Runs as root (the session drives the fans of a virtual Mac); programs come from
$PYRELLE_BINARY_DIR (scripts/bench sets build/release). PYRELLE_BENCH_REQUESTS changes the count.
"""
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import helper_bench as hb  # noqa: E402

TARGET_RATIO = 10.0
TARGET_CPU_PERCENT = 0.2


def round_trips(process, line, count):
    """Seconds of each write-line/read-reply exchange with `process`."""
    data = (line + "\n").encode()
    times = []
    for _ in range(count):
        start = time.perf_counter()
        process.stdin.write(data)
        process.stdin.flush()
        reply = process.stdout.readline()
        times.append(time.perf_counter() - start)
        if not reply:
            raise RuntimeError("the peer closed its output")
    return times, reply


def summary(times):
    ordered = sorted(times)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def main():
    reason = hb.require_root_and_programs("helper_session")
    if reason:
        print(reason)
        return 0
    count = int(os.environ.get("PYRELLE_BENCH_REQUESTS", "2000"))
    idle_seconds = float(os.environ.get("PYRELLE_BENCH_SECONDS", "30"))
    request = json.dumps({"command": "status"}, separators=(",", ":"))
    mac = hb.VirtualMac()
    owner = None
    helper = None
    try:
        owner = hb.Owner()
        environment = dict(os.environ, PYRELLE_SMC_SOCKET=mac.socket)
        helper = subprocess.Popen(
            ["/usr/bin/setpriv", "--ruid", str(hb.OWNER_UID), "--euid", "0", hb.helper_path(),
             "serve", str(owner.pid), str(hb.OWNER_UID)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment)
        profile = {"command": "profile", "profile": "custom", "curve": hb.CURVE,
                   "label": "bench", "duration": 600}
        _, reply = round_trips(helper, json.dumps(profile, separators=(",", ":")), 1)
        started = json.loads(reply)
        if not started.get("ok"):
            raise RuntimeError(f"the curve session did not start: {started}")
        round_trips(helper, request, 100)  # warm up both sides
        helper_times, reply = round_trips(helper, request, count)
        last = json.loads(reply)
        memory = hb.memory_kib(helper.pid)

        # The session's own cost while its curve runs and nobody asks anything: the lease
        # thread's cycles and the owner watch, all threads counted.
        cpu_before, wall_before = hb.cpu_ns(helper.pid), time.monotonic()
        time.sleep(idle_seconds)
        idle_cpu = (hb.cpu_ns(helper.pid) - cpu_before) / 1e9
        idle_wall = time.monotonic() - wall_before

        echo = subprocess.Popen(["cat"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        round_trips(echo, request, 100)
        echo_times, _ = round_trips(echo, request, count)
        echo.stdin.close()
        echo.wait(10)

        _, reply = round_trips(helper, json.dumps({"command": "shutdown"}), 1)
        helper.stdin.close()
        status = helper.wait(30)
        handed_back = mac.wait_for(hb.fans_automatic, 10)

        helper_median, helper_p99 = summary(helper_times)
        echo_median, echo_p99 = summary(echo_times)
        ratio = helper_median / echo_median
        print(f"status round trip over pipes, {count} requests, curve lease running "
              f"({last.get('message')}, {len(last.get('fanStatus', {}).get('targets', []))} fans)")
        print(f"  serve  median {helper_median * 1e6:8.1f} us   p99 {helper_p99 * 1e6:8.1f} us")
        print(f"  cat    median {echo_median * 1e6:8.1f} us   p99 {echo_p99 * 1e6:8.1f} us")
        print(f"  ratio (median) {ratio:.2f}x   target <= {TARGET_RATIO:.0f}x   "
              f"{'OK' if ratio <= TARGET_RATIO else 'OVER TARGET'}")
        print(f"  ratio (p99)    {helper_p99 / echo_p99:.2f}x")
        idle_percent = 100.0 * idle_cpu / idle_wall
        print(f"session CPU with the curve running and no requests: {idle_cpu * 1e3:.1f} ms over "
              f"{idle_wall:.0f} s = {idle_percent:.3f} % of one core   target <= "
              f"{TARGET_CPU_PERCENT} %   {'OK' if idle_percent <= TARGET_CPU_PERCENT else 'OVER TARGET'}")
        print(f"session memory: VmRSS {memory.get('VmRSS', 0) / 1024:.1f} MiB, "
              f"VmHWM {memory.get('VmHWM', 0) / 1024:.1f} MiB")
        print(f"session exit status {status}, fans automatic afterwards: {handed_back}")
        return 0 if status == 0 and handed_back else 1
    finally:
        if helper is not None and helper.poll() is None:
            helper.kill()
            helper.wait()
        if owner is not None:
            owner.stop()
        mac.stop()


if __name__ == "__main__":
    sys.exit(main())
