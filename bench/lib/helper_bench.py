"""Shared pieces of the helper benchmarks: the programs under $PYRELLE_BINARY_DIR, a virtual
Mac on a private socket, an owner process of an ordinary user, and /proc figures."""
import json
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import time

OWNER_UID = 1000


def binary_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.environ.get("PYRELLE_BINARY_DIR", os.path.join(here, "..", "build", "release"))


def helper_path():
    return os.path.join(binary_dir(), "Sources", "PyrelleHelper", "PyrelleHelper")


def simulator_path():
    return os.path.join(binary_dir(), "Simulator", "PyrelleSimulator")


def require_root_and_programs(name):
    """Returns a reason to skip, or None when the benchmark can run."""
    if os.geteuid() != 0:
        return f"{name}: skipped, the helper's fan commands need root"
    for program in (helper_path(), simulator_path()):
        if not os.access(program, os.X_OK):
            return f"{name}: skipped, {program} is not built"
    if not os.access("/usr/bin/setpriv", os.X_OK):
        return f"{name}: skipped, /usr/bin/setpriv is missing"
    return None


class VirtualMac:
    """A PyrelleSimulator process on a private socket; stop() ends it."""

    def __init__(self, profile="apple-m4-pro"):
        self.directory = tempfile.mkdtemp(prefix="pyrelle-bench-")
        self.socket = os.path.join(self.directory, "smc.sock")
        self.process = subprocess.Popen(
            [simulator_path(), "--profile", profile, "--socket", self.socket],
            stdout=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.socket):
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.stop()
                raise RuntimeError("the virtual Mac did not start")
            time.sleep(0.02)
        # The helper runs with the owner's real uid and connects only to a socket the owner
        # could reach itself.
        os.chmod(self.directory, 0o711)
        os.chmod(self.socket, 0o666)

    def control(self, request):
        payload = json.dumps(request).encode()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(5)
            s.connect(self.socket)
            s.sendall(struct.pack("<II", 16, len(payload)) + payload)
            header = self._read(s, 8)
            _, size = struct.unpack("<II", header)
            return json.loads(self._read(s, size))

    @staticmethod
    def _read(s, size):
        data = b""
        while len(data) < size:
            chunk = s.recv(size - len(data))
            if not chunk:
                raise RuntimeError("the virtual Mac closed the connection")
            data += chunk
        return data

    def wait_for(self, predicate, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate(self.control({"op": "state"})):
                return True
            time.sleep(0.1)
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.directory, ignore_errors=True)


def fans_manual(state):
    return bool(state["fans"]) and all(f["manual"] for f in state["fans"])


def fans_automatic(state):
    return all(not f["manual"] for f in state["fans"])


class Owner:
    """A sleeping process of uid 1000 standing in for the desktop application."""

    def __init__(self):
        self.process = subprocess.Popen(
            ["/usr/bin/setpriv", "--reuid", str(OWNER_UID), "--regid", str(OWNER_UID),
             "--clear-groups", "/bin/sleep", "3600"])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                info = os.stat(f"/proc/{self.process.pid}")
                with open(f"/proc/{self.process.pid}/comm") as comm:
                    if info.st_uid == OWNER_UID and comm.read().strip() == "sleep":
                        return
            except OSError:
                pass
            time.sleep(0.01)
        self.stop()
        raise RuntimeError("the owner process did not start")

    @property
    def pid(self):
        return self.process.pid

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


def memory_kib(pid):
    """VmRSS and VmHWM of a process in KiB."""
    figures = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name in ("VmRSS", "VmHWM"):
                figures[name] = int(rest.split()[0])
    return figures


def cpu_split(pid):
    """(utime, stime) of a process (all its threads) in seconds."""
    with open(f"/proc/{pid}/stat") as stat:
        text = stat.read()
    fields = text[text.rindex(")") + 2:].split()
    tick = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / tick, int(fields[12]) / tick


def cpu_ns(pid):
    """Nanoseconds the process's live threads have spent on a CPU (schedstat), exact where the
    tick counts of /proc/<pid>/stat round to 10 ms."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as schedstat:
                total += int(schedstat.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def cpu_seconds(pid):
    """utime + stime of a process (all its threads) in seconds."""
    return sum(cpu_split(pid))


CURVE = {"points": [{"temperature": 30, "percent": 20}, {"temperature": 60, "percent": 40},
                    {"temperature": 85, "percent": 100}], "sensor": "CPU"}
