"""maskChunk: whole chunks, identical to masking column by column."""
import decimal

import pytest

import morvo_rs
from conftest import WORDS

D = decimal.Decimal
Masker = morvo_rs.Masker


def policy():
    key = bytes(range(32))
    return [
        Masker(key, "key", {}),
        None,
        Masker(key, "fakeName", WORDS),
        Masker(key, "email", {}),
        Masker(key, "number", {"decimals": 2}),
        Masker(key, "digits", {"keepLeading": 1}),
    ]


def table(n):
    return [(i, f"free text {i}", f"Person {i % 700}", f"user{i}@Example.com", D(i) / 100 + D("0.01"),
             f"+44 20 {i:04d}") for i in range(n)]


def by_columns(maskers, rows):
    """What maskChunk must equal: maskColumn per masked column, problems in row order."""
    columns = list(zip(*rows)) if rows else [()] * len(maskers)
    out_columns, problems = [], []
    for j, masker in enumerate(maskers):
        if masker is None:
            out_columns.append(list(columns[j]))
            continue
        masked, column_problems = masker.maskColumn(columns[j])
        out_columns.append(masked)
        problems += [(j, r, marker) for r, marker in column_problems.items()]
    problems.sort(key=lambda p: (p[1], p[0]))
    return [tuple(row) for row in zip(*out_columns)], problems


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_chunk_equals_columns(threads):
    rows = table(3000) + [(True, None, 5, 7, "x", "é"), (None, 1, None, None, None, None)]
    expected = by_columns(policy(), rows)
    morvo_rs.setThreads(threads)
    assert morvo_rs.maskChunk(policy(), rows) == expected
    assert morvo_rs.maskChunk(tuple(policy()), iter(rows)) == expected


def test_rows_as_lists_tuples_and_generators():
    rows = table(10)
    expected = morvo_rs.maskChunk(policy(), rows)
    assert morvo_rs.maskChunk(policy(), [list(r) for r in rows]) == expected
    assert morvo_rs.maskChunk(policy(), (iter(r) for r in rows)) == expected


def test_carried_items_are_the_same_objects():
    item = object()
    rows, problems = morvo_rs.maskChunk([None, Masker(bytes(32), "hash", {})], [(item, "a")])
    assert rows[0][0] is item and problems == []


def test_rows_that_cannot_form_cycles_are_left_to_no_collection():
    import gc
    import weakref

    class Node:
        pass

    # strs and ints only: Decimals are tracked themselves from Python 3.13 on
    key = bytes(range(32))
    maskers = [Masker(key, "key", {}), None, Masker(key, "email", {})]
    rows = [(i, f"free text {i}", f"user{i}@Example.com") for i in range(50)]
    node = Node()  # carried through: it can take part in a cycle
    rows[7] = (7, node, "user7@Example.com")
    masked, _ = morvo_rs.maskChunk(maskers, rows)
    assert [gc.is_tracked(row) for row in masked] == [i == 7 for i in range(50)]
    # The cycle through the row that holds the node is still collected.
    node.row = masked[7]
    alive = weakref.ref(node)
    del masked, node, rows
    gc.collect()
    assert alive() is None


def test_empty_chunks():
    assert morvo_rs.maskChunk(policy(), []) == ([], [])
    assert morvo_rs.maskChunk([], [(), ()]) == ([(), ()], [])
    assert morvo_rs.maskChunk([None, None], [[1, 2]]) == ([(1, 2)], [])


def test_problems_are_in_row_order_then_column_order():
    key = bytes(range(32))
    maskers = [Masker(key, "key", {}), Masker(key, "key", {})]
    rows, problems = morvo_rs.maskChunk(maskers, [("ok", b"x"), (b"y", "ok"), (True, True)])
    refused = ("refused", "the key strategy cannot mask a bool")
    assert problems == [(1, 0, "fallback"), (0, 1, "fallback"), (0, 2, refused), (1, 2, refused)]
    assert rows[0][1] is None and rows[1][0] is None


def test_a_row_of_the_wrong_width_fails_the_call():
    with pytest.raises(ValueError, match=r"^the policy covers 6 column\(s\) and a row has 2$"):
        morvo_rs.maskChunk(policy(), table(3) + [(1, 2)])


@pytest.mark.parametrize("maskers, message", [
    ("ab", None),
    (5, "'int' object is not an instance of 'Sequence'"),
    ([None, "key"], "'str' object is not an instance of 'Masker'"),
    ([object()], "'object' object is not an instance of 'Masker'"),
])
def test_bad_maskers(maskers, message):
    with pytest.raises(TypeError) as raised:
        morvo_rs.maskChunk(maskers, [])
    assert raised.value.__notes__ == ["while processing 'maskers'"]
    if message:
        assert str(raised.value) == message


def test_hostile_rows():
    def broken():
        yield (1,)
        raise RuntimeError("rows broke")

    masker = [Masker(bytes(32), "hash", {})]
    with pytest.raises(RuntimeError, match="rows broke"):
        morvo_rs.maskChunk(masker, broken())
    with pytest.raises(TypeError):
        morvo_rs.maskChunk(masker, [5])
    with pytest.raises(TypeError):
        morvo_rs.maskChunk(masker, 5)
    with pytest.raises(UnicodeEncodeError):
        morvo_rs.maskChunk(masker, [("\udc80",)])


def test_rows_list_shrinking_while_read():
    class Shrinker(int):
        def bit_length(self):
            rows.clear()
            return int.bit_length(self)

    rows = [("a",), (Shrinker(2**80),), ("b",)]
    out, _ = morvo_rs.maskChunk([Masker(bytes(32), "hash", {})], rows)
    assert len(out) == 2


def test_a_masker_shared_by_two_columns():
    masker = Masker(bytes(32), "key", {})
    morvo_rs.setThreads(2)
    rows = [(f"a{i}", f"a{i}") for i in range(1000)]
    out, _ = morvo_rs.maskChunk([masker, masker], rows)
    assert all(a == b for a, b in out)


def test_masker_subclasses_are_accepted():
    class Mine(Masker):
        pass

    mine = Mine(bytes(32), "hash", {})
    assert morvo_rs.maskChunk([mine], [("a",)]) == morvo_rs.maskChunk([Masker(bytes(32), "hash", {})], [("a",)])
