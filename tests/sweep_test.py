"""The sweep: its statistics on synthetic run records, and the tool end to end on
tiny sizes: its folder, its tables, --from, bad options, interrupts and
programs that misbehave.

usage: sweep_test.py SWEEP BUILD_DIR
"""

import csv
import json
import os
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

from sumbench_sweep import records, summary  # noqa: E402


def run_record(label="p", n=64, med=1.0, status="ok", kind="bench", round_=1, minimum=None,
               sum_="1.0"):
    return records.Run(seq=0, start="", kind=kind, label=label, path="/p", n=n, R=10,
                       round=round_, status=status,
                       **({} if status != "ok" else
                          dict(sum=sum_, moy=repr(med), min=repr(med if minimum is None else minimum),
                               max=repr(med), med=repr(med))))


def rounds(meds, n=64):
    return [run_record(med=m, n=n, round_=i + 1) for i, m in enumerate(meds)]


class Summary(unittest.TestCase):
    """Cells from run records: the estimate, the spread and each mark."""

    @staticmethod
    def cell(runs, n=64):
        return summary.summarise(runs, ["p"], [n])["p", n]

    def test_estimates_and_marks(self):
        timer = [run_record(kind="timer", n=1, med=26.0)]
        # (what, runs, n, estimate, marks)
        cases = [
            ("tight", rounds([1.00, 1.01, 0.99, 1.00, 1.02]), 64, 1.00, ""),
            ("one round 10% off is still tight", rounds([1.0, 1.0, 1.0, 1.0, 1.09]), 64, 1.0, ""),
            ("one round over 10% off is noisy", rounds([1.0, 1.0, 1.0, 1.0, 1.11]), 64, 1.0, "~"),
            ("one round, min far below med", [run_record(med=1.0, minimum=0.8)], 64, 1.0, "~"),
            # 26 cycles per call against 0.1 x 23^2 = 52.9: 49% of a call.
            ("timer cost over 5% of a call", timer + rounds([0.1, 0.1], 23), 23, 0.1, "!"),
            # 26 against 1.0 x 23^2 = 529 cycles: 4.9%, just under.
            ("timer cost just under 5%", timer + rounds([1.0, 1.0], 23), 23, 1.0, ""),
            # 26 against 1.0 x 22^2 = 484 cycles: 5.4%, just over.
            ("timer cost just over 5% at a smaller n", timer + rounds([1.0, 1.0], 22), 22, 1.0, "!"),
            ("a failed round", rounds([1.0, 1.0]) + [run_record(status="exit status 3: x")], 64,
             1.0, "*"),
        ]
        for what, runs, n, estimate, marks in cases:
            with self.subTest(what):
                cell = self.cell(runs, n)
                self.assertAlmostEqual(cell.estimate, estimate)
                self.assertEqual(cell.marks, marks)

    def test_every_round_failed(self):
        cell = self.cell([run_record(status="no answer within 1 s")] * 3)
        self.assertIsNone(cell.estimate)
        self.assertEqual((cell.rounds, cell.failed, cell.marks), (3, 3, "*"))

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


def sweep(cwd, *args, timeout=120):
    return subprocess.run([sys.executable, SWEEP, "--build", BUILD, *args], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)


def cost_rows(stdout):
    """The rows of the cost table, split into cells, header first."""
    lines = stdout.split("median counter cycles per element")[1].splitlines()[1:]
    rows = []
    for line in lines:
        if not line.strip() or not line.lstrip()[0].isalnum():
            break
        rows.append(re.split(r"\s{2,}", line.strip()))  # cells stand two spaces apart
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
        bench = sorted((r["label"], r["n"], r["round"]) for r in runs if r["kind"] == "bench")
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
        self.assertIn("1.000 ~", compared.stdout)

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
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
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
