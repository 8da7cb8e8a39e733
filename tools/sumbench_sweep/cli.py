"""The command line: options, programs, the results folder, and the sweep itself."""

import argparse
import datetime
import math
import os
import random
import signal
import sys
import time

from . import measure, records, report, schedule, summary

# n from 16 (1 KiB, in L1) to 4096 (64 MiB), about three points per octave of
# matrix size. The largest is twice the 32 MiB L3 of one core complex; larger
# matrices take seconds per call in the column order.
DEFAULT_SIZES = [16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536, 2048, 3072, 4096]
# Elements summed in the timed calls of one run: enough for a stable median
# of its samples, few enough that many short processes, each its own draw of
# the machine's state, fit in the default sweep's two minutes.
ELEMENTS_PER_RUN = 4_000_000
DEFAULT_ROUNDS = 15
# Busy cells are run again at the end, for at most this share of the time the
# sweep took until then.
REQUEUE_SHARE = 0.4
# Enough quiet runs for a 95% interval that is not just the extremes.
QUIET_WANTED = 9
DEFAULT_OUT = "sweep-out"
TIMER_REPETITIONS = 1000

EPILOG = f"""
programs: each a path, a program name from the build's builds.json, or LABEL=PATH;
labels must be unique. Default: every kernel program of the build.

output: a folder per sweep, never reused: {DEFAULT_OUT}/<UTC date-time>/ unless --out
names another (which must be new or empty); {DEFAULT_OUT}/latest points at the newest
complete one. In it:
  runs.csv     every process the sweep started, in start order, with its outcome
  meta.json    the machine, the programs, the options; "end" is null while it runs
               or when it stopped early, with the reason in "incomplete"
  summary.csv  one row per program and n: the estimate and every mark
  sweep.png    the curves (needs gnuplot)
The tables go to standard output, progress to standard error.

exit status: 0 every run succeeded; 1 some run or the sweep failed (the tables
still show the rest); 2 bad usage; 130 interrupted (SIGINT; 143 for SIGTERM).
"""


class Usage(Exception):
    """A bad command line: exit status 2."""


class Interrupted(Exception):
    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class Parser(argparse.ArgumentParser):
    def error(self, message):
        raise Usage(message)


def note(text):
    print(f"sweep: {text}", file=sys.stderr, flush=True)


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not at least 1")
    return value


def size_list(text):
    sizes = [positive_int(item.strip()) for item in text.split(",") if item.strip()]
    if not sizes:
        raise argparse.ArgumentTypeError("no size given")
    return sorted(set(sizes))


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"{text} is not a finite number of seconds above 0")
    return value


def default_build():
    """Installed, the sweep's own folder; in a checkout, build/ beside tools/."""
    here = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    if os.path.exists(os.path.join(here, "builds.json")):
        return here
    return os.path.normpath(os.path.join(here, os.pardir, "build"))


