"""The sweep: its statistics on synthetic run records, and the tool end to end on
tiny sizes: its folder, its tables, --from, bad options, interrupts and
programs that misbehave.

usage: sweep_test.py SWEEP BUILD_DIR
"""

import csv
import json
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SWEEP, BUILD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
sys.path.insert(0, os.path.dirname(SWEEP))

from sumbench_sweep import bounds, records, schedule, summary  # noqa: E402


def run_record(label="p", n=64, med=1.0, status="ok", kind="bench", round_=1, minimum=None,
               sum_="1.0", probe=""):
    return records.Run(seq=0, start="", kind=kind, label=label, path="/p", n=n, R=10,
                       round=round_, attempt=1, status=status, probe_load=probe,
                       **({} if status != "ok" else
                          dict(sum=sum_, moy=repr(med), min=repr(med if minimum is None else minimum),
                               max=repr(med), med=repr(med))))


def rounds(meds, n=64, probe=""):
    return [run_record(med=m, n=n, round_=i + 1, probe=probe) for i, m in enumerate(meds)]


def jitter(value, count, spread=0.004):
    """count values around value, evenly spread over +-spread of it."""
    return [value * (1 + spread * (2 * i / max(count - 1, 1) - 1)) for i in range(count)]


QUIET = 0.05  # the probe's baseline in the synthetic cells
BUSY = "0.075"  # a probe reading 50% over it


class Summary(unittest.TestCase):
    """Cells from run records: the estimate, its interval, its modes and each mark."""

    @staticmethod
    def cell(runs, n=64, step=None):
        return summary.summarise(runs, ["p"], [n], QUIET, step)["p", n]

    def test_estimates_intervals_modes_and_marks(self):
        timer = [run_record(kind="timer", n=1, med=26.0)]
        # (what, runs, n, estimate, modes as (median, share), marks)
        cases = [
            ("tight and unimodal", rounds(jitter(1.0, 15)), 64, 1.0, [], ""),
            ("one outlier moves nothing", rounds(jitter(1.0, 14) + [2.0]), 64, 1.0, [], ""),
            ("constant values", rounds([1.0] * 15), 64, 1.0, [], ""),
            ("50/50: two modes, the fast one counts",
             rounds(jitter(1.0, 8) + jitter(1.6, 8)), 64, 1.0, [(1.0, 0.5), (1.6, 0.5)], ""),
            ("90/10: two modes", rounds(jitter(1.0, 18) + jitter(1.6, 2)), 64, 1.0,
             [(1.0, 0.9), (1.6, 0.1)], ""),
            ("10/90: the fast mode is too small for an interval",
             rounds(jitter(1.0, 2) + jitter(1.6, 18)), 64, 1.6, [(1.0, 0.1), (1.6, 0.9)], ""),
            ("a wide unimodal cell", rounds(jitter(1.0, 15, 0.2)), 64, 1.0, [], "~"),
            ("all busy: said, and all runs count", rounds(jitter(1.5, 15), probe=BUSY), 64, 1.5,
             [], "b"),
            ("half busy: the quiet half counts",
             rounds(jitter(1.0, 8)) + rounds(jitter(1.5, 7), probe=BUSY), 64, 1.0, [], ""),
            ("a failed round", rounds(jitter(1.0, 8)) + [run_record(status="exit status 3: x")],
             64, 1.0, [], "*"),
            # 26 cycles per call against 1.0 x 23^2 = 529 cycles: 4.9%, just under.
            ("timer cost just under 5%", timer + rounds([1.0] * 8, 23), 23, 1.0, [], ""),
            # 26 against 1.0 x 22^2 = 484 cycles: 5.4%, just over.
            ("timer cost just over 5%", timer + rounds([1.0] * 8, 22), 22, 1.0, [], "!"),
        ]
        for what, runs, n, estimate, modes, marks in cases:
            with self.subTest(what):
                cell = self.cell(runs, n)
                self.assertAlmostEqual(cell.estimate, estimate, delta=0.01 * estimate)
                self.assertEqual([(round(m.median, 2), round(m.share, 2)) for m in cell.modes],
                                 modes)
                self.assertEqual(cell.marks, marks)
                self.assertLessEqual(cell.lower, cell.estimate)
                self.assertLessEqual(cell.estimate, cell.upper)

    def test_busy_and_quiet_runs_are_counted(self):
        cell = self.cell(rounds(jitter(1.0, 8)) + rounds(jitter(1.5, 7), probe=BUSY))
        self.assertEqual((cell.runs, cell.busy, cell.quiet), (15, 7, 8))
        self.assertAlmostEqual(cell.busy_excess, 0.5)
        self.assertEqual(summary.baseline(rounds([1.0] * 10, probe="0.05") +
                                          rounds([1.0] * 10, probe="0.07")), 0.05)
        self.assertEqual(summary.baseline(rounds([1.0] * 10, probe="0.06"), kept=0.05), 0.05)

    def test_a_call_of_fewer_than_70_counter_steps_is_resolution_limited(self):
        # 0.3 x 16^2 = 77 counter cycles: three steps of 26.
        cell = self.cell(rounds([0.3] * 8, 16), 16, step=26)
        self.assertIn("r", cell.marks)
        self.assertAlmostEqual(cell.step_share, 26 / 76.8)
        self.assertNotIn("r", self.cell(rounds([0.3] * 8, 128), 128, step=26).marks)

    def test_values_one_step_apart_are_not_two_modes(self):
        step = 26 / (16 * 16)
        cell = self.cell(rounds([0.3] * 8 + [0.3 + step] * 8, 16), 16, step=26)
        self.assertEqual(cell.modes, [])

    def test_every_round_failed(self):
        cell = self.cell([run_record(status="no answer within 1 s")] * 3)
        self.assertIsNone(cell.estimate)
        self.assertEqual((cell.runs, cell.failed, cell.marks), (3, 3, "*"))

    def test_relative_error_against_the_reference(self):
        def error(bench_sum, reference):
            runs = [run_record(sum_=bench_sum)]
            if reference is not None:
                runs.append(run_record(kind="reference", label="ref", sum_=reference))
            return summary.relative_errors(runs, ["p"], [64])["p", 64]

        self.assertAlmostEqual(error("1.5", "2.0"), 0.25)
        self.assertIsNone(error("1.5", None), "no reference sum")
        self.assertEqual(error("0.000000", "0.000000"), 0.0, "zero reference, equal sum")
        self.assertIsNone(error("1.0", "0.000000"), "zero reference, no ratio")


