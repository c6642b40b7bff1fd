"""End-to-end benchmark of maskChunk on the demo's kind of table.

    python bench/mask_chunk.py [--rows N] [--repeat R]

Masks N rows with 1 and 2 threads, and the same chunk column by column with
maskColumn, each with fresh maskers (empty caches). It then measures how much
of a maskChunk call holds the GIL: a second Python thread counts while the
chunk is masked, and the share of its usual progress that it makes is the
share of the call during which the GIL was free.
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


def gil_free_share(call, seconds=0.3):
    """The share of call() during which a counting thread could run, and its time."""
    counter = [0]
    running = threading.Event()
    stop = threading.Event()

    def count():
        running.set()
        n = 0
        while not stop.is_set():
            n += 1
            counter[0] = n

    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)  # hand the GIL back quickly once the call wants it
    try:
        thread = threading.Thread(target=count)
        thread.start()
        running.wait()
        begin = counter[0]
        time.sleep(seconds)  # the counter alone: its rate
        rate = (counter[0] - begin) / seconds
        begin, start = counter[0], time.perf_counter()
        call()
        elapsed = time.perf_counter() - start
        progress = counter[0] - begin
        stop.set()
        thread.join()
    finally:
        sys.setswitchinterval(previous)
    return min(1.0, progress / (rate * elapsed)), elapsed


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
