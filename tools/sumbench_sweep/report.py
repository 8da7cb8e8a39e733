"""From cells to what a reader gets: the tables, summary.csv and the plot."""

import csv
import os
import shutil
import subprocess
import tempfile

from . import bounds, summary


def human(size):
    for unit, scale in [("GiB", 1024 ** 3), ("MiB", 1024 ** 2), ("KiB", 1024)]:
        if size >= scale:
            return f"{size / scale:.4g} {unit}"
    return f"{size} B"


def level(n, caches):
    """The smallest cache that holds the n x n matrix, or RAM."""
    size = 4 * n * n
    return next((name for name, capacity in caches if size <= capacity), "RAM")


def format_table(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.rjust(w) for cell, w in zip(row, widths)) for row in rows]


def quiet_baseline(meta, runs):
    return summary.baseline(runs, meta["machine"].get("kept_baseline"))


def cells_of(meta, runs):
    order = {p["label"]: p.get("order") for p in meta["programs"]}
    machine = meta["machine"]

    def bound(label, n):
        return bounds.of(order[label], n, machine["caches"], machine.get("parameters"))

    return summary.summarise(runs, meta["labels"], meta["sizes"], quiet_baseline(meta, runs),
                             counter_step(meta, runs), bound)


def counter_step(meta, runs):
    """The counter's step: the largest that the machine probe or any run's probe
    saw, since a reading across an interrupt can only make a step look finer."""
    steps = [meta["machine"].get("step")] + [r.probe_step for r in runs if r.probe_step]
    return max((float(x) for x in steps if x), default=None)


def busy_line(meta, runs):
    quiet = quiet_baseline(meta, runs)
    bench = [r for r in runs if r.kind == "bench" and r.ok]
    if quiet is None:
        return "busy runs: unknown (no probe readings): every run counts as quiet"
    busy = [r for r in bench if summary.is_busy(r, quiet)]
    line = (f"busy runs: {len(busy)} of {len(bench)} read the load probe over "
            f"{summary.BUSY:.0%} above quiet ({quiet:.4f} counter cycles per element)")
    if busy:
        worst = max(float(r.probe_load) for r in busy) / quiet - 1
        line += f", at most +{worst:.0%}; the cells shortest of quiet runs ran again while time allowed"
    return line


def header(meta, runs):
    machine = meta["machine"]
    cpu = machine["model"]
    if machine.get("family") is not None:
        cpu += f" (family {machine['family']}, model {machine['cpu_model']})"
    lines = [f"machine: {cpu}, {machine['cores']} cores"]
    compilers = {}
    for program in meta["programs"]:
        compilers.setdefault(program["compiler"], []).append(program["label"])
    if len(compilers) == 1:
        lines.append(f"compiler: {next(iter(compilers))}")
    else:
        lines += [f"compiler: {', '.join(labels)}: {c}" for c, labels in compilers.items()]
    if machine.get("ratio"):
        lines.append(f"counter: {machine['counter_hz'] / 1e9:.3f} GHz in steps of "
                     f"{counter_step(meta, runs):g}; core clock / counter = {machine['ratio']:.3f}")
    else:
        lines.append("counter: rate and ratio to the core clock unknown (the probe did not run)")
    lines.append("caches: " + (", ".join(f"{name} {human(size)}" for name, size in machine["caches"])
                               or "unknown"))
    timer = summary.timer_costs(runs)
    lines.append("timer cost per call (counter cycles, n = 1): " +
                 (", ".join(f"{label} {timer[label]:.0f}" for label in meta["labels"]
                            if label in timer) or "unknown"))
    options = meta["sweep"]["options"]
    cpus = f"CPU {options['pin']}" if options.get("pin") is not None else "the CPUs in turn"
    lines.append(f"schedule: {options['rounds']} rounds in an order shuffled from --seed "
                 f"{options['seed']}; each run and its probe on {cpus}")
    lines.append(busy_line(meta, runs))
    if meta["sweep"].get("incomplete"):
        lines.append(f"INCOMPLETE: {meta['sweep']['incomplete']}; the tables hold what ran")
    return lines


def cell_text(cell):
    if cell.estimate is None:
        return "failed" if cell.failed else "-"
    estimate = f"{cell.estimate:.3f}"
    if cell.half_width is not None:
        estimate += f" ±{cell.half_width:.1%}"
    if not cell.modes:
        return estimate + cell.marks
    return " | ".join(estimate if i == cell.mode else f"{m.median:.3f} ({m.share:.0%})"
                      for i, m in enumerate(cell.modes)) + cell.marks


