"""The order of the benchmark runs: the process is the unit of measurement.

Rounds are outermost, so that a busy spell of the machine, tens of seconds
long, spoils a few runs of many cells rather than every run of a few. Each
round visits every size once, in an order shuffled from the seed, and every
program at that size one after the other, so that programs compared at one n
see the machine in the same state; their order turns by one place from round
to round and from size to size, so that each program takes each place
equally often over as many rounds as there are programs.
"""

import random


def plan(labels, sizes, rounds, seed):
    """[(round, n, label)] in the order to run them; the same for the same seed."""
    rng = random.Random(seed)
    order = list(labels)
    rng.shuffle(order)
    runs = []
    for round_ in range(1, rounds + 1):
        visit = list(sizes)
        rng.shuffle(visit)
        for n in visit:
            turn = (round_ + sizes.index(n)) % len(order)
            runs += [(round_, n, label) for label in order[turn:] + order[:turn]]
    return runs