def parse_args(argv):
    parser = Parser(prog="sweep", description="Runs benchmark programs over a range of matrix "
                    "sizes and compares them.", epilog=EPILOG,
                    formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("programs", nargs="*", help="the programs to compare (see below)")
    parser.add_argument("--build", default=default_build(),
                        help="the build folder, for default programs, the reference and the "
                             "probe (default: %(default)s)")
    parser.add_argument("--sizes", type=size_list, default=DEFAULT_SIZES,
                        help="comma-separated matrix sizes n (default: 16 to 4096)")
    parser.add_argument("--repetitions", type=positive_int,
                        help=f"R for every size (default: about {ELEMENTS_PER_RUN:,} elements "
                             "per run, between 1 and 2000)")
    parser.add_argument("--rounds", type=positive_int, default=DEFAULT_ROUNDS,
                        help="rounds: each runs every program at every size once "
                             "(default: %(default)s)")
    parser.add_argument("--seed", type=int,
                        help="the seed of the rounds' order (default: a random one, recorded)")
    parser.add_argument("--out", help=f"the results folder (default: a new one in {DEFAULT_OUT}/)")
    parser.add_argument("--timeout", type=seconds, default=60.0,
                        help="seconds a single run may take (default: %(default)g)")
    parser.add_argument("--pin", type=int, metavar="CPU",
                        help="run every program and the probe on this CPU (default: each run "
                             "and its probe on one CPU, taking the CPUs in turn)")
    parser.add_argument("--from", dest="from_dir", metavar="DIR",
                        help="print the tables and redraw the plot of an earlier sweep, "
                             "running nothing")
    parser.add_argument("--compare", nargs=2, metavar=("DIR_A", "DIR_B"),
                        help="compare the estimates of two earlier sweeps, running nothing")
    args = parser.parse_args(argv)
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(2 ** 32)
    if args.pin is not None and args.pin not in os.sched_getaffinity(0):
        raise Usage(f"--pin {args.pin}: not a CPU this process may run on "
                    f"({', '.join(map(str, sorted(os.sched_getaffinity(0))))})")
    return args


def repetitions(n):
    return max(1, min(2000, ELEMENTS_PER_RUN // (n * n)))


def read_builds(build):
    path = os.path.join(build, "builds.json")
    if not os.path.exists(path):
        raise Usage(f"{path} not found: build first (cmake -S . -B build && cmake --build build)")
    try:
        builds = records.read_json(path)["builds"]
    except (OSError, ValueError, KeyError) as error:
        raise Usage(f"{path} cannot be read: {error}") from None
    for b in builds:  # paths relative to the file, as installed
        b["path"] = os.path.normpath(os.path.join(build, b["path"]))
    return builds


def check_program(path):
    if not os.path.exists(path):
        raise Usage(f"{path} not found: build first (cmake -S . -B build && cmake --build build)")
    if not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise Usage(f"{path} is not an executable program")
    return os.path.abspath(path)


def builds_or_none(folder):
    """The table of builds of a folder, or [] where it has none."""
    try:
        return read_builds(folder)
    except Usage:
        return []


def resolve_programs(args):
    """([{label, path, order}] of the compared programs, the reference or None,
    the probe or None)."""
    builds = read_builds(args.build) if not args.programs else builds_or_none(args.build)
    if not args.programs:
        wanted = [(b["program"], b["path"]) for b in builds if b["role"] == "kernel"]
    else:
        wanted = []
        for item in args.programs:
            label, _, path = item.rpartition("=")
            if not label:
                path = item
                if os.sep not in path and not os.path.exists(path):
                    named = [b["path"] for b in builds if b["program"] == path]
                    if not named:
                        raise Usage(f"{path}: no such file, nor a program of {args.build}")
                    path = named[0]
                label = os.path.basename(path)
            wanted.append((label, path))
    programs, seen = [], {}
    for label, path in wanted:
        if label in seen:
            raise Usage(f"two programs are labelled {label}: {seen[label]} and {path}; "
                        f"name them LABEL=PATH")
        seen[label] = path
        programs.append({"label": label, "path": check_program(path)})
    found = [b for b in builds if b["role"] == "reference"]
    reference = ({"label": found[0]["program"], "path": check_program(found[0]["path"])}
                 if found else None)
    # A program of a build has the order of additions that its table row
    # names, in the build's builds.json or in the one of its own folder.
    orders = {}
    for table in [builds] + [builds_or_none(os.path.dirname(p["path"])) for p in programs]:
        for b in table:
            orders.setdefault(os.path.realpath(b["path"]), b["order"])
    for p in programs:
        p["order"] = orders.get(os.path.realpath(p["path"]))
    probe = os.path.join(args.build, "probe")
    return programs, reference, (check_program(probe) if os.path.exists(probe) else None)


def check_sizes(sizes):
    available = measure.memory_available()
    for n in sizes:
        if n > 46340:
            raise Usage(f"n = {n}: the programs take n <= 46340, so that n*n fits an int")
        if available is not None and 4 * n * n > available:
            raise Usage(f"n = {n}: its {report.human(4 * n * n)} matrix would not fit in the "
                        f"{report.human(available)} of memory available")


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc)


def results_folder(args):
    """Creates the sweep's folder; returns (path, the default base or None)."""
    if args.out is not None:
        path = args.out
        if path == "":
            raise Usage("--out: an empty folder name")
        if os.path.exists(path) and not os.path.isdir(path):
            raise Usage(f"--out {path}: not a folder")
        if os.path.isdir(path) and os.listdir(path):
            raise Usage(f"--out {path}: the folder is not empty; results are never overwritten")
        base = None
    else:
        base = DEFAULT_OUT
        stamp = utc_now().strftime("%Y-%m-%dT%H-%M-%SZ")
        path, k = os.path.join(base, stamp), 1
        while os.path.exists(path):
            k += 1
            path = os.path.join(base, f"{stamp}-{k}")
    try:
        os.makedirs(path, exist_ok=True)
    except OSError as error:
        raise Usage(f"--out {path}: cannot create it: {error.strerror}") from None
    return path, base


def point_latest(base, folder):
    """base/latest -> folder, replaced atomically."""
    link = os.path.join(base, "latest")
    temporary = link + ".part"
    if os.path.lexists(temporary):
        os.remove(temporary)
    os.symlink(os.path.basename(folder), temporary)
    os.replace(temporary, link)


def baselines_file():
    """Where the quiet baselines of earlier sweeps are kept, one per machine."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "sumbench", "probe-baselines.json")


def machine_key():
    facts = measure.cpu_facts()
    return f"{facts['model']} family {facts['family']} model {facts['cpu_model']}"


def read_baselines():
    try:
        return records.read_json(baselines_file())
    except (OSError, ValueError):
        return {}


def keep_baseline(value):
    """Keeps the lowest quiet baseline seen on this machine; a failure to keep it
    loses nothing of the sweep."""
    if not value:
        return
    kept = read_baselines()
    key = machine_key()
    if key in kept and kept[key] <= value:
        return
    kept[key] = value
    try:
        os.makedirs(os.path.dirname(baselines_file()), exist_ok=True)
        records.write_json(baselines_file(), kept)
    except OSError as error:
        note(f"cannot keep the probe's baseline in {baselines_file()}: {error.strerror}")


class Sweep:
    """One sweep: runs processes, records each as it ends, and keeps meta.json current."""

    def __init__(self, args, folder, programs, reference, probe):
        self.args = args
        self.folder = folder
        self.probe = probe
        self.runner = measure.Runner(args.timeout)
        # A busy spell belongs to one CPU (another tenant's work beside it), so
        # the probe reads the CPU its run is about to use.
        self.cpus = [args.pin] if args.pin is not None else sorted(os.sched_getaffinity(0))
        self.runs = []
        self.failures = 0
        self.probe_failed = False
        self.kept_baseline = read_baselines().get(machine_key(), None)
        self.started = time.monotonic()
        self.file = records.RunsFile(os.path.join(folder, "runs.csv"))
        options = {k: v for k, v in vars(args).items() if k not in ("from_dir", "compare")}
        root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
        self.meta = {
            "sweep": {"start": utc_now().isoformat(), "end": None,
                      "incomplete": "still running", "options": options,
                      "commit": measure.commit_of(root)},
            "machine": dict(measure.cpu_facts(), cores=os.cpu_count(),
                            caches=measure.cache_levels(), memory=measure.memory_available(),
                            counter_hz=None, ratio=None, step=None, parameters={},
                            kept_baseline=self.kept_baseline),
            "programs": [dict(p, role="kernel", bytes=os.path.getsize(p["path"]),
                              compiler=measure.compiler_of(p["path"])) for p in programs],
            "reference": reference,
            "probe": probe,
            "labels": [p["label"] for p in programs],
            "sizes": args.sizes,
        }
        self.write_meta()

    def write_meta(self):
        records.write_json(os.path.join(self.folder, "meta.json"), self.meta)

    def run(self, kind, label, path, n, r, round_, attempt=1, argv=None):
        seq = len(self.runs) + 1
        cpu = self.cpus[seq % len(self.cpus)]
        reading = self.read_probe(cpu) if kind == "bench" else {}
        start = utc_now().isoformat()
        outcome = self.runner.run(argv or [path, str(n), str(r)], cpu)
        run = records.Run(seq=seq, start=start, kind=kind, label=label, path=path, n=n, R=r,
                          round=round_, attempt=attempt, status=outcome.status, cpu=str(cpu),
                          seconds=round(outcome.seconds, 4), **reading)
        if run.ok and kind != "machine":
            values = measure.parse_report(outcome.out)
            if values is None:
                run.status = "output is not the five report lines"
            else:
                run.sum, run.moy, run.min, run.max, run.med = values
        if not run.ok:
            self.failures += 1
            note(f"{label} n={n}: {run.status}")
        self.runs.append(run)
        self.file.write(run)
        return run, outcome

    def read_probe(self, cpu):
        """The probe's reading of the CPU just before a benchmark run on it."""
        if self.probe is None:
            return {}
        outcome = self.runner.run([self.probe], cpu)
        values = measure.parse_assignments(outcome.out)
        if outcome.status != "ok" or not values.get("load"):
            if not self.probe_failed:
                note(f"the probe failed ({outcome.status}): runs without a reading count as quiet")
            self.probe_failed = True
            return {}
        return {f"probe_{k}": values.get(k, "") for k in ("load", "add", "ratio", "step")}

    def measure_machine(self):
        if self.probe is None:
            note(f"no probe in {self.args.build}: every run counts as quiet, and the counter's "
                 "rate and resolution are unknown")
            return
        run, outcome = self.run("machine", "probe", self.probe, 0, 0, 0,
                                argv=[self.probe, "--machine"])
        if run.ok:
            values = {}
            for name, text in measure.parse_assignments(outcome.out).items():
                try:
                    values[name] = float(text)
                except ValueError:
                    pass
            machine = self.meta["machine"]
            machine["counter_hz"] = values.pop("hz", None)
            machine["ratio"] = values.pop("ratio", None)
            machine["step"] = values.pop("step", None)
            machine["parameters"] = values
            self.write_meta()

    def elapsed(self):
        return time.monotonic() - self.started

    def go(self, programs, reference):
        self.measure_machine()
        for p in programs:
            note(f"timer cost of {p['label']} (n=1)")
            self.run("timer", p["label"], p["path"], 1, TIMER_REPETITIONS, 0)
        if reference:
            for n in self.args.sizes:
                self.run("reference", reference["label"], reference["path"], n, 1, 0)
        path = {p["label"]: p["path"] for p in programs}
        plan = schedule.plan(list(path), self.args.sizes, self.args.rounds, self.args.seed)
        for k, (round_, n, label) in enumerate(plan, 1):
            r = self.args.repetitions or repetitions(n)
            note(f"[{k}/{len(plan)}] {label} n={n} R={r} round {round_}/{self.args.rounds}, "
                 f"{self.elapsed():.1f} s")
            self.run("bench", label, path[label], n, r, round_)
        # Cells short of quiet runs again at the end while the time allows, in
        # passes: each pass runs every such cell once, the fewest quiet runs
        # first and, among equals, the quickest. A cell that failed once is not
        # run again: its program is at fault.
        deadline = self.elapsed() * (1 + REQUEUE_SHARE)
        while self.elapsed() < deadline:
            short = self.short_cells()
            if not short:
                break
            for (label, n), last in short:
                if self.elapsed() >= deadline:
                    break
                note(f"again: {label} n={n}, {self.elapsed():.1f} s")
                self.run("bench", label, path[label], n, last.R, last.round,
                         attempt=last.attempt + 1)

    def short_cells(self):
        """[((label, n), its last run)] for the cells with fewer than QUIET_WANTED
        quiet runs and no failed one, in the order to run them again."""
        quiet = summary.baseline(self.runs, self.kept_baseline)
        cells = {}
        for r in self.runs:
            if r.kind == "bench":
                cells.setdefault((r.label, r.n), []).append(r)
        short = []
        for key, runs in cells.items():
            calm = sum(not summary.is_busy(r, quiet) for r in runs if r.ok)
            if calm < QUIET_WANTED and all(r.ok for r in runs):
                seconds = sum(r.seconds for r in runs) / len(runs)
                short.append((calm, seconds, key, max(runs, key=lambda r: r.attempt)))
        return [(key, last) for _, _, key, last in sorted(short, key=lambda x: x[:2])]

    def finish(self, incomplete=None):
        self.file.close()
        self.meta["sweep"]["end"] = None if incomplete else utc_now().isoformat()
        self.meta["sweep"]["incomplete"] = incomplete
        self.write_meta()
        report.write_summary(os.path.join(self.folder, "summary.csv"), self.meta, self.runs)


def print_lines(lines):
    sys.stdout.write("".join(line + "\n" for line in lines))
    sys.stdout.flush()


def draw(folder, meta, runs):
    why_not = report.plot(os.path.join(folder, "sweep.png"), meta, runs)
    if why_not:
        note(f"no plot: {why_not}")
    else:
        note(f"plot: {os.path.join(folder, 'sweep.png')}")


def load_folder(folder):
    try:
        meta = records.read_json(os.path.join(folder, "meta.json"))
        runs = records.read_runs(os.path.join(folder, "runs.csv"))
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise Usage(f"{folder} is not a results folder of the sweep: {error}") from None
    return meta, runs


def from_folder(folder):
    meta, runs = load_folder(folder)
    print_lines(report.render(meta, runs))
    draw(folder, meta, runs)
    return 0


def compare_folders(a, b):
    meta_a, runs_a = load_folder(a)
    meta_b, runs_b = load_folder(b)
    print_lines([f"A: {a}", f"B: {b}"] + report.compare(meta_a, runs_a, meta_b, runs_b))
    return 0


def sweep(args):
    programs, reference, probe = resolve_programs(args)
    check_sizes(args.sizes)
    folder, base = results_folder(args)
    note(f"results in {folder}")
    current = Sweep(args, folder, programs, reference, probe)
    status, incomplete = 0, None
    try:
        current.go(programs, reference)
    except Interrupted as stop:
        status, incomplete = 128 + stop.signum, f"interrupted by {stop}"
    except OSError as error:
        status, incomplete = 1, f"cannot write the results: {error.strerror}"
    try:
        current.finish(incomplete)
    except OSError as error:
        status, incomplete = 1, incomplete or f"cannot write the results: {error.strerror}"
    if incomplete is None:
        keep_baseline(summary.baseline(current.runs))
        if base is not None:
            point_latest(base, folder)
    print_lines(report.render(current.meta, current.runs))
    draw(folder, current.meta, current.runs)
    note(f"{'stopped' if incomplete else 'done'} in {current.elapsed():.1f} s; "
         f"runs: {os.path.join(folder, 'runs.csv')}")
    if incomplete:
        note(f"incomplete: {incomplete}")
        return status
    return 1 if current.failures else 0


def main(argv=None):
    def stop(signum, _frame):
        raise Interrupted(signum)

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    try:
        args = parse_args(sys.argv[1:] if argv is None else argv)
        if args.from_dir and args.compare:
            raise Usage("--from and --compare: one at a time")
        if args.from_dir:
            return from_folder(args.from_dir)
        if args.compare:
            return compare_folders(*args.compare)
        return sweep(args)
    except Usage as error:
        print(f"sweep: {error}", file=sys.stderr)
        return 2
    except Interrupted as stop_:
        print(f"sweep: interrupted by {stop_}", file=sys.stderr)
        return 128 + stop_.signum
    except BrokenPipeError:
        # Nobody reads the tables any more; the folder still holds everything.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        print("sweep: standard output was closed; the results folder holds everything",
              file=sys.stderr)
        return 1