def cost_table(meta, cells):
    caches = meta["machine"]["caches"]
    rows = [["n", "size", "in"] + meta["labels"]]
    for n in meta["sizes"]:
        rows.append([str(n), human(4 * n * n), level(n, caches)] +
                    [cell_text(cells[label, n]) for label in meta["labels"]])
    lines = ["median counter cycles per element: the median of the quiet runs' med lines, and the "
             "distance to the farther end of its 95% interval"]
    lines += format_table(rows)
    if any(c.modes for c in cells.values()):
        lines.append("a | b (share): the runs fall into separated modes; the estimate (with "
                     "its ±) is the fastest mode with enough runs for an interval, as interference "
                     "only slows a run")
    used = [mark for mark in summary.MARKS if any(mark in c.marks for c in cells.values())]
    lines += [f"{mark} {summary.MARKS[mark]}" for mark in used]
    marked = sum(1 for c in cells.values() if c.marks)
    counts = ", ".join(f"{mark} {sum(1 for c in cells.values() if mark in c.marks)}"
                       for mark in used)
    lines.append(f"marked: {marked} of {len(cells)} cells" + (f" ({counts})" if used else ""))
    return lines


LIMIT_LETTERS = {"chain": "c", "adds": "a", "bytes": "b"}


def efficiency_table(meta, cells):
    rows = [["n", "in"] + meta["labels"]]
    for n in meta["sizes"]:
        row = [str(n), level(n, meta["machine"]["caches"])]
        for label in meta["labels"]:
            c = cells[label, n]
            row.append("-" if c.efficiency is None else f"{c.efficiency:.2f} {LIMIT_LETTERS[c.limit]}")
        rows.append(row)
    lines = ["efficiency: the bound of the order over the estimate (1.00 is at the bound), and the "
             "limit that binds"]
    lines += format_table(rows)
    lines += [f"{letter} {bounds.LIMITS[limit]}" for limit, letter in LIMIT_LETTERS.items()]
    lines.append("Above 1.00 the kernel beat its bound: the counter is read without a fence, so "
                 "the last additions of a call may still run after the second reading.")
    why_not = sorted({c.limit for c in cells.values() if c.bound is None})
    lines += [f"- no bound: {why}" for why in why_not]
    machine = meta["machine"]
    p = machine.get("parameters") or {}
    if all(p.get(k) is not None for k in bounds.NEEDS):
        lines.append(
            "machine (counter cycles): add latency scalar {scalar_add_latency:.3f}, 256-bit "
            "{vector_add_latency:.3f}; add from L1, scalar {scalar_add_throughput:.3f}, 256-bit "
            "{vector_add_throughput:.3f}; read per float L1 {read_l1:.4f}, L2 {read_l2:.4f}, "
            "L3 {read_l3:.4f}, memory {read_memory:.4f}".format(**p))
    return lines


def error_table(meta, runs):
    if meta.get("reference") is None:
        return ["relative error: no reference program (sumbench_double in the build)"]
    errors = summary.relative_errors(runs, meta["labels"], meta["sizes"])
    missing = [n for n in meta["sizes"] if n not in summary.reference_sums(runs)]
    rows = [["n"] + meta["labels"]]
    for n in meta["sizes"]:
        rows.append([str(n)] + ["-" if errors[label, n] is None else f"{errors[label, n]:.1e}"
                                for label in meta["labels"]])
    lines = ["relative error of the printed sum against the double-precision sum"]
    lines += format_table(rows)
    if missing:
        lines.append("- no sum to compare: the program or the reference failed at that n "
                     f"(no reference sum at n = {', '.join(map(str, missing))})")
    return lines


def render(meta, runs):
    """The sweep's report as lines: the same from a live sweep and from its folder."""
    cells = cells_of(meta, runs)
    return (header(meta, runs) + [""] + cost_table(meta, cells) + [""] +
            efficiency_table(meta, cells) + [""] + error_table(meta, runs))


SUMMARY_FIELDS = ["program", "n", "bytes", "level", "runs", "failed", "busy", "busy_excess", "quiet",
                  "estimate",
                  "lower", "upper", "modes", "mode", "timer_share", "step_share", "marks", "bound",
                  "limit", "efficiency"]


def write_summary(path, meta, runs):
    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(SUMMARY_FIELDS)
        for (label, n), c in cells_of(meta, runs).items():
            modes = " | ".join(f"{m.median!r} {m.share:.3f}" for m in c.modes)
            out.writerow([label, n, 4 * n * n, level(n, meta["machine"]["caches"]), c.runs,
                          c.failed, c.busy, _number(c.busy_excess), c.quiet, _number(c.estimate),
                          _number(c.lower),
                          _number(c.upper), modes, _number(c.mode), _number(c.timer_share),
                          _number(c.step_share), c.marks, _number(c.bound), c.limit,
                          _number(c.efficiency)])


def _number(x):
    return "" if x is None else repr(x)


def _quote(text):
    """A gnuplot string literal holding text exactly: single quotes, doubled inside."""
    return "'" + str(text).replace("'", "''") + "'"


