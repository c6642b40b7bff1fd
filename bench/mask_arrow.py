"""The Arrow path against the Python-object path.

    python bench/mask_arrow.py [--rows N] [--repeat R]

maskArray against maskColumn on N distinct texts (hash) and integers (key),
and maskBatch against maskChunk on the demo's kind of table, each with 1 and 2
threads and fresh maskers (empty caches); then the share of a maskBatch call
that holds the GIL, measured as bench/mask_chunk.py measures it for maskChunk.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

import pyarrow as pa  # noqa: E402

import demo  # noqa: E402
from mask_chunk import gil_free_share  # noqa: E402
from mask_column import best  # noqa: E402
import morvo_arrow  # noqa: E402
import morvo_rs  # noqa: E402


def row(name, seconds, rows, base):
    print(f"{name:<40}{seconds:>8.2f}{rows / seconds:>14,.0f}{base / seconds:>10.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n = args.rows

    texts = [f"customer-{i:09}" for i in range(n)]
    numbers = list(range(10**8, 10**8 + n))
    text_array, number_array = pa.array(texts), pa.array(numbers, pa.int64())
    table_rows = list(demo.generate(n))
    batch = pa.record_batch([pa.array(c) for c in zip(*table_rows)], names=demo.COLUMNS)
    table_rows = [tuple(r.values()) for r in batch.to_pylist()]  # the values as the batch holds them

    def fresh(strategy):
        return morvo_rs.Masker(bytes(range(32)), strategy, {})

    print(f"{n:,} values or rows; seconds (best of {args.repeat}), per second, speed-up over the first line")
    for title, column, array, strategy in (("hash, distinct texts", texts, text_array, "hash"),
                                           ("key, distinct 9-digit integers", numbers, number_array, "key")):
        print(f"\n{title:<40}{'s':>8}{'per s':>14}{'speed-up':>10}")
        base = None
        for threads in (1, 2):
            morvo_rs.setThreads(threads)
            for name, call in ((f"maskColumn, {threads} thread(s)", lambda: fresh(strategy).maskColumn(column)),
                               (f"maskArray, {threads} thread(s)",
                                lambda: morvo_arrow.maskArray(fresh(strategy), array))):
                low, _ = best(call, args.repeat)
                base = base or low
                row(name, low, n, base)

    print(f"\n{'the demo table, 6 masked columns':<40}{'s':>8}{'rows/s':>14}{'speed-up':>10}")
    base = None
    for threads in (1, 2):
        morvo_rs.setThreads(threads)
        for name, call in ((f"maskChunk, {threads} thread(s)",
                            lambda: morvo_rs.maskChunk(demo.policy(demo.DEMO_MASTER_KEY), table_rows)),
                           (f"maskBatch, {threads} thread(s)",
                            lambda: morvo_arrow.maskBatch(demo.policy(demo.DEMO_MASTER_KEY), batch))):
            low, _ = best(call, args.repeat)
            base = base or low
            row(name, low, n, base)
    for threads in (1, 2):
        morvo_rs.setThreads(threads)
        free, elapsed = gil_free_share(lambda: morvo_arrow.maskBatch(demo.policy(demo.DEMO_MASTER_KEY), batch))
        print(f"GIL held during maskBatch, {threads} thread(s): {1 - free:.1%} of {elapsed:.2f} s")
    morvo_rs.setThreads(1)


if __name__ == "__main__":
    main()
