"""From run records to cells: a pure function of what the sweep recorded.

A cell is one program at one n: the estimate of its cost in counter cycles
per element, and its marks. Nothing here runs anything or reads a clock, so
a results folder alone gives the same cells as the live sweep did.
"""

import dataclasses
import statistics

# A cell is noisy when its rounds' medians spread over more than this share of
# their median (with one round: when the run's min lies this far below its med).
NOISY = 0.10
# A cell is a timer artefact when the fixed cost of one timed call, measured
# with n = 1, is more than this share of a call.
TIMER_SHARE = 0.05

# The marks, each with what it means and what to do about it.
MARKS = {
    "*": "failed in some rounds: see runs.csv for why; the estimate uses the rounds that ran",
    "~": (f"noisy: the rounds' medians spread over more than {NOISY:.0%} of their median; "
          "run more rounds, --pin a CPU, or wait for a quieter machine"),
    "!": (f"timer artefact: the fixed cost of a timed call is over {TIMER_SHARE:.0%} of a call; "
          "read the larger n"),
}


@dataclasses.dataclass
class Cell:
    label: str
    n: int
    rounds: int  # runs attempted
    failed: int
    estimate: float = None  # counter cycles per element, None when no run succeeded
    spread: float = None  # (max - min) / median of the rounds' meds
    timer_share: float = None  # the fixed cost of a timed call over the cost of a call
    marks: str = ""


def timer_costs(runs):
    """{label: counter cycles of one timed call}, from the runs at n = 1."""
    return {r.label: r.value("med") for r in runs if r.kind == "timer" and r.ok}


def summarise(runs, labels, sizes):
    """{(label, n): Cell} for every program and size of the sweep."""
    timer = timer_costs(runs)
    cells = {}
    for label in labels:
        for n in sizes:
            mine = [r for r in runs if r.kind == "bench" and r.label == label and r.n == n]
            good = [r for r in mine if r.ok]
            cell = Cell(label, n, rounds=len(mine), failed=len(mine) - len(good))
            if good:
                meds = [r.value("med") for r in good]
                cell.estimate = statistics.median(meds)
                if len(meds) > 1:
                    cell.spread = (max(meds) - min(meds)) / cell.estimate if cell.estimate else 0.0
                    noisy = cell.spread > NOISY
                else:
                    cell.spread = None
                    noisy = good[0].value("med") - good[0].value("min") > NOISY * cell.estimate
                if label in timer and cell.estimate > 0:
                    cell.timer_share = timer[label] / (cell.estimate * n * n)
                cell.marks = ("*" if cell.failed else "") + ("~" if noisy else "") + (
                    "!" if cell.timer_share is not None and cell.timer_share > TIMER_SHARE else "")
            elif cell.failed:
                cell.marks = "*"
            cells[label, n] = cell
    return cells


def reference_sums(runs):
    """{n: the reference program's sum}, from its good runs."""
    return {r.n: r.value("sum") for r in runs if r.kind == "reference" and r.ok}


def relative_errors(runs, labels, sizes):
    """{(label, n): |sum - reference| / |reference|}, or None where either is missing.

    A zero reference sum gives 0 for an equal sum and None (no ratio) otherwise."""
    reference = reference_sums(runs)
    first = {}
    for r in runs:
        if r.kind == "bench" and r.ok:
            first.setdefault((r.label, r.n), r.value("sum"))
    errors = {}
    for label in labels:
        for n in sizes:
            s, exact = first.get((label, n)), reference.get(n)
            if s is None or exact is None:
                errors[label, n] = None
            elif exact == 0:
                errors[label, n] = 0.0 if s == 0 else None
            else:
                errors[label, n] = abs(s - exact) / abs(exact)
    return errors