PLOT_PACKAGE = "gnuplot-nox"


def plot(path, meta, runs):
    """Draws the curves into path; returns None, or why there is no plot."""
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        return f"gnuplot is not installed (Debian: apt-get install {PLOT_PACKAGE}, or tools/install-deps)"
    cells = cells_of(meta, runs)
    if not any(c.estimate for c in cells.values()):
        return "nothing to draw: no run succeeded"
    caches = meta["machine"]["caches"]
    sizes = [4 * n * n for n in meta["sizes"]]
    smallest = min(sizes) / 1.5
    largest = max(sizes + [size for _, size in caches]) * 1.5
    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "sweep.dat")
        with open(data, "w") as f:
            for label in meta["labels"]:
                f.write("# program\n")
                for n in meta["sizes"]:
                    c = cells[label, n]
                    if c.estimate:
                        low, high = (c.lower, c.upper) if c.lower else (c.estimate, c.estimate)
                        f.write(f"{4 * n * n} {c.estimate!r} {1 if '!' in c.marks else 0} "
                                f"{low!r} {high!r} {c.bound if c.bound else 'NaN'}\n")
                f.write("\n\n")
        part = path + ".part"
        script = [
            "set terminal pngcairo noenhanced size 1100,650 font ',10'",
            f"set output {_quote(part)}",
            "set logscale x 2",
            f"set xrange [{smallest}:{largest}]",
            "set xtics (" + ", ".join(f"'{human(4 ** k)}' {4 ** k}" for k in range(20)
                                      if smallest <= 4 ** k <= largest) + ")",
            "set xlabel 'matrix size (bytes)'",
            "set ylabel 'median counter cycles per element'",
            "set logscale y",
            "set grid ytics",
            "set key outside right top",
            "set title " + _quote("sumbench: cost of summing an n x n float matrix (bars: 95% "
                                  "intervals; dashed: each order's bound; open circles: timer "
                                  "cost > 5% of a call)"),
        ]
        for name, size in caches:
            script.append(f"set arrow from {size}, graph 0 to {size}, graph 1 nohead dt 2 lc 'gray40'")
            script.append(f"set label {_quote(name + ' ' + human(size))} at {size}, graph 0.97 right "
                          "offset -0.5,0 tc 'gray30'")
        colours = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2"]
        curves = []
        for i, label in enumerate(meta["labels"]):
            colour = colours[i % len(colours)]
            curves.append(f"{_quote(data)} index {i} using 1:2 with lines lw 2 lc rgb '{colour}' "
                          f"title {_quote(label)}")
            curves.append(f"{_quote(data)} index {i} using 1:2:4:5 with yerrorbars pt 7 ps 0.5 "
                          f"lc rgb '{colour}' notitle")
            curves.append(f"{_quote(data)} index {i} using 1:6 with lines dt 2 lw 1.5 "
                          f"lc rgb '{colour}' notitle")
        curves.append(f"{_quote(data)} using 1:($3 > 0 ? $2 : 1/0) with points pt 6 ps 1.6 "
                      "lc 'black' notitle")
        script.append("plot " + ", \\\n     ".join(curves))
        done = subprocess.run([gnuplot], input="\n".join(script) + "\n", capture_output=True,
                              text=True)
        if done.returncode != 0 or not os.path.exists(part):
            if os.path.exists(part):
                os.remove(part)
            why = (done.stderr.strip().splitlines() or ["no message"])[-1]
            return f"gnuplot failed: {why}"
        os.replace(part, path)
    return None


def compare(meta_a, runs_a, meta_b, runs_b):
    """Lines comparing the estimates of every program and n in both sweeps."""
    cells_a, cells_b = cells_of(meta_a, runs_a), cells_of(meta_b, runs_b)
    rows = [["program", "n", "A", "B", "B / A", ""]]
    for label in meta_a["labels"]:
        for n in meta_a["sizes"]:
            a, b = cells_a.get((label, n)), cells_b.get((label, n))
            if b is None:
                continue
            if not a.estimate or not b.estimate:
                rows.append([label, str(n), cell_text(a), cell_text(b), "-", ""])
                continue
            overlap = summary.overlap(a, b)
            verdict = {True: "", False: "differs", None: "no interval"}[overlap]
            rows.append([label, str(n), cell_text(a), cell_text(b), f"{b.estimate / a.estimate:.3f}",
                         verdict])
    if len(rows) == 1:
        return ["compare: the two sweeps have no program and n in common"]
    lines = format_table(rows) + ["differs: the two 95% intervals do not overlap; where they do, "
                                  "the difference is within the noise of the sweeps"]
    if any(row[-1] == "no interval" for row in rows):
        lines.append("no interval: too few runs in either sweep for a 95% interval")
    return lines