MACHINE = dict(scalar_add_latency=3.0, vector_add_latency=3.0, scalar_add_throughput=0.5,
               vector_add_throughput=0.5, read_l1=0.05, read_l2=0.1, read_l3=0.2, read_memory=0.4)
CACHES = [["L1", 32 << 10], ["L2", 1 << 20], ["L3", 32 << 20]]


class Bounds(unittest.TestCase):
    """Each order's bound from its chains, its additions and its bytes."""

    def test_each_order_against_its_formula(self):
        slow_adds = dict(MACHINE, scalar_add_throughput=5.0)
        slow_memory = dict(MACHINE, read_memory=10.0)
        quick_adds = dict(MACHINE, scalar_add_throughput=0.1)
        # (order, n, machine, bound, limit)
        cases = [
            ("row_order", 64, MACHINE, 3.0, "chain"),
            ("row_order", 64, slow_adds, 5.0, "adds"),
            ("row_order", 4096, slow_memory, 10.0, "bytes"),
            ("column_order", 64, MACHINE, 3.0, "chain"),  # 16 KiB, in L1
            ("column_order", 90, slow_adds, 5.0, "adds"),
            ("column_order", 64, dict(MACHINE, read_l1=4.0), 4.0, "bytes"),
            # Six chains of 64 * 10, S of 64 * 4, then the fold of 6.
            ("rows6_order", 64, quick_adds, (640 + 6) * 3.0 / 4096, "chain"),
            ("rows6_order", 64, MACHINE, 0.5, "adds"),
            ("rows6_order", 7, quick_adds, (7 + 6) * 3.0 / 49, "chain"),  # one block, one left
            ("rows6_order", 4096, slow_memory, 10.0, "bytes"),
            # Four steps a row: A and B each a chain of 64 * 4, then V, H and + S.
            ("vector_order", 64, MACHINE, (64 * 4 + 4) * 3.0 / 4096, "chain"),
            # Remainder 4: S takes 4 scalar adds a row, a longer chain than A's 20.
            ("vector_order", 20, MACHINE, (20 * 4 + 1) * 3.0 / 400, "chain"),
            # Remainder 8: S goes through one eight-lane add and the three levels of H a row.
            ("vector_order", 24, MACHINE, (24 * 4 + 1) * 3.0 / 576, "chain"),
            ("vector_order", 8, MACHINE, 3.0, "chain"),  # no vector row: the row order
            ("vector_order", 64, dict(MACHINE, vector_add_throughput=4.0), 2 * 4 * 4.0 / 64,
             "adds"),
            ("vector_order", 4096, MACHINE, 0.4, "bytes"),
        ]
        for order, n, machine, expected, limit in cases:
            with self.subTest(f"{order} n={n} {limit}"):
                got, why = bounds.of(order, n, CACHES, machine)
                self.assertAlmostEqual(got, expected)
                self.assertEqual(why, limit)

    def test_no_bound_where_the_parameters_would_mislead(self):
        self.assertEqual(bounds.of("column_order", 128, CACHES, MACHINE)[0], None)  # 64 KiB
        self.assertEqual(bounds.of("double_order", 64, CACHES, MACHINE)[0], None)
        self.assertEqual(bounds.of("row_order", 64, CACHES, {})[0], None)


