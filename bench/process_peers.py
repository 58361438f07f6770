#!/usr/bin/env python3
"""Peers of the native process snapshot: psutil and ps reading the same fields (pid, parent,
uid, start time, CPU time, resident memory, disk bytes, name) of every process.

  process_peers.py --scan N     time N psutil scans of the live table; prints one JSON line
                                {"seconds_per_scan": s, "cpu_seconds_per_scan": c,
                                 "processes": n}
  process_peers.py --serve      the same for one scan per line read from standard input
  process_peers.py [--spawn K]  standalone: starts K sleeping children (default 1000), times
                                psutil and ps over the table, and prints both figures

psutil comes from Debian's python3-psutil, which lives in the system interpreter; another
interpreter first in PATH is replaced by /usr/bin/python3 when it lacks the module.
"""
import json
import os
import subprocess
import sys
import time

try:
    import psutil
except ImportError:
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("psutil is not installed (Debian package python3-psutil)", file=sys.stderr)
    sys.exit(1)

FIELDS = ["pid", "ppid", "uids", "create_time", "cpu_times", "memory_info", "io_counters", "name"]
PS_COMMAND = ["ps", "-e", "-o", "pid=,ppid=,euid=,lstart=,cputimes=,rss=,comm="]


def psutil_scan():
    count = 0
    for process in psutil.process_iter(FIELDS, ad_value=None):
        _ = process.info
        count += 1
    return count


def time_psutil(scans):
    psutil_scan()  # warm the module's caches as a long-lived caller would have them
    start, cpu_start = time.perf_counter(), time.process_time()
    count = 0
    for _ in range(scans):
        count = psutil_scan()
    return (time.perf_counter() - start) / scans, (time.process_time() - cpu_start) / scans, count


def time_ps(runs):
    start = time.perf_counter()
    for _ in range(runs):
        subprocess.run(PS_COMMAND, stdout=subprocess.DEVNULL, check=True)
    return (time.perf_counter() - start) / runs


def serve():
    """One scan per line read from standard input, each answered by one JSON line."""
    psutil_scan()
    for _ in sys.stdin:
        start, cpu_start = time.perf_counter(), time.process_time()
        count = psutil_scan()
        print(json.dumps({"seconds_per_scan": time.perf_counter() - start,
                          "cpu_seconds_per_scan": time.process_time() - cpu_start,
                          "processes": count}), flush=True)
    return 0


def main(argv):
    if argv == ["--serve"]:
        return serve()
    if len(argv) == 2 and argv[0] == "--scan":
        seconds, cpu, count = time_psutil(max(1, int(argv[1])))
        print(json.dumps({"seconds_per_scan": seconds, "cpu_seconds_per_scan": cpu, "processes": count}))
        return 0
    spawn = int(argv[1]) if len(argv) == 2 and argv[0] == "--spawn" else 1000
    children = [subprocess.Popen(["sleep", "3600"]) for _ in range(spawn)]
    try:
        seconds, cpu, count = time_psutil(10)
        ps_seconds = time_ps(10)
        print(f"processes: {count}")
        print(f"psutil scan: {seconds * 1e3:.2f} ms ({cpu * 1e3:.2f} ms CPU)")
        print(f"ps (same fields): {ps_seconds * 1e3:.2f} ms")
    finally:
        for child in children:
            child.kill()
        for child in children:
            child.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
