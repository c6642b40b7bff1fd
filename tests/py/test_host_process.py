"""The module as a guest in someone else's process.

Each case here once took the interpreter down or froze it: an allocator that
interposed on the host's, a fork that left the pool without threads, threads
the system would not start, callers racing setThreads, a daemon thread still
masking at exit. Whatever crashed or hung runs in a subprocess with a
timeout, so a regression fails the test instead of the run.
"""
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

import morvo_rs

TIMEOUT = 240  # generous: the suite also runs under the sanitizers


def run_script(source, timeout=TIMEOUT):
    """Runs source in a fresh interpreter; returns the finished process."""
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True,
                              text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the script hung (killed after {timeout} s); stderr: {expired.stderr!r}")


def succeeds(source, timeout=TIMEOUT):
    done = run_script(source, timeout)
    assert done.returncode == 0, f"exit {done.returncode}\nstdout: {done.stdout}\nstderr: {done.stderr}"
    return done.stdout


# ---- the allocator -------------------------------------------------------

@pytest.mark.parametrize("library, use", [
    ("numpy", "numpy.arange(10**6).sum(); numpy.random.default_rng(1).random((300, 300)).sum()"),
    ("pandas", "pandas.DataFrame({'a': range(10**5), 'b': ['x'] * 10**5}).groupby('b').sum()"),
    ("pyarrow", "pyarrow.array(['a', None, 'c'] * 10**5).dictionary_encode().to_pylist()"),
])
def test_host_libraries_load_and_work_after_masking(library, use):
    pytest.importorskip(library)
    succeeds(f"""
        import decimal, morvo_rs
        morvo_rs.setThreads(2)
        m = morvo_rs.Masker(bytes(32), "number", {{"decimals": 2}})
        m.maskColumn([decimal.Decimal(i) / 7 for i in range(3000)])
        morvo_rs.maskChunk([morvo_rs.Masker(bytes(32), "hash", {{}}), None], [(str(i), i) for i in range(3000)])
        import {library}
        {use}
        import gc; gc.collect()
    """)


ALLOCATOR_NAMES = re.compile(r"^(malloc|free|calloc|realloc|posix_memalign|aligned_alloc|memalign|valloc"
                             r"|pvalloc|malloc_usable_size|_Zn[wa]\w*|_Zd[la]\w*)$")
SYSTEM_LIBRARIES = re.compile(r"/(libc|libm|libstdc\+\+|libgcc_s|ld-linux[\w-]*|libpthread|libdl|librt)\.so")


def dynamic_symbols(path):
    listed = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True, check=True)
    return {line.split()[-1] for line in listed.stdout.splitlines() if line.strip()}


def test_nothing_loaded_with_the_module_interposes_on_the_host_allocator():
    module = morvo_rs.__file__
    # The module itself exports its entry point and nothing else.
    assert dynamic_symbols(module) == {"PyInit_morvo_rs"}
    linked = subprocess.run(["ldd", module], capture_output=True, text=True, check=True).stdout
    paths = re.findall(r"=> (/\S+)", linked)
    ours = [p for p in paths if not SYSTEM_LIBRARIES.search(p)]
    offenders = {p: sorted(s for s in dynamic_symbols(p) if ALLOCATOR_NAMES.match(s)) for p in ours}
    assert not any(offenders.values()), offenders


# ---- fork ----------------------------------------------------------------

FORK_SETUP = """
    import os, morvo_rs
    key = morvo_rs.Masker(bytes(32), "key", {})
    digits = morvo_rs.Masker(bytes(range(32)), "digits", {})
    # Both calls are large enough to free their outputs on a thread of their
    # own, which may still run when the process forks.
    column = [f"AB-{i:05}" for i in range(5000)]
    rows = [(str(i), i, f"+1 555 {i:07}") for i in range(2000)]
    def work():
        return key.maskColumn(column), morvo_rs.maskChunk([key, key, digits], rows)
    morvo_rs.setThreads(2)
    expected = work()
"""


