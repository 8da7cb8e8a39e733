"""From run records to cells: a pure function of what the sweep recorded.

A cell is one program at one n. Its estimate is the median of its quiet runs'
med lines, with a distribution-free 95% interval; where those runs fall into
separated groups, each group is a mode. Nothing here runs anything or reads a
clock, so a results folder alone gives the same cells as the live sweep did.
"""

import dataclasses
import math
import statistics

# A run is busy when the load probe just before it read more than this share
# above the sweep's quiet baseline: on this kind of machine a busy period
# reads 20-50% over quiet, and quiet readings stay within a few percent.
BUSY = 0.10
# The quiet baseline is this quantile of all the probe's readings of a sweep
# (or a lower baseline kept from an earlier sweep on the same machine).
BASELINE_QUANTILE = 0.10
# The fewest runs that give a 95% interval of the median from order
# statistics: 1 - 2 * 0.5^6 = 96.9%.
MIN_RUNS = 6
CONFIDENCE = 0.95
# An interval wider than this on either side of the estimate is wide.
WIDE = 0.03
# A call shorter than this many counter steps cannot be resolved to 1.5%.
MIN_STEPS = 70
# A cell is a timer artefact when the fixed cost of one timed call, measured
# with n = 1, is more than this share of a call.
TIMER_SHARE = 0.05
# Two groups are two modes when the gap between them is this many times the
# larger of their spreads (median absolute deviation, or one counter step per
# call, whichever is larger), at least MODE_GAP of the lower group's median,
# and each holds at least MODE_RUNS runs.
MODE_SEPARATION = 4.0
MODE_GAP = 0.03
MODE_RUNS = 2

# The marks, each with what it means and what to do about it.
MARKS = {
    "*": "failed in some rounds (see runs.csv for why): the estimate uses the rounds that ran",
    "b": (f"fewer than {MIN_RUNS} quiet runs, too few for a 95% interval: the number and its "
          "interval are of all its runs, busy ones included; rerun on a quieter machine or with "
          "more --rounds"),
    "~": (f"the 95% interval reaches more than {WIDE:.0%} from the estimate: run more --rounds, "
          "--pin a CPU, or rerun on a quieter machine"),
    "r": (f"resolution: a call lasts fewer than {MIN_STEPS} counter steps, so one step is over "
          f"{1 / MIN_STEPS:.1%} of it; read the larger n"),
    "!": (f"timer artefact: the fixed cost of a timed call is over {TIMER_SHARE:.0%} of a call; "
          "read the larger n"),
}


@dataclasses.dataclass
class Mode:
    median: float
    runs: int
    share: float  # of the cell's quiet runs


@dataclasses.dataclass
class Cell:
    label: str
    n: int
    runs: int = 0  # runs attempted, re-queued ones included
    failed: int = 0
    busy: int = 0
    quiet: int = 0
    busy_excess: float = None  # how far over quiet the probe read on its busy runs (median)
    estimate: float = None  # counter cycles per element, None when no run succeeded
    lower: float = None  # the 95% interval of the median, None with too few runs
    upper: float = None
    modes: list = dataclasses.field(default_factory=list)  # two or more, or empty
    # (the modes, the estimate and the interval are of the quiet runs, or of all
    # the good runs where the quiet ones are too few: the mark b)
    mode: int = None  # the index of the mode the estimate is from
    timer_share: float = None  # the fixed cost of a timed call over a call
    step_share: float = None  # one counter step over a call
    marks: str = ""
    bound: float = None  # the least cost of its order on this machine, or None
    limit: str = ""  # what binds it, or why there is no bound

    @property
    def efficiency(self):
        """bound / estimate: 1.00 is at the bound."""
        if self.bound is None or not self.estimate:
            return None
        return self.bound / self.estimate

    @property
    def half_width(self):
        if self.lower is None or not self.estimate:
            return None
        return max(self.upper - self.estimate, self.estimate - self.lower) / self.estimate


def quantile(values, q):
    """The q-quantile by linear interpolation between order statistics."""
    v = sorted(values)
    position = q * (len(v) - 1)
    low = math.floor(position)
    high = min(low + 1, len(v) - 1)
    return v[low] + (v[high] - v[low]) * (position - low)


