"""The least cost of each order of additions on this machine, in counter cycles
per element: from the order alone and the machine's parameters, as the probe
measured them at the start of the sweep (all in counter cycles):

  scalar_add_latency, vector_add_latency   one add of a dependent chain
  scalar_add_throughput, vector_add_throughput   one add from L1 among
                                           independent ones (they share the
                                           add pipes, so they add up)
  read_l1, read_l2, read_l3, read_memory   one float of a streaming read from
                                           the level that holds the matrix

A kernel can go no faster than its longest dependent chain, its additions
through the add pipes, or its bytes through the level that holds the matrix;
its bound is the largest of the three, and the limit that binds is named.
Each model returns (bound, limit), or (None, why) where these parameters do
not bound the kernel honestly.
"""

import dataclasses


@dataclasses.dataclass
class Parts:
    """What an order asks of the machine for the whole matrix."""

    chain: float  # counter cycles of its longest dependent chain
    scalar_adds: int
    vector_adds: int


LIMITS = {"chain": "the longest dependent chain of additions",
          "adds": "the additions through the add pipes",
          "bytes": "the bytes through the level that holds the matrix"}


def read_cost(n, caches, p):
    """Counter cycles per float of reading the matrix from the level that holds it."""
    size = 4 * n * n
    for name, capacity in caches:
        if size <= capacity:
            return p.get(f"read_{name.lower()}")
    return p.get("read_memory")


def bound(parts, n, caches, p):
    elements = n * n
    candidates = {
        "chain": parts.chain / elements,
        "adds": (parts.scalar_adds * p["scalar_add_throughput"] +
                 parts.vector_adds * p["vector_add_throughput"]) / elements,
        "bytes": read_cost(n, caches, p),
    }
    limit = max((k for k, v in candidates.items() if v is not None), key=candidates.get)
    return candidates[limit], limit


# One chain through every element, in memory order: n*n scalar latencies.
def row_order(n, caches, p):
    return bound(Parts(n * n * p["scalar_add_latency"], n * n, 0), n, caches, p)


# The same one chain; but a column order beyond L1 fetches a new cache line
# per element, which the hardware prefetcher follows at a stride of 4n bytes
# or not: no streaming bandwidth describes that, so no bound is shown.
def column_order(n, caches, p):
    if not caches or 4 * n * n > caches[0][1]:
        return None, "the column order beyond L1: a cache line per element"
    return row_order(n, caches, p)


# Six chains of n*(m/6) over the whole blocks, one chain S of n*(n - m) over
# the leftover columns, and S takes the six after both: the longer of the
# two, plus the fold of six.
def rows6_order(n, caches, p):
    m = n // 6 * 6
    chain = (max(n * (m // 6), n * (n - m)) + 6) * p["scalar_add_latency"]
    return bound(Parts(chain, n * n, 0), n, caches, p)


# Assumes rows that start on a 32-byte boundary (q = 0): each row is n // 16
# steps into A and B, two chains of n * (n // 16) 256-bit adds, and a
# remainder k = n % 16 into S: k scalar adds, or for k >= 8 an eight-lane add,
# the three levels of H and k - 8 scalar adds. Below n = 16 it is the row order.
def vector_order(n, caches, p):
    if n < 16:
        return row_order(n, caches, p)
    steps, k = n // 16, n % 16
    lv, ls = p["vector_add_latency"], p["scalar_add_latency"]
    per_row_s = k * ls if k < 8 else (1 + 3) * lv + (k - 8) * ls
    chain_ab = n * steps * lv
    chain_s = n * per_row_s
    # The last step of A and B, and S, meet in H(A + B) + S.
    chain = max(chain_ab + 4 * lv, chain_s + ls)
    vector_adds = n * (2 * steps + (1 if k >= 8 else 0))
    scalar_adds = n * (k if k < 8 else k - 8)
    return bound(Parts(chain, scalar_adds, vector_adds), n, caches, p)


MODELS = {"row_order": row_order, "column_order": column_order, "rows6_order": rows6_order,
          "vector_order": vector_order}

NEEDS = ("scalar_add_latency", "vector_add_latency", "scalar_add_throughput",
         "vector_add_throughput", "read_l1", "read_memory")


def of(order, n, caches, parameters):
    """(bound, limit) for an order at n, or (None, why not)."""
    model = MODELS.get(order)
    if model is None:
        return None, f"no bound model of {order or 'this program'}"
    if not parameters or any(parameters.get(k) is None for k in NEEDS):
        return None, "the machine's parameters were not measured"
    return model(n, caches, parameters)
