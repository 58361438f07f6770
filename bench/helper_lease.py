#!/usr/bin/env python3
"""The one-shot curve lease's own cost: `PyrelleHelper profile custom` runs a fan curve on a
virtual Mac; its CPU time (schedstat, in nanoseconds) over PYRELLE_BENCH_SECONDS (default 60)
of steady running is compared with the target of 0.2 % of one core, and its peak resident
memory (VmHWM) is printed. The run is then stopped by its stop file.

Runs as root; programs come from $PYRELLE_BINARY_DIR (scripts/bench sets build/release).
"""
import base64
import json
import os
import subprocess
import sys
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
import helper_bench as hb  # noqa: E402

TARGET_PERCENT = 0.2
DONE = "模式会话结束，风扇已恢复系统自动；保留睿频选择。"


def main():
    reason = hb.require_root_and_programs("helper_lease")
    if reason:
        print(reason)
        return 0
    seconds = float(os.environ.get("PYRELLE_BENCH_SECONDS", "60"))
    token = str(uuid.uuid4()).upper()
    stop_file = f"/tmp/pyrelle-stop-{token}"
    curve = base64.b64encode(json.dumps(hb.CURVE).encode()).decode()
    mac = hb.VirtualMac()
    owner = None
    helper = None
    try:
        mac.control({"op": "load", "value": 0.5})
        owner = hb.Owner()
        environment = dict(os.environ, PYRELLE_SMC_SOCKET=mac.socket)
        helper = subprocess.Popen(
            ["/usr/bin/setpriv", "--ruid", str(hb.OWNER_UID), "--euid", "0", hb.helper_path(),
             "profile", "custom", str(owner.pid), str(hb.OWNER_UID), token, curve],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        if not mac.wait_for(hb.fans_manual, 30):
            raise RuntimeError("the lease never took the fans")
        time.sleep(3)  # past the start-up (discovery, take-over, first verification)
        reads_before = sum(mac.control({"op": "state", "reads": True})["reads"].values())
        (user_before, system_before), wall_before = hb.cpu_split(helper.pid), time.monotonic()
        ns_before = hb.cpu_ns(helper.pid)
        time.sleep(seconds)
        (user_after, system_after), wall_after = hb.cpu_split(helper.pid), time.monotonic()
        ns_after = hb.cpu_ns(helper.pid)
        reads = sum(mac.control({"op": "state", "reads": True})["reads"].values()) - reads_before
        memory = hb.memory_kib(helper.pid)
        state = mac.control({"op": "state"})

        open(stop_file, "w").close()
        out, err = helper.communicate(timeout=30)
        handed_back = mac.wait_for(hb.fans_automatic, 10)

        wall = wall_after - wall_before
        user, system = user_after - user_before, system_after - system_before
        used = (ns_after - ns_before) / 1e9  # the one-shot lease runs on one thread
        percent = 100.0 * used / wall
        print(f"curve lease, {wall:.1f} s of steady running on a virtual Mac at 50 % load "
              f"(fan targets {[round(f['target']) for f in state['fans']]} rpm)")
        print(f"  CPU {used * 1e3:.1f} ms = {percent:.3f} % of one core   target <= {TARGET_PERCENT} %   "
              f"{'OK' if percent <= TARGET_PERCENT else 'OVER TARGET'}")
        print(f"    in clock ticks: user {user:.2f} s, system {system:.2f} s (the virtual Mac's "
              f"socket exchanges count as the helper's system time)")
        print(f"    SMC key reads: {reads} = {reads / wall:.0f} per second")
        print(f"  memory: VmRSS {memory.get('VmRSS', 0) / 1024:.1f} MiB, "
              f"peak VmHWM {memory.get('VmHWM', 0) / 1024:.1f} MiB")
        text = out.decode().strip()
        print(f"  stopped by its stop file: exit status {helper.returncode}, "
              f"\"{text}\"{'' if text == DONE else ' (unexpected)'}, fans automatic: {handed_back}")
        if err:
            print(f"  standard error: {err.decode().strip()}")
        return 0 if helper.returncode == 0 and handed_back else 1
    finally:
        if helper is not None and helper.poll() is None:
            helper.kill()
            helper.wait()
        if owner is not None:
            owner.stop()
        mac.stop()
        try:
            os.remove(stop_file)
        except OSError:
            pass


if __name__ == "__main__":
    sys.exit(main())
