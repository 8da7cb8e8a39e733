"""The sweep on tiny sizes: its CSV, its table, its plot, and programs that fail.

usage: sweep_test.py SWEEP BUILD_DIR
"""

import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SWEEP, BUILD = sys.argv[1], sys.argv[2]
FIELDS = ["sum", "moy", "min", "max", "med"]


def sweep(out, *args):
    return subprocess.run([sys.executable, SWEEP, "--build", BUILD, "--out", out, *args],
                          capture_output=True, text=True, timeout=120)


def table_rows(stdout):
    """The rows of the cost table, split into cells, header first."""
    lines = stdout.split("median counter cycles per element")[1].splitlines()[1:]
    rows = []
    for line in lines:
        if not line.strip() or line.startswith("~"):
            break
        rows.append(re.split(r"\s{2,}", line.strip()))  # cells stand two spaces apart
    return rows


class Sweep(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.out)

    def fake(self, name, body):
        path = os.path.join(self.out, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body + "\n")
        os.chmod(path, 0o755)
        return path

    def test_two_programs_give_csv_table_and_plot(self):
        programs = [os.path.join(BUILD, p) for p in ("sumbench_rows", "sumbench_rows6")]
        done = sweep(self.out, "--sizes", "3,8", "--rounds", "2", *programs)
        self.assertEqual(done.returncode, 0, done.stderr)

        with open(os.path.join(self.out, "sweep.csv")) as f:
            runs = list(csv.DictReader(f))
        keys = sorted((r["program"], r["n"], r["round"]) for r in runs)
        self.assertEqual(keys, sorted((p, n, k) for p in ("sumbench_rows", "sumbench_rows6")
                                      for n in ("3", "8") for k in ("1", "2")))
        for r in runs:
            self.assertEqual(r["error"], "")
            values = [float(r[field]) for field in FIELDS]
            self.assertLessEqual(values[2], values[4])  # min <= med
            self.assertLessEqual(values[4], values[3])  # med <= max

        rows = table_rows(done.stdout)
        self.assertEqual(rows[0], ["n", "size", "in", "sumbench_rows", "sumbench_rows6"])
        self.assertEqual([row[0] for row in rows[1:]], ["3", "8"])
        self.assertEqual([row[1] for row in rows[1:]], ["36 B", "256 B"])
        self.assertTrue(all(len(row) == 5 for row in rows[1:]), rows)
        self.assertIn("relative error", done.stdout)
        self.assertIn("core clock / counter", done.stdout)
        self.assertIn("[8/8] sumbench_rows6 n=8", done.stderr)

        picture = os.path.join(self.out, "sweep.png")
        if shutil.which("gnuplot"):
            with open(picture, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        else:
            self.assertFalse(os.path.exists(picture))

    def test_failing_programs_are_named_and_skipped(self):
        good = os.path.join(BUILD, "sumbench_rows")
        bad = {
            "fails": self.fake("fails", "echo 'out of luck' >&2; exit 3"),
            "hangs": self.fake("hangs", "exec sleep 30"),
            "chatters": self.fake("chatters", "echo hello"),
        }
        done = sweep(self.out, "--sizes", "4", "--rounds", "1", "--timeout", "1", good,
                     *bad.values())
        self.assertEqual(done.returncode, 1)
        self.assertIn("fails n=4: exit status 3: out of luck", done.stderr)
        self.assertIn("hangs n=4: no answer within 1 s", done.stderr)
        self.assertIn("chatters n=4: output is not the five report lines", done.stderr)

        rows = table_rows(done.stdout)
        self.assertEqual(rows[1][4:], ["failed", "failed", "failed"])
        self.assertNotEqual(rows[1][3], "failed")
        with open(os.path.join(self.out, "sweep.csv")) as f:
            runs = {r["program"]: r for r in csv.DictReader(f)}
        self.assertEqual(runs["sumbench_rows"]["error"], "")
        for name in bad:
            self.assertEqual([runs[name][field] for field in FIELDS], [""] * 5)
            self.assertIn(f"{name} n=4", runs[name]["error"])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
