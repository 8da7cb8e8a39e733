"""Run records: one per process the sweep started, as runs.csv holds them."""

import csv
import dataclasses
import json
import os

# What a record is for: the clock and probe parameters of the machine, the
# fixed cost of a timed call (n = 1), the reference sums, and the benchmark.
KINDS = ("machine", "timer", "reference", "bench")
VALUES = ("sum", "moy", "min", "max", "med")


@dataclasses.dataclass
class Run:
    seq: int
    start: str  # UTC, ISO 8601
    kind: str
    label: str
    path: str
    n: int
    R: int
    round: int
    attempt: int  # 1, or 2 and more for a cell run again at the end for want of quiet runs
    status: str  # "ok", or why the run failed
    cpu: str = ""  # the CPU it ran on, with the probe before it
    seconds: float = 0.0
    # The five report values as the program printed them.
    sum: str = ""
    moy: str = ""
    min: str = ""
    max: str = ""
    med: str = ""
    # The probe's reading just before a benchmark run, as it printed it.
    probe_load: str = ""
    probe_add: str = ""
    probe_ratio: str = ""
    probe_step: str = ""

    @property
    def ok(self):
        return self.status == "ok"

    def value(self, name):
        return float(getattr(self, name))


FIELDS = [f.name for f in dataclasses.fields(Run)]
_TYPES = {f.name: f.type for f in dataclasses.fields(Run)}


class RunsFile:
    """runs.csv, written a row at a time and flushed, so that nothing a sweep
    measured is lost when it stops."""

    def __init__(self, path):
        self._file = open(path, "x", newline="")
        self._writer = csv.DictWriter(self._file, fieldnames=FIELDS)
        self._writer.writeheader()
        self._file.flush()

    def write(self, run):
        self._writer.writerow(dataclasses.asdict(run))
        self._file.flush()

    def close(self):
        self._file.close()


def read_runs(path):
    runs = []
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            fields = {}
            for name in FIELDS:
                text = row.get(name, "")
                kind = _TYPES[name]
                fields[name] = (int(text) if kind in (int, "int") else
                                float(text) if kind in (float, "float") else text)
            runs.append(Run(**fields))
    return runs


def write_json(path, data):
    """Replaces path with data atomically: a reader never sees half a file."""
    temporary = path + ".part"
    with open(temporary, "w") as f:
        json.dump(data, f, indent=2, sort_keys=True)
        f.write("\n")
    os.replace(temporary, path)


def read_json(path):
    with open(path) as f:
        return json.load(f)