def test_fork_child_and_parent_keep_masking_with_the_pool():
    succeeds(FORK_SETUP + """
    fresh = [morvo_rs.Masker(bytes(32), "key", {})]  # an empty cache: the child must really mask
    pid = os.fork()
    if pid == 0:
        ok = morvo_rs.threads() == 2 and work() == expected and fresh[0].maskColumn(column) == expected[0]
        morvo_rs.setThreads(2)
        ok = ok and work() == expected
        os._exit(0 if ok else 3)
    assert work() == expected and morvo_rs.threads() == 2
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, status
    """)


def test_multiprocessing_pool_with_fork_equals_one_call():
    succeeds(FORK_SETUP + """
    import multiprocessing
    def chunk(part):
        return morvo_rs.maskChunk([key, key, digits], part)[0]
    parts = [rows[i:i + 500] for i in range(0, len(rows), 500)]
    with multiprocessing.get_context("fork").Pool(2) as workers:
        masked = [row for part in workers.map(chunk, parts) for row in part]
    assert masked == expected[1][0]
    """)


# ---- threads that cannot be started --------------------------------------

@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit allows")
def test_threads_refused_by_the_system_raise_and_the_module_recovers():
    out = succeeds("""
        import resource, morvo_rs
        key = morvo_rs.Masker(bytes(32), "key", {})
        column = list(range(10**8, 10**8 + 5000))
        expected = key.maskColumn(column)
        morvo_rs.setThreads(10**6)
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (160 << 20), hard))
        failures = []
        for _ in range(20):
            try:
                morvo_rs.Masker(bytes(range(32)), "key", {}).maskColumn(column)
            except RuntimeError as error:
                failures.append(str(error))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert failures, "no thread was refused"
        assert all(f.startswith("could not start 65535 masking threads: ") for f in failures), failures
        assert morvo_rs.Masker(bytes(32), "key", {}).maskColumn(column) == expected
        print("refused", len(failures))
    """)
    assert out.startswith("refused")



@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit allows")
def test_outputs_are_freed_in_place_when_no_thread_can_start():
    # Large columns and chunks free their outputs on a thread of their own;
    # without one the call still succeeds.
    out = succeeds("""
        import resource, threading, morvo_rs
        key = morvo_rs.Masker(bytes(32), "key", {})
        column = [f"AB-{i:06}" for i in range(6000)]
        rows = [(value,) for value in column]
        # Slices small enough to be freed in place: no thread has run, so
        # none has left a stack behind for the next to reuse.
        expected = [v for i in range(0, len(column), 3000) for v in key.maskColumn(column[i:i + 3000])[0]], {}
        expected_rows = [(value,) for value in expected[0]]
        with open("/proc/self/statm") as f:
            size = int(f.read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (size + (7 << 20), hard))  # no room for a thread's stack
        try:
            threading.Thread(target=lambda: None).start()
            refused = False
        except RuntimeError:
            refused = True
        ok = refused and all(key.maskColumn(column) == expected for _ in range(3))
        ok = ok and morvo_rs.maskChunk([key], rows)[0] == expected_rows
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("masked" if ok else "differed")
    """)
    assert out.startswith("masked")

# ---- callers racing setThreads --------------------------------------------

@pytest.mark.parametrize("big", [10**6, 65535])
def test_callers_racing_set_threads_all_finish(big):
    succeeds(f"""
        import threading, time, morvo_rs
        m = morvo_rs.Masker(bytes(32), "hash", {{}})
        column = [str(i) for i in range(3000)]
        expected = m.maskColumn(column)
        stop = threading.Event()
        wrong, calls = [], [0] * 8
        def caller(k):
            while not stop.is_set():
                if m.maskColumn(column) != expected:
                    wrong.append(k)
                calls[k] += 1
        def switcher():
            n = 0
            while not stop.is_set():
                morvo_rs.setThreads((2, {big})[n % 2])
                n += 1
                time.sleep(0.003)
        threads = [threading.Thread(target=caller, args=(k,)) for k in range(8)]
        threads.append(threading.Thread(target=switcher))
        for t in threads:
            t.start()
        time.sleep(4)
        stop.set()
        for t in threads:
            t.join(60)
        assert not any(t.is_alive() for t in threads), "a caller never finished"
        assert not wrong and all(calls), (wrong, calls)
    """)


