"""The build as a user configures it: the table of builds against the README,
outside flags that must not reach a kernel, and a user's kernels, good,
hostile or badly named.

usage: build_test.py SOURCE_DIR BUILD_DIR CXX_COMPILER
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE, BUILD, CXX = sys.argv[1], sys.argv[2], sys.argv[3]
USER_KERNELS = os.path.join(SOURCE, "tests", "user_kernels")


def table_of_builds(folder=BUILD):
    with open(os.path.join(folder, "builds.json")) as f:
        return json.load(f)["builds"]


def configure(folder, *args, env=None):
    return subprocess.run(["cmake", "-S", SOURCE, "-B", folder, "-DBUILD_TESTING=OFF",
                           f"-DCMAKE_CXX_COMPILER={CXX}", *args],
                          capture_output=True, text=True, env=env, timeout=300)


def build(folder, *targets):
    return subprocess.run(["cmake", "--build", folder, "-j2", "--target", *targets],
                          capture_output=True, text=True, timeout=600)


class Build(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.work)

    def test_readme_names_every_build_of_the_table(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        section = readme.split("## Programs and modules", 1)[1].split("\n## ", 1)[0]
        rows = set()
        for line in section.splitlines():
            if line.startswith("| `"):
                cells = [c.strip().strip("`") for c in line.strip("|").split("|")]
                rows.add(tuple(cells[:4]))
        expected = {(b["program"], b["build"], b["module"] or "—", b["order"])
                    for b in table_of_builds() if b["role"] != "user"}
        self.assertEqual(rows, expected)

    def test_outside_flags_leave_every_kernel_object_byte_for_byte(self):
        builds = [b for b in table_of_builds() if b["role"] != "user"]
        targets = [b["build"] for b in builds]
        cases = [("cmake_flags", ["-DCMAKE_CXX_FLAGS=-O3 -ffast-math -funroll-loops",
                                  "-DCMAKE_BUILD_TYPE=Release"], None),
                 ("cxxflags", [], dict(os.environ, CXXFLAGS="-O3 -ffast-math"))]
        for label, args, env in cases:
            with self.subTest(label):
                folder = os.path.join(self.work, label)
                done = configure(folder, *args, env=env)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn("apply to the tests and tools only", done.stdout)
                done = build(folder, *targets)
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
                flagged = {b["build"]: b["object"] for b in table_of_builds(folder)}
                for entry in builds:
                    with open(entry["object"], "rb") as plain, \
                            open(flagged[entry["build"]], "rb") as changed:
                        self.assertEqual(plain.read(), changed.read(),
                                         f"{entry['build']} changed under {label}")

    def test_user_kernels_are_held_to_the_kernel_rules(self):
        sources = ";".join(os.path.join(USER_KERNELS, name + ".cc")
                           for name in ["user_pairs", "two_globals", "calls_printf", "keeps_state"])
        folder = os.path.join(self.work, "user")
        done = configure(folder, f"-DSUMBENCH_USER_KERNELS={sources}")
        self.assertEqual(done.returncode, 0, done.stderr)

        done = build(folder, "user_pairs")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        run = subprocess.run([os.path.join(folder, "user_pairs"), "10", "3"],
                             capture_output=True, text=True)
        self.assertEqual(len(run.stdout.splitlines()), 5, run.stdout)

        broken = {
            "two_globals": "its only global symbol must be kernel, it defines: helper kernel",
            "calls_printf": "it may need nothing from outside (no library call), it needs: printf",
            "keeps_state": "it may keep no state (no global or static variable), it holds:",
        }
        for name, rule in broken.items():
            with self.subTest(name):
                done = build(folder, name)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn(f"kernel {name}.kernel breaks a kernel rule: {rule}", done.stdout)
        # What the build refused is in neither the programs nor the modules.
        self.assertFalse(os.path.exists(os.path.join(folder, "modules", "calls_printf.o")))

    def test_clashing_or_malformed_names_get_one_line_each_at_configure_time(self):
        names = {"sum_rows.cc": "already the name", "driver.cc": "already the name",
                 "test.cc": "already the name", "my pairs.cc": "may hold only letters"}
        paths = []
        for name in names:
            path = os.path.join(self.work, name)
            shutil.copy(os.path.join(USER_KERNELS, "user_pairs.cc"), path)
            paths.append(path)
        twice = os.path.join(self.work, "again")
        os.mkdir(twice)
        shutil.copy(os.path.join(USER_KERNELS, "user_pairs.cc"), twice)
        paths += [os.path.join(USER_KERNELS, "user_pairs.cc"), os.path.join(twice, "user_pairs.cc")]

        done = configure(os.path.join(self.work, "names"), "-DSUMBENCH_USER_KERNELS=" + ";".join(paths))
        self.assertNotEqual(done.returncode, 0)
        lines = [l for l in done.stderr.splitlines() if l.startswith("SUMBENCH_USER_KERNELS: ")]
        for name, why in names.items():
            self.assertEqual(len([l for l in lines if l.startswith(f"SUMBENCH_USER_KERNELS: {name}: ")
                                  and why in l]), 1, done.stderr)
        self.assertEqual(len([l for l in lines if "named twice" in l]), 1, done.stderr)
        self.assertIn("5 kernel(s) refused", done.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
