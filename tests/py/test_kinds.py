"""columnKinds: exact types per column and the 64-bit fit flag."""
import pytest

import morvo_rs

NoneType = type(None)


class Sub(int):
    pass


@pytest.mark.parametrize("rows, expected", [
    ([], ([], [])),
    ([(), ()], ([], [])),
    ([(1,), ()], None),
    (((1,),), None),
    ([[1]], None),
    ("ab", None),
    ([(1, "a"), (True, None), (2**63, "b")], ([[int, bool], [str, NoneType]], [False, True])),
    ([(-2**63,), (2**63 - 1,)], ([[int]], [True])),
    ([(-1,)], ([[int]], [True])),
    ([(-2**63 - 1,), (5,)], ([[int]], [False])),
    ([(Sub(2**70),)], ([[Sub]], [True])),
    ([(1.5, b"x"), (2, b"y")], ([[float, int], [bytes]], [True, True])),
])
def test_column_kinds(rows, expected):
    assert morvo_rs.columnKinds(rows) == expected


def test_keyword_and_list_subclass():
    class Rows(list):
        pass

    assert morvo_rs.columnKinds(rows=Rows([(1,)])) == ([[int]], [True])
