"""morvo_dask on a LocalCluster against morvo_arrow.maskBatch in one process.

    python bench/mask_dask.py [--rows N] [--files N] [--repeat R]

The table and policy of examples/distributed.py, N rows in F Parquet files
(one partition each). Timed, best of R runs:

- maskBatch over the files' record batches in this process, 1 and 2 threads
  (the FALLBACKs left unfinished);
- maskFrame on the whole table as one pandas DataFrame in this process, 1
  thread (Arrow conversions and the fallbacks included);
- maskFrame on a Dask DataFrame already held in the workers' memory
  (persisted), 1 and 2 worker processes of 1 thread: the masking and the
  scheduling, without the file system;
- the same from Parquet files to Parquet files, as the example runs it.
"""
import argparse
import importlib.util
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
_spec = importlib.util.spec_from_file_location("distributed_example", os.path.join(ROOT, "examples", "distributed.py"))
example = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(example)

import pandas as pd  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import morvo_arrow  # noqa: E402
import morvo_rs  # noqa: E402

morvo_dask = example.morvo_dask


def best(call, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=8)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster, wait
    import dask.dataframe as dd

    out = os.path.join(ROOT, "out", "bench_distributed")
    source = os.path.join(out, "input")
    example.write_input(source, args.rows, args.files)
    master = example.demo.DEMO_MASTER_KEY
    policy = example.policy(master)
    fallbacks = {"email": example.email_fallback(master)}
    files = sorted(os.path.join(source, f) for f in os.listdir(source) if f.endswith(".parquet"))
    tables = [pq.read_table(f) for f in files]
    names = tables[0].column_names
    rows = sum(t.num_rows for t in tables)

    results = []

    def report(name, seconds, base=None):
        results.append((name, seconds))
        ratio = "" if base is None else f"{seconds / base:>10.2f}"
        print(f"{name:<52}{seconds:>8.2f}{rows / seconds:>12,.0f}{ratio}", flush=True)

    print(f"{rows:,} rows, {len(files)} files; {'':<24}seconds      rows/s  vs maskBatch")
    batch_seconds = {}
    for threads in (1, 2):
        morvo_rs.setThreads(threads)

        def mask_batches():
            maskers = [morvo_rs.Masker(*policy[c]) if c in policy else None for c in names]
            for table in tables:
                for batch in table.to_batches():
                    morvo_arrow.maskBatch(maskers, batch)
        batch_seconds[threads] = best(mask_batches, args.repeat)
        report(f"maskBatch, one process, {threads} thread(s)", batch_seconds[threads])
    morvo_rs.setThreads(1)

    frame = pd.concat([t.to_pandas(types_mapper=pd.ArrowDtype) for t in tables], ignore_index=True)

    def mask_pandas():
        morvo_dask._cache.clear()  # fresh maskers, as above
        morvo_dask.maskFrame(frame, policy, fallbacks=fallbacks)
    report("maskFrame, pandas, one process, 1 thread", best(mask_pandas, args.repeat), batch_seconds[1])
    del frame

    for workers in (1, 2):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster, \
                Client(cluster) as client:
            held = dd.read_parquet(source, dtype_backend="pyarrow").persist()
            wait(held)

            def mask_held():
                client.run(lambda: morvo_dask._cache.clear())
                wait(morvo_dask.maskFrame(held, policy, fallbacks=fallbacks).persist())
            report(f"maskFrame, Dask, {workers} worker(s), in memory", best(mask_held, args.repeat),
                   batch_seconds[workers])

            def parquet_to_parquet():
                client.run(lambda: morvo_dask._cache.clear())
                masked = morvo_dask.maskFrame(dd.read_parquet(source, dtype_backend="pyarrow"), policy,
                                              fallbacks=fallbacks)
                masked.to_parquet(os.path.join(out, "masked"), write_index=False, overwrite=True)
            report(f"maskFrame, Dask, {workers} worker(s), Parquet to Parquet", best(parquet_to_parquet, args.repeat),
                   batch_seconds[workers])
    return 0


if __name__ == "__main__":
    sys.exit(main())