# ---- exit while masking ---------------------------------------------------

def test_exit_while_a_daemon_thread_masks_is_quiet():
    done = run_script("""
        import threading, time, morvo_rs
        m = morvo_rs.Masker(bytes(32), "digits", {})
        heap = [[str(i)] * 10 for i in range(200000)]  # a large heap to tear down
        def mask():
            while True:
                m.maskColumn(["1" * 100_000])
        threading.Thread(target=mask, daemon=True).start()
        time.sleep(0.1)
    """)
    assert done.returncode == 0 and "terminate" not in done.stderr, (done.returncode, done.stderr)


# ---- input that runs Python code while it is read -------------------------

def test_column_kinds_holds_each_row_while_a_collection_empties_rows():
    succeeds("""
        import gc, morvo_rs
        rows = [(i,) for i in range(1000)]
        junk = []
        class Cycle:
            def __init__(self):
                self.me = self
            def __del__(self):
                rows.clear()
                junk.extend((str(i) * 3,) for i in range(500))
        Cycle()
        gc.set_threshold(1)
        result = morvo_rs.columnKinds(rows)
        gc.set_threshold(700)
        assert result in (None, ([[int]], [True])), result
    """)


class LyingLength(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


class LyingTuple(tuple):
    def __len__(self):
        return 2**62


class Iterable:
    """Not a list: iterated, with a __len__ that is only a hint."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


@pytest.mark.parametrize("make", [
    lambda v: LyingLength(v, 2**62),
    lambda v: LyingLength(v, sys.maxsize),
    lambda v: LyingLength(v, 0),
    lambda v: LyingLength(v, ValueError("no length")),
    lambda v: LyingTuple(v),
    lambda v: Iterable(v, 2**62),
    lambda v: Iterable(v, 0),
    lambda v: Iterable(v, TypeError("no length")),
], ids=["list-huge", "list-maxsize", "list-zero", "list-raises", "tuple-huge", "iter-huge", "iter-zero",
        "iter-raises"])
def test_a_lying_length_is_only_a_hint(make):
    m = morvo_rs.Masker(bytes(32), "hash", {})
    values = [str(i) for i in range(300)]
    assert m.maskColumn(make(values)) == m.maskColumn(values)
    rows = [(v, i) for i, v in enumerate(values)]
    assert morvo_rs.maskChunk([m, None], make(rows)) == morvo_rs.maskChunk([m, None], rows)


def test_a_column_emptied_by_a_hook_while_read_ends_the_read_early():
    class Clears(float):
        def __repr__(self):
            column.clear()
            return "2.0"

    m = morvo_rs.Masker(bytes(32), "number", {})
    column = [1.0, Clears(2.0), 3.0, 4.0]
    masked, problems = m.maskColumn(column)
    assert masked == m.maskColumn([1.0, 2.0])[0] and not problems


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_an_interrupt_in_a_hook_propagates(interrupt):
    class Big(int):
        def bit_length(self):
            raise interrupt()

    class Sly:
        @property
        def __class__(self):
            raise interrupt()

    with pytest.raises(interrupt):
        morvo_rs.Masker(bytes(32), "key", {}).maskColumn([1, Big(2**100)])
    with pytest.raises(interrupt):
        morvo_rs.Masker(bytes(32), "number", {}).maskColumn([1.5, Sly()])
    with pytest.raises(interrupt):
        morvo_rs.maskChunk([morvo_rs.Masker(bytes(32), "key", {})], Iterable([(1,)], interrupt()))
    # An ordinary Exception in the same hooks still makes the value a fallback.

    class Odd(int):
        def bit_length(self):
            raise ValueError("odd")

    assert morvo_rs.Masker(bytes(32), "key", {}).maskColumn([Odd(2**100)]) == ([None], {0: morvo_rs.FALLBACK})


def test_an_int_whose_bit_length_lies_is_unread_without_allocating_the_lie():
    class Lying(int):
        def bit_length(self):
            return 1 << 33  # 1 GiB of to_bytes, were it believed

    class Short(int):
        def bit_length(self):
            return 3

    m = morvo_rs.Masker(bytes(32), "key", {})
    assert m.maskColumn([Lying(2**100), Short(2**100)]) == ([None, None], {0: morvo_rs.FALLBACK, 1: morvo_rs.FALLBACK})
    assert m.maskColumn([Lying(5)])[0] == m.maskColumn([5])[0]  # small ints never ask


def test_list_subclasses_as_word_lists_and_maskers_are_iterated():
    class Words(list):
        def __iter__(self):
            return iter(["Zed"])

    lists = {"firstNames": Words(["Ann", "Bob"]), "lastNames": ["Smith"], "cities": ["Oslo"], "streets": ["Elm"],
             "streetKinds": ["Road"], "companySuffixes": ["Ltd"], "companyWords": ["Acme"]}
    masked, _ = morvo_rs.Masker(bytes(32), "fakeFirstName", lists).maskColumn([f"n{i}" for i in range(50)])
    assert set(masked) == {"Zed"}

    m = morvo_rs.Masker(bytes(32), "hash", {})

    class Maskers(list):
        def __iter__(self):
            return iter([m, None])

    rows = [("a", 1), ("b", 2)]
    assert morvo_rs.maskChunk(Maskers(), rows) == morvo_rs.maskChunk([m, None], rows)


def test_huge_integer_keys_are_not_cached_and_answers_do_not_change():
    probe_dir = os.environ.get("MORVO_PROBE_DIR")
    if not probe_dir or not pathlib.Path(probe_dir).is_dir():
        pytest.skip("the cache probe is built by the C++ test build")
    cache_probe = pytest.importorskip("cache_probe")
    words = {"firstNames": ["Ann", "Bob", "Cy"], "lastNames": ["Smith"], "cities": ["Oslo"], "streets": ["Elm"],
             "streetKinds": ["Road"], "companySuffixes": ["Ltd"], "companyWords": ["Acme"]}
    m = morvo_rs.Masker(bytes(32), "fakeFirstName", words)
    huge = [10**5000 + i for i in range(200)]
    small = list(range(200))
    first = m.maskColumn(huge + small)
    assert cache_probe.cacheSize(m) == 200  # the small ones only
    assert m.maskColumn(huge + small) == first
    assert morvo_rs.Masker(bytes(32), "fakeFirstName", words).maskColumn(huge + small) == first


def test_the_cache_stops_at_its_limit_and_its_answers_are_the_masker_s():
    probe_dir = os.environ.get("MORVO_PROBE_DIR")
    if not probe_dir or not pathlib.Path(probe_dir).is_dir():
        pytest.skip("the cache probe is built by the C++ test build")
    cache_probe = pytest.importorskip("cache_probe")
    m = morvo_rs.Masker(bytes(32), "key", {})
    # Filled in two calls, the second passing the limit of 65,536 answers.
    m.maskColumn([f"A{i:06}" for i in range(40000)])
    assert cache_probe.cacheSize(m) == 40000
    m.maskColumn([f"B{i:06}" for i in range(40000)])
    assert cache_probe.cacheSize(m) == 65536
    # Answers from the cache (and past it) are a fresh masker's.
    column = [f"A{i:06}" for i in range(0, 40000, 7)] + [f"B{i:06}" for i in range(0, 40000, 7)] + ["C1", "A000001"]
    assert m.maskColumn(column) == morvo_rs.Masker(bytes(32), "key", {}).maskColumn(column)
    assert cache_probe.cacheSize(m) == 65536