class Interval(unittest.TestCase):
    def test_order_statistics_of_the_median(self):
        self.assertIsNone(summary.median_interval([1, 2, 3, 4, 5]), "5 runs give at most 94%")
        self.assertEqual(summary.median_interval(list(range(1, 7))), (1, 6))
        self.assertEqual(summary.median_interval(list(range(1, 16))), (4, 12))

    def test_covers_the_median_95_percent_of_the_time(self):
        rng = random.Random(7)
        draws, covered = 4000, 0
        for _ in range(draws):
            values = [rng.lognormvariate(0, 0.3) for _ in range(15)]  # median 1
            low, high = summary.median_interval(values)
            covered += low <= 1 <= high
        # For 15 values the interval's exact coverage is 96.5%.
        self.assertGreater(covered / draws, 0.95)
        self.assertLess(covered / draws, 0.98)


class Schedule(unittest.TestCase):
    labels, sizes = ["a", "b", "c", "d", "e"], [16, 64, 256]

    def test_every_round_runs_every_cell_once_with_balanced_places(self):
        plan = schedule.plan(self.labels, self.sizes, 15, seed=3)
        self.assertEqual(len(plan), 15 * 5 * 3)
        for round_ in range(1, 16):
            cells = [(n, label) for r, n, label in plan if r == round_]
            self.assertEqual(sorted(cells), sorted((n, l) for n in self.sizes for l in self.labels))
        self.assertEqual([r for r, _, _ in plan], sorted(r for r, _, _ in plan), "rounds outermost")
        # Where each program stands among the programs at one n: 3 times in each place.
        for n in self.sizes:
            places = {}
            for round_ in range(1, 16):
                order = [label for r, m, label in plan if r == round_ and m == n]
                for place, label in enumerate(order):
                    places[label, place] = places.get((label, place), 0) + 1
            self.assertEqual(set(places.values()), {3}, places)

    def test_the_same_seed_replays_the_same_order(self):
        self.assertEqual(schedule.plan(self.labels, self.sizes, 4, seed=11),
                         schedule.plan(self.labels, self.sizes, 4, seed=11))
        self.assertNotEqual(schedule.plan(self.labels, self.sizes, 4, seed=11),
                            schedule.plan(self.labels, self.sizes, 4, seed=12))


def read(path):
    with open(path) as f:
        return f.read()


