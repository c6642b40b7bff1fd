"""End-to-end benchmark of maskChunk on the demo's kind of table.

    python bench/mask_chunk.py [--rows N] [--repeat R]

Masks N rows with 1 and 2 threads, and the same chunk column by column with
maskColumn, each with fresh maskers (empty caches). It then measures how much
of a maskChunk call holds the GIL: a second Python thread naps in short
sleeps while the chunk is masked, and the time it waits for the GIL on
waking is the time the call held it.
"""
import argparse
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

import demo  # noqa: E402
from mask_column import best  # noqa: E402
import morvo_rs  # noqa: E402


def by_columns(maskers, rows):
    columns = list(zip(*rows))
    return [m.maskColumn(c) if m is not None else (list(c), {}) for m, c in zip(maskers, columns)]


def gil_free_share(call):
    """The share of call() during which the GIL was free, and the call's time.

    A second thread sleeps in short naps; waking from one, it must take the
    GIL back, so the time it waits beyond its nap is time the call held the
    GIL. (A thread that counts instead would compete with the call for the
    core and read as the GIL held.)
    """
    nap = 0.0002
    held = [0.0]
    stop = threading.Event()

    def sleeper():
        while not stop.is_set():
            start = time.perf_counter()
            time.sleep(nap)
            late = time.perf_counter() - start - nap
            if late > 0.0005:  # beyond the scheduler's own jitter
                held[0] += late

    thread = threading.Thread(target=sleeper)
    thread.start()
    time.sleep(0.05)
    held[0] = 0.0
    start = time.perf_counter()
    result = call()
    elapsed = time.perf_counter() - start
    taken = held[0]
    stop.set()
    thread.join()
    del result  # freed after the clock stops, as in best()
    return max(0.0, 1 - taken / elapsed), elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rows = list(demo.generate(args.rows))
    print(f"{args.rows:,} rows of {len(demo.COLUMNS)} columns ({sum(m is not None for m in demo.policy(bytes(32)))} masked)")
    print(f"{'call':<34}{'best s':>8}{'worst s':>9}{'rows/s':>12}{'speed-up':>10}")
    base = None
    for threads in (1, 2):
        morvo_rs.setThreads(threads)
        for name, call in (("maskChunk", lambda: morvo_rs.maskChunk(demo.policy(demo.DEMO_MASTER_KEY), rows)),
                           ("maskColumn per column", lambda: by_columns(demo.policy(demo.DEMO_MASTER_KEY), rows))):
            low, high = best(call, args.repeat)
            base = base or low
            print(f"{name + f', {threads} thread(s)':<34}{low:>8.2f}{high:>9.2f}{args.rows / low:>12,.0f}"
                  f"{base / low:>10.2f}")
    for threads in (1, 2):
        morvo_rs.setThreads(threads)
        free, elapsed = gil_free_share(lambda: morvo_rs.maskChunk(demo.policy(demo.DEMO_MASTER_KEY), rows))
        print(f"GIL held during maskChunk, {threads} thread(s): {1 - free:.0%} of {elapsed:.2f} s")
    morvo_rs.setThreads(1)


if __name__ == "__main__":
    main()
