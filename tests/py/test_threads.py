"""setThreads, threads and availableCores."""
import glob
import os

import pytest

import morvo_rs


def test_no_pool_after_import_means_one_thread():
    assert morvo_rs.threads() == 1


@pytest.mark.parametrize("count, expected", [(4, 4), (2, 2), (1, 1), (70000, 65535)])
def test_set_threads(count, expected):
    assert morvo_rs.setThreads(count) is None
    assert morvo_rs.threads() == expected


def test_zero_is_refused_and_changes_nothing():
    morvo_rs.setThreads(3)
    with pytest.raises(ValueError, match="^threads must be at least 1$"):
        morvo_rs.setThreads(0)
    assert morvo_rs.threads() == 3


@pytest.mark.parametrize("value, error", [(-1, OverflowError), (2**64, OverflowError), ("2", TypeError),
                                          (2.0, TypeError), (None, TypeError)])
def test_bad_counts_raise_the_conversion_error_with_a_note(value, error):
    with pytest.raises(error) as raised:
        morvo_rs.setThreads(value)
    assert raised.value.__notes__ == ["while processing 'threads'"]
    assert "at least 1" not in str(raised.value)


def test_keyword_argument():
    morvo_rs.setThreads(threads=2)
    assert morvo_rs.threads() == 2


def test_available_cores_is_positive_and_bounded_by_affinity():
    cores = morvo_rs.availableCores()
    assert 1 <= cores <= len(os.sched_getaffinity(0))


def thread_names():
    names = set()
    for path in glob.glob("/proc/self/task/*/comm"):
        try:
            with open(path) as f:
                names.add(f.read().strip())
        except OSError:
            pass
    return names


def test_workers_are_named_and_used():
    morvo_rs.setThreads(2)
    masker = morvo_rs.Masker(bytes(32), "hash", {})
    masker.maskColumn([str(i) for i in range(50000)])
    names = thread_names()
    assert {"morvo-mask-0", "morvo-mask-1"} & names
