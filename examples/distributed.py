"""Masks a Parquet dataset on a Dask cluster with morvo_dask.

Writes a generated table of the demo's shape (ids, names, e-mail addresses,
phone numbers, Decimal amounts, cities, carried notes) as several Parquet
files, masks it by the demo's policy on a LocalCluster of worker processes
(or on an existing cluster), and writes the masked table as Parquet.

    python examples/distributed.py [--rows N] [--files N] [--workers N] [--scheduler ADDRESS] [--out DIR]

Against an existing cluster (`dask scheduler`, and `dask worker ADDRESS
--nthreads 1` on each machine), the scheduler and every worker need the
morvo_rs distribution installed (the scheduler unpickles the task graph,
policy included), and the workers must see the --out directory at the same
path (a shared file system).
"""
import argparse
import hashlib
import hmac
import importlib.util
import os
import sys
import time

# This file's name would hide the distributed package from its own
# directory: take that off the path, and load the demo by its file.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != HERE]

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

_spec = importlib.util.spec_from_file_location("demo", os.path.join(HERE, "demo.py"))
demo = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(demo)

try:
    import morvo_dask
except ImportError:  # the source tree, before the wheel is installed
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
    import morvo_dask

STRATEGIES = {  # the demo's policy; "note" is not named, so it is carried through
    "id": ("key", {}),
    "name": ("fakeName", "words"),
    "email": ("email", {"keepDomain": False}),
    "phone": ("digits", {"keepLeading": 3}),
    "amount": ("number", {"decimals": 2, "variance": "0.2"}),
    "city": ("fakeCity", "words"),
}


def policy(master):
    """Column -> (subkey, strategy, options): this, subkeys and all, is what
    the workers get; each builds its maskers from it once."""
    words = {"firstNames": demo.FIRST, "lastNames": demo.LAST, "cities": demo.CITIES, "streets": demo.STREETS,
             "streetKinds": demo.STREET_KINDS, "companySuffixes": ["AS"], "companyWords": ["Demo"]}
    return {column: (demo.derive_subkey(master, column), strategy, words if options == "words" else options)
            for column, (strategy, options) in STRATEGIES.items()}


def email_fallback(master):
    """The e-mail addresses the engine hands back (those that are not
    ASCII), finished in Python as the demo finishes them. A closure made
    here pickles by value, so the workers need not import this file."""
    key = demo.derive_subkey(master, "email")

    def finish(value):
        return "py-" + hmac.new(key, repr(value).encode(), hashlib.sha256).hexdigest()[:12]
    return finish


def generate(rows, start=0, seed=7):
    """Rows start .. start + rows of the table, as an Arrow table."""
    rng = np.random.default_rng([seed, start])
    i = np.arange(start, start + rows)
    first = pa.array(demo.FIRST).take(rng.integers(0, len(demo.FIRST), rows))
    last = pa.array(demo.LAST).take(rng.integers(0, len(demo.LAST), rows))
    local = pc.utf8_lower(pc.binary_join_element_wise(first, last, "."))
    # A few addresses are not ASCII: the engine hands those back as FALLBACK.
    local = pc.if_else(pa.array(i % 97 == 0), pc.binary_join_element_wise(local, "ø", ""), local)
    cents = rng.integers(100, 10**7, rows)
    unscaled = np.stack([cents, np.zeros(rows, np.int64)], axis=1)  # 128-bit little-endian, positive
    return pa.table({
        "id": pa.array(100000 + i),
        "name": pc.binary_join_element_wise(first, last, " "),
        "email": pc.binary_join_element_wise(local, pa.array(i.astype(str)), "@mail.example.com", ""),
        "phone": pc.binary_join_element_wise("+47 ", pa.array(rng.integers(10**7, 10**8, rows).astype(str)), ""),
        "amount": pa.Array.from_buffers(pa.decimal128(12, 2), rows, [None, pa.py_buffer(unscaled)]),
        "city": pa.array(demo.CITIES).take(rng.integers(0, len(demo.CITIES), rows)),
        "note": pc.binary_join_element_wise("note ", pa.array(rng.integers(0, 1000, rows).astype(str)), ""),
    })


def write_input(directory, rows, files):
    os.makedirs(directory, exist_ok=True)
    for name in os.listdir(directory):
        if name.endswith(".parquet"):
            os.remove(os.path.join(directory, name))
    step = -(-rows // files)
    for k, start in enumerate(range(0, rows, step)):
        pq.write_table(generate(min(step, rows - start), start), os.path.join(directory, f"part-{k:03d}.parquet"))


def client_for(args):
    from distributed import Client, LocalCluster
    if args.scheduler:
        return Client(args.scheduler), None
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0")
    return Client(cluster), cluster


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--files", type=int, default=8, help="Parquet files written, one partition each")
    parser.add_argument("--workers", type=int, default=2, help="worker processes of the LocalCluster")
    parser.add_argument("--scheduler", help="address of an existing cluster's scheduler, instead of a LocalCluster")
    parser.add_argument("--out", default=os.path.join(demo.OUT_DIR, "distributed"))
    parser.add_argument("--master-key", help="64 hexadecimal digits; the demo's fixed key by default")
    args = parser.parse_args(argv)
    master = bytes.fromhex(args.master_key) if args.master_key else demo.DEMO_MASTER_KEY
    if len(master) != 32:
        parser.error("the master key is 32 bytes (64 hexadecimal digits)")

    import dask.dataframe as dd

    source, target = os.path.join(args.out, "input"), os.path.join(args.out, "masked")
    t0 = time.perf_counter()
    write_input(source, args.rows, args.files)
    print(f"wrote {args.rows:,} rows as {args.files} Parquet files into {source} "
          f"({time.perf_counter() - t0:.1f} s)")

    client, cluster = client_for(args)
    try:
        workers = len(client.scheduler_info()["workers"])
        frame = dd.read_parquet(source, dtype_backend="pyarrow")
        masked = morvo_dask.maskFrame(frame, policy(master), fallbacks={"email": email_fallback(master)})
        started = time.perf_counter()
        masked.to_parquet(target, write_index=False, overwrite=True)
        elapsed = time.perf_counter() - started
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    written = pq.ParquetDataset(target)
    rows = sum(fragment.count_rows() for fragment in written.fragments)
    print(f"masked {rows:,} rows in {frame.npartitions} partitions on {workers} workers into {target}")
    print(f"{elapsed:.2f} s, {rows / elapsed:,.0f} rows/s (Parquet read, masked and written)")
    before, after = pq.read_table(source).slice(0, 3).to_pylist(), written.read().slice(0, 3).to_pylist()
    print("first rows:")
    for original, row in zip(before, after):
        print("  ", tuple(original.values())[:6], "->", tuple(row.values())[:6])
    return 0


if __name__ == "__main__":
    sys.exit(main())