def median_interval(values, confidence=CONFIDENCE):
    """(lower, upper): order statistics that hold the median with at least the
    given confidence, whatever the distribution; None for too few values."""
    k = len(values)
    v = sorted(values)
    tail = (1 - confidence) / 2
    # The largest rank l with P(Binomial(k, 1/2) < l) <= tail.
    cumulative, rank = 0.0, 0
    for i in range(k + 1):
        cumulative += math.comb(k, i) / 2 ** k
        if cumulative > tail:
            break
        rank = i + 1
    if rank < 1:
        return None
    return v[rank - 1], v[k - rank]


def mad(values):
    m = statistics.median(values)
    return statistics.median(abs(x - m) for x in values)


def find_modes(values, floor):
    """The groups of values that are separated modes, lowest first, or [values]."""
    v = sorted(values)
    best = None
    for i in range(MODE_RUNS, len(v) - MODE_RUNS + 1):
        low, high = v[:i], v[i:]
        gap = high[0] - low[-1]
        spread = max(mad(low), mad(high), floor)
        if gap >= MODE_SEPARATION * spread and gap >= MODE_GAP * statistics.median(low):
            if best is None or gap / spread > best[0]:
                best = (gap / spread, i)
    if best is None:
        return [v]
    i = best[1]
    return find_modes(v[:i], floor) + find_modes(v[i:], floor)


def baseline(runs, kept=None):
    """The quiet reading of the load probe: a low quantile of the sweep's
    readings, or a lower one kept from an earlier sweep; None without any."""
    readings = [float(r.probe_load) for r in runs if r.kind == "bench" and r.probe_load]
    ours = quantile(readings, BASELINE_QUANTILE) if readings else None
    candidates = [x for x in (ours, kept) if x]
    return min(candidates) if candidates else None


def is_busy(run, quiet):
    return bool(quiet and run.probe_load and float(run.probe_load) > (1 + BUSY) * quiet)


def timer_costs(runs):
    """{label: counter cycles of one timed call}, from the runs at n = 1."""
    return {r.label: r.value("med") for r in runs if r.kind == "timer" and r.ok}


def summarise(runs, labels, sizes, quiet=None, step=None, bound=None):
    """{(label, n): Cell} for every program and size of the sweep; quiet is the
    probe's baseline (None: every run counts as quiet), step the counter's,
    bound(label, n) the (bound, limit) of a cell's order."""
    timer = timer_costs(runs)
    bench = {}
    for r in runs:
        if r.kind == "bench":
            bench.setdefault((r.label, r.n), []).append(r)
    cells = {}
    for label in labels:
        for n in sizes:
            mine = bench.get((label, n), [])
            good = [r for r in mine if r.ok]
            calm = [r for r in good if not is_busy(r, quiet)]
            cell = Cell(label, n, runs=len(mine), failed=len(mine) - len(good),
                        busy=len(good) - len(calm), quiet=len(calm))
            if cell.busy:
                cell.busy_excess = statistics.median(float(r.probe_load) / quiet - 1
                                                     for r in good if is_busy(r, quiet))
            marks = "*" if cell.failed else ""
            if good:
                # Too few quiet runs: all of them, busy ones included, said so.
                chosen = calm if len(calm) >= MIN_RUNS else good
                if chosen is good:
                    marks += "b"
                meds = [r.value("med") for r in chosen]
                floor = step / (n * n) if step else 0.0
                groups = find_modes(meds, floor)
                if len(groups) > 1:
                    cell.modes = [Mode(statistics.median(g), len(g), len(g) / len(meds))
                                  for g in groups]
                    # Interference only slows a run, so the fastest mode is the
                    # estimate where it has enough runs.
                    cell.mode = next((i for i, g in enumerate(groups) if len(g) >= MIN_RUNS),
                                     max(range(len(groups)), key=lambda i: len(groups[i])))
                    meds = groups[cell.mode]
                cell.estimate = statistics.median(meds)
                interval = median_interval(meds)
                if interval:
                    cell.lower, cell.upper = interval
                if cell.half_width is None or cell.half_width > WIDE:
                    marks += "~"
                if cell.estimate > 0:
                    call = cell.estimate * n * n
                    if step:
                        cell.step_share = step / call
                        if call < MIN_STEPS * step:
                            marks += "r"
                    if label in timer:
                        cell.timer_share = timer[label] / call
                        if cell.timer_share > TIMER_SHARE:
                            marks += "!"
            cell.marks = marks
            if bound is not None:
                cell.bound, cell.limit = bound(label, n)
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


def overlap(a, b):
    """Whether two cells' 95% intervals overlap (None when either has none)."""
    if a.lower is None or b.lower is None:
        return None
    return a.lower <= b.upper and b.lower <= a.upper
