"""Running processes, and the facts of the machine and the programs."""

import os
import re
import selectors
import signal
import subprocess
import time

# Past this much output a run is not a benchmark report, and reading on would
# only grow the sweep.
OUTPUT_LIMIT = 64 * 1024


class Outcome:
    def __init__(self, status, out="", err="", seconds=0.0):
        self.status = status  # "ok", or why the run failed
        self.out = out
        self.err = err
        self.seconds = seconds


def _kill_group(process):
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class Runner:
    """Runs one process at a time, each in a process group of its own, and
    kills the whole group when the run ends, times out or is interrupted:
    nothing a run started outlives it."""

    def __init__(self, timeout):
        self.timeout = timeout
        self._process = None

    @staticmethod
    def _start(argv, cpu):
        def pin():
            if cpu is not None:
                os.sched_setaffinity(0, {cpu})

        return subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True, preexec_fn=pin)

    def run(self, argv, cpu=None):
        """Runs argv, on the given CPU when there is one."""
        started = time.monotonic()
        try:
            process = self._start(argv, cpu)
        except OSError as error:
            return Outcome(f"cannot run: {error.strerror}")
        self._process = process
        try:
            status, out, err = self._collect(process, started + self.timeout)
        finally:
            _kill_group(process)
            process.wait()
            process.stdout.close()
            process.stderr.close()
            self._process = None
        seconds = time.monotonic() - started
        if status is None:
            code = process.returncode
            if code < 0:
                status = f"killed by signal {-code}"
            elif code != 0:
                last = err.strip().splitlines()[-1:] or ["no message"]
                status = f"exit status {code}: {last[0]}"
            else:
                status = "ok"
        return Outcome(status, out, err, seconds)

    def _collect(self, process, deadline):
        """Reads both streams until the process ends; returns (failure or None, out, err)."""
        chunks = {process.stdout: [], process.stderr: []}
        sizes = {process.stdout: 0, process.stderr: 0}
        with selectors.DefaultSelector() as selector:
            for stream in chunks:
                os.set_blocking(stream.fileno(), False)
                selector.register(stream, selectors.EVENT_READ)
            failure = None
            while selector.get_map():
                left = deadline - time.monotonic()
                if left <= 0:
                    failure = f"no answer within {self.timeout:g} s"
                    break
                if process.poll() is not None:
                    # The leader is done: what its group still runs is killed,
                    # which closes the streams it holds.
                    _kill_group(process)
                for key, _ in selector.select(min(left, 0.05)):
                    data = os.read(key.fd, 65536)
                    if not data:
                        selector.unregister(key.fileobj)
                        continue
                    if sizes[key.fileobj] < OUTPUT_LIMIT + 1:
                        chunks[key.fileobj].append(data)
                    sizes[key.fileobj] += len(data)
                if sizes[process.stdout] > OUTPUT_LIMIT:
                    failure = "more output than the five lines"
                    break
        out = b"".join(chunks[process.stdout]).decode(errors="replace")
        err = b"".join(chunks[process.stderr])[-OUTPUT_LIMIT:].decode(errors="replace")
        return failure, out, err

    def interrupt(self):
        """Kills the group of the run in progress, if any (from a signal handler)."""
        if self._process is not None:
            _kill_group(self._process)


REPORT = re.compile(r"Valeur s = (\S+)\nmoy = (\S+)\nmin = (\S+)\nmax = (\S+)\nmed = (\S+)\n\Z")


def parse_report(out):
    """The five values as printed, or None when out is not the five report lines."""
    match = REPORT.match(out)
    if not match:
        return None
    values = match.groups()
    try:
        for value in values:
            float(value)
    except ValueError:
        return None
    return values


def parse_assignments(out):
    """{name: value as printed} from the lines "name = value" of the probe."""
    return dict(line.split(" = ", 1) for line in out.splitlines() if " = " in line)


def cache_levels():
    """The data caches as [(name, bytes)], from sysfs."""
    levels = {}
    base = "/sys/devices/system/cpu/cpu0/cache"
    try:
        for index in sorted(os.listdir(base)):
            def read(item):
                with open(os.path.join(base, index, item)) as f:
                    return f.read().strip()
            if read("type") in ("Data", "Unified"):
                size = read("size")
                scale = {"K": 1024, "M": 1024 ** 2, "G": 1024 ** 3}.get(size[-1], 1)
                levels[int(read("level"))] = int(size.rstrip("KMG")) * scale
    except (OSError, ValueError):
        pass
    return [[f"L{level}", size] for level, size in sorted(levels.items())]


def cpu_facts():
    facts = {"model": "unknown processor", "family": None, "cpu_model": None}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                key, value = key.strip(), value.strip()
                if key == "model name" and facts["model"] == "unknown processor":
                    facts["model"] = value
                elif key == "cpu family" and facts["family"] is None:
                    facts["family"] = int(value)
                elif key == "model" and facts["cpu_model"] is None:
                    facts["cpu_model"] = int(value)
    except (OSError, ValueError):
        pass
    return facts


def memory_available():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def compiler_of(path):
    """The compiler that built a program, from its .comment section."""
    try:
        done = subprocess.run(["readelf", "-p", ".comment", path], capture_output=True,
                              text=True, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"
    found = re.findall(r"\]\s+(.*)", done.stdout)
    clang = [c for c in found if "clang" in c]
    return (clang or found or ["unknown"])[0].strip()


def commit_of(folder):
    """The project's commit when run from a checkout, with a + when modified."""
    try:
        head = subprocess.run(["git", "-C", folder, "rev-parse", "HEAD"], capture_output=True,
                              text=True, timeout=10)
        if head.returncode != 0:
            return None
        dirty = subprocess.run(["git", "-C", folder, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10)
        return head.stdout.strip() + ("+" if dirty.stdout.strip() else "")
    except (OSError, subprocess.TimeoutExpired):
        return None