def running(pid):
    """Whether pid runs: a killed process whose parent is gone may stay a zombie
    until an init that does not reap promptly gets to it."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


# The sweeps under test keep their probe baselines to themselves.
CACHE = tempfile.TemporaryDirectory()
ENV = dict(os.environ, XDG_CACHE_HOME=CACHE.name)


def sweep(cwd, *args, timeout=120):
    return subprocess.run([sys.executable, SWEEP, "--build", BUILD, *args], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=timeout)


def cost_rows(stdout):
    """The rows of the cost table, split into cells, header first."""
    lines = stdout.split("median counter cycles per element")[1].splitlines()[1:]
    rows = [re.split(r"\s{2,}", lines[0].strip())]  # cells stand two spaces apart
    for line in lines[1:]:
        if not line.split() or not line.split()[0].isdigit():
            break
        rows.append(re.split(r"\s{2,}", line.strip()))
    return rows


class Tool(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)

    def fake(self, name, body):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)
        return path

    def program(self, name):
        return os.path.join(BUILD, name)

    def test_a_sweep_leaves_a_folder_that_describes_it_and_renders_again(self):
        programs = [self.program("sumbench_rows"), "sumbench_rows6"]
        done = sweep(self.work, "--sizes", "8,3,8", "--rounds", "2", *programs)
        self.assertEqual(done.returncode, 0, done.stderr)
        folder = os.path.join(self.work, "sweep-out", "latest")
        self.assertTrue(os.path.islink(folder))

        with open(os.path.join(folder, "runs.csv")) as f:
            runs = list(csv.DictReader(f))
        self.assertEqual([int(r["seq"]) for r in runs], list(range(1, len(runs) + 1)))
        self.assertEqual({r["kind"] for r in runs}, {"machine", "timer", "reference", "bench"})
        keys = [(r["label"], r["n"], r["round"], r["attempt"]) for r in runs if r["kind"] == "bench"]
        self.assertEqual(len(keys), len(set(keys)))
        bench = sorted(k[:3] for k in keys if k[3] == "1")
        self.assertEqual(bench, sorted((p, n, k) for p in ("sumbench_rows", "sumbench_rows6")
                                       for n in ("3", "8") for k in ("1", "2")))
        for r in runs:
            self.assertEqual(r["status"], "ok", r)
            if r["kind"] != "machine":
                self.assertLessEqual(float(r["min"]), float(r["med"]))
                self.assertLessEqual(float(r["med"]), float(r["max"]))

        with open(os.path.join(folder, "meta.json")) as f:
            meta = json.load(f)
        self.assertIsNotNone(meta["sweep"]["end"])
        self.assertIsNone(meta["sweep"]["incomplete"])
        self.assertEqual(meta["sizes"], [3, 8])
        self.assertEqual([p["label"] for p in meta["programs"]], ["sumbench_rows", "sumbench_rows6"])
        self.assertTrue(all(p["compiler"] != "unknown" and p["bytes"] > 0 for p in meta["programs"]))
        self.assertGreater(meta["machine"]["ratio"], 0)

        with open(os.path.join(folder, "summary.csv")) as f:
            cells = list(csv.DictReader(f))
        self.assertEqual(len(cells), 4)
        self.assertTrue(all(c["failed"] == "0" and float(c["estimate"]) > 0 for c in cells))

        rows = cost_rows(done.stdout)
        self.assertEqual(rows[0], ["n", "size", "in", "sumbench_rows", "sumbench_rows6"])
        self.assertEqual([row[:2] for row in rows[1:]], [["3", "36 B"], ["8", "256 B"]])
        self.assertIn("relative error", done.stdout)
        self.assertIn("core clock / counter", done.stdout)
        if shutil.which("gnuplot"):
            with open(os.path.join(folder, "sweep.png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        else:
            self.assertFalse(os.path.exists(os.path.join(folder, "sweep.png")))
            self.assertIn("gnuplot-nox", done.stderr)

        again = sweep(self.work, "--from", folder)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(again.stdout, done.stdout)

        compared = sweep(self.work, "--compare", folder, folder)
        self.assertEqual(compared.returncode, 0, compared.stderr)
        self.assertIn("1.000", compared.stdout)
        self.assertIsNone(re.search(r"1\.000 +differs", compared.stdout), compared.stdout)

    def test_misbehaving_programs_fail_their_cells_and_the_sweep(self):
        pid_file = os.path.join(self.work, "child.pid")
        bad = {
            "fails": self.fake("fails", "echo 'out of luck' >&2; exit 3"),
            "hangs": self.fake("hangs", "exec sleep 30"),
            "chatters": self.fake("chatters", "echo hello"),
            # Does not exec its benchmark: the child outlives a kill of the wrapper alone.
            "wraps": self.fake("wraps", f"sleep 30 & echo $! > {pid_file}; wait"),
            "floods": "/usr/bin/yes",
        }
        done = sweep(self.work, "--sizes", "4", "--rounds", "1", "--timeout", "1",
                     "--out", "out", "sumbench_rows", *(f"{k}={v}" for k, v in bad.items()))
        self.assertEqual(done.returncode, 1)
        for why in ["fails n=4: exit status 3: out of luck", "hangs n=4: no answer within 1 s",
                    "chatters n=4: output is not the five report lines",
                    "wraps n=4: no answer within 1 s",
                    "floods n=4: more output than the five lines"]:
            self.assertIn(why, done.stderr)
        rows = cost_rows(done.stdout)
        self.assertNotEqual(rows[1][3], "failed")
        self.assertEqual(rows[1][4:], ["failed"] * len(bad))

        with open(pid_file) as f:
            child = int(f.read())
        self.assertFalse(running(child), "the wrapper's child is still running")
        # The flood was read up to its bound, not kept.
        self.assertLess(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 200 * 1024)

        with open(os.path.join(self.work, "out", "summary.csv")) as f:
            cells = {c["program"]: c for c in csv.DictReader(f)}
        self.assertEqual(cells["sumbench_rows"]["failed"], "0")
        for label in bad:
            self.assertEqual(cells[label]["failed"], "1")

    def test_bad_command_lines_get_one_line_and_status_2(self):
        a_file = self.fake("a_file", "exit 0")
        full = os.path.join(self.work, "full")
        os.mkdir(full)
        open(os.path.join(full, "x"), "w").close()
        cases = [
            (["--sizes", "abc"], "'abc' is not a whole number"),
            (["--sizes", "0"], "0 is not at least 1"),
            (["--sizes", "50000"], "n <= 46340"),
            (["--rounds", "0"], "0 is not at least 1"),
            (["--timeout", "0"], "above 0"),
            (["--timeout", "-1"], "above 0"),
            (["--timeout", "nan"], "finite"),
            (["--timeout", "inf"], "finite"),
            (["--out", ""], "empty folder name"),
            (["--out", a_file], "not a folder"),
            (["--out", full], "not empty"),
            (["--out", "/proc/x"], "cannot create"),
            ([os.path.join(SWEEP + "-nothing")], "not found: build first"),
            ([os.path.join(os.path.dirname(SWEEP), os.pardir, "README.md")], "not an executable"),
            (["nothing_here"], "no such file, nor a program of"),
            (["--build", self.work], "builds.json not found: build first"),
            ([self.program("sumbench"), self.program("sumbench")], "two programs are labelled"),
            (["--pin", "999"], "--pin 999"),
            (["--from", self.work], "not a results folder"),
        ]
        for args, message in cases:
            with self.subTest(" ".join(args)):
                done = sweep(self.work, "--sizes", "4", *args)
                self.assertEqual(done.returncode, 2, done.stderr)
                self.assertEqual(done.stdout, "")
                self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                self.assertIn(message, done.stderr)
                self.assertNotIn("Traceback", done.stderr)

    def test_earlier_results_survive_a_new_sweep_and_an_interrupted_one(self):
        base = os.path.join(self.work, "sweep-out")
        first = sweep(self.work, "--sizes", "4", "--rounds", "1", "sumbench_rows")
        self.assertEqual(first.returncode, 0, first.stderr)
        earlier = os.readlink(os.path.join(base, "latest"))
        with open(os.path.join(base, earlier, "runs.csv")) as f:
            saved = f.read()

        second = sweep(self.work, "--sizes", "4", "--rounds", "1", "sumbench_rows6")
        self.assertEqual(second.returncode, 0, second.stderr)
        complete = os.readlink(os.path.join(base, "latest"))
        self.assertNotEqual(complete, earlier)

        # Interrupted while its second program runs: once the first one is recorded.
        before = set(os.listdir(base))
        slow = self.fake("slow", "exec sleep 30")
        running = subprocess.Popen([sys.executable, SWEEP, "--build", BUILD, "--sizes", "4",
                                    "--rounds", "1", "sumbench_rows", slow], cwd=self.work,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   env=ENV)
        runs = None
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            new = set(os.listdir(base)) - before
            runs = os.path.join(base, new.pop(), "runs.csv") if new else None
            if runs and os.path.exists(runs) and ",timer,sumbench_rows," in read(runs):
                break
            time.sleep(0.05)
        time.sleep(0.3)
        running.send_signal(signal.SIGINT)
        out, err = running.communicate(timeout=30)
        self.assertEqual(running.returncode, 130, err)
        self.assertNotIn("Traceback", err)
        self.assertIn("median counter cycles per element", out)
        self.assertIn("INCOMPLETE: interrupted by SIGINT", out)
        with open(os.path.join(os.path.dirname(runs), "meta.json")) as f:
            meta = json.load(f)
        self.assertIsNone(meta["sweep"]["end"])
        self.assertEqual(meta["sweep"]["incomplete"], "interrupted by SIGINT")

        self.assertEqual(os.readlink(os.path.join(base, "latest")), complete)
        with open(os.path.join(base, earlier, "runs.csv")) as f:
            self.assertEqual(f.read(), saved)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
