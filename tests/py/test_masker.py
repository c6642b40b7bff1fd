"""Building maskers, their option readers and messages, and maskColumn."""
import pytest

import morvo_rs
from conftest import WORDS

Masker = morvo_rs.Masker


@pytest.mark.parametrize("subkey, strategy, options, error, message", [
    (b"k" * 31, "hash", {}, ValueError, "a subkey is 32 bytes"),
    (b"k" * 33, "hash", {}, ValueError, "a subkey is 32 bytes"),
    (bytearray(32), "hash", {}, TypeError, None),
    (b"k" * 32, b"hash", {}, TypeError, None),
    (b"k" * 32, "hash", [], TypeError, None),
    (b"k" * 32, "Key", {}, ValueError, 'no native masker for strategy "Key"'),
    (b"k" * 32, "redact", {}, ValueError, 'no native masker for strategy "redact"'),
    (b"k" * 32, "null", {}, ValueError, 'no native masker for strategy "null"'),
    (b"k" * 32, 'a"b\\c\n\t\x00\x07', {}, ValueError,
     'no native masker for strategy "a\\"b\\\\c\\n\\t\\0\\u{7}"'),
    (b"k" * 32, "key", {"charset": "base32"}, ValueError, 'unknown charset "base32"'),
    (b"k" * 32, "fpe", {"charset": 3}, TypeError, None),
    (b"k" * 32, "fpe", {"strict": 1}, TypeError, None),
    (b"k" * 32, "fpe", {"strict": None}, TypeError, None),
    (b"k" * 32, "hash", {"length": None}, TypeError, None),
    (b"k" * 32, "hash", {"length": -1}, OverflowError, None),
    (b"k" * 32, "hash", {"length": 2**64}, OverflowError, None),
    (b"k" * 32, "hash", {"length": 1.5}, TypeError, None),
    (b"k" * 32, "hash", {"prefix": None}, TypeError, None),
    (b"k" * 32, "email", {"keepDomain": "yes"}, TypeError, None),
    (b"k" * 32, "digits", {"keepLeading": "1"}, TypeError, None),
    (b"k" * 32, "number", {"decimals": 2**32}, OverflowError, None),
    (b"k" * 32, "number", {"min": 1}, TypeError, None),
    (b"k" * 32, "fakeCity", {}, ValueError, "fakeCity needs firstNames"),
    (b"k" * 32, "fakeCity", {**WORDS, "streets": "Elm"}, TypeError, None),
    (b"k" * 32, "fakeCity", {**WORDS, "streets": 5}, TypeError, None),
    (b"k" * 32, "fakeCity", {**WORDS, "streets": ["Elm", 5]}, TypeError, None),
    (b"k" * 32, "fakeName", {k: v for k, v in WORDS.items() if k != "companyWords"},
     ValueError, "fakeName needs companyWords"),
])
def test_construction_errors(subkey, strategy, options, error, message):
    with pytest.raises(error) as raised:
        Masker(subkey, strategy, options)
    if message is not None:
        assert str(raised.value) == message


def test_argument_type_errors_carry_a_note():
    with pytest.raises(TypeError) as raised:
        Masker(bytearray(32), "hash", {})
    assert "while processing 'subkey'" in raised.value.__notes__
    with pytest.raises(OverflowError) as raised:
        Masker(b"k" * 32, "hash", {"length": -1})
    assert raised.value.__notes__ == ["while processing 'length'"]


def test_unicode_strategy_names_with_lone_surrogates_raise_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        Masker(b"k" * 32, "k\udc80", {})


def test_options_are_read_in_order_and_only_for_the_strategy():
    # "length" is ignored by key; the first failing option of hash is length.
    Masker(b"k" * 32, "key", {"length": "nonsense"})
    with pytest.raises(TypeError) as raised:
        Masker(b"k" * 32, "hash", {"length": "x", "prefix": 5})
    assert raised.value.__notes__ == ["while processing 'length'"]


def test_none_is_absent_for_optional_options():
    masker = Masker(b"k" * 32, "number", {"decimals": None, "min": None, "max": None, "variance": None})
    assert masker.maskColumn([None]) == ([None], {})


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def test_counts_accept_index_and_propagate_its_errors():
    a = Masker(b"k" * 32, "hash", {"length": Index(7)})
    b = Masker(b"k" * 32, "hash", {"length": 7})
    assert a.maskColumn(["x"]) == b.maskColumn(["x"])
    with pytest.raises(KeyError):
        Masker(b"k" * 32, "hash", {"length": Index(KeyError("boom"))})


class FakeNumpyBool:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"
NumpyBool = type("bool_", (FakeNumpyBool,), {"__module__": "numpy"})


class NoBool:
    pass


def test_flags_accept_numpy_bools_by_module_and_name():
    strict = Masker(b"k" * 32, "fpe", {"strict": NumpyBool(True)})
    assert strict.maskColumn([12345])[1] == Masker(b"k" * 32, "fpe", {"strict": True}).maskColumn([12345])[1]
    numpy_without_bool = type("bool_", (), {"__module__": "numpy"})
    with pytest.raises(TypeError, match="__bool__"):
        Masker(b"k" * 32, "fpe", {"strict": numpy_without_bool()})
    not_numpy = type("bool_", (FakeNumpyBool,), {"__module__": "mylib"})
    with pytest.raises(TypeError):
        Masker(b"k" * 32, "fpe", {"strict": not_numpy(True)})


def test_dict_subclasses_and_str_subclasses_are_accepted():
    class Options(dict):
        pass

    class Name(str):
        pass

    masker = Masker(b"k" * 32, Name("hash"), Options(length=4))
    assert len(masker.maskColumn(["a"])[0][0]) == 4


class TestMaskColumn:
    def masker(self):
        return Masker(b"k" * 32, "hash", {"length": 8})

    def test_empty(self):
        assert self.masker().maskColumn([]) == ([], {})

    def test_lists_tuples_and_iterators_agree(self):
        values = ["a", 1, None, "b"]
        masker = self.masker()
        expected = masker.maskColumn(values)
        assert masker.maskColumn(tuple(values)) == expected
        assert masker.maskColumn(v for v in values) == expected
        assert masker.maskColumn(iter(values)) == expected

    def test_problems_are_keyed_by_position_in_order(self):
        masker = Masker(b"k" * 32, "key", {})
        masked, problems = masker.maskColumn(["ok", b"bytes", True, "é", 5])
        assert masked[1:4] == [None, None, None]
        assert list(problems) == [1, 2, 3]
        assert problems[1] == morvo_rs.FALLBACK
        assert problems[2] == (morvo_rs.REFUSED, "the key strategy cannot mask a bool")
        assert problems[3] == "fallback"
        assert isinstance(masked[0], str) and isinstance(masked[4], int)

    def test_a_list_that_shrinks_while_read_ends_the_read(self):
        class Shrinker(int):
            # Reading an int beyond 64 bits calls bit_length, which runs this.
            def bit_length(self):
                values.clear()
                return int.bit_length(self)

        values = ["a", Shrinker(2**70), "b", "c"]
        masked, problems = self.masker().maskColumn(values)
        assert len(masked) == 2 and problems == {}
        assert masked[1] == self.masker().maskColumn([2**70])[0][0]

    def test_an_iterator_that_raises_midway_raises(self):
        def values():
            yield "a"
            raise RuntimeError("midway")

        with pytest.raises(RuntimeError, match="midway"):
            self.masker().maskColumn(values())

    def test_non_iterables_raise(self):
        with pytest.raises(TypeError):
            self.masker().maskColumn(5)

    def test_a_lone_surrogate_fails_the_whole_call(self):
        with pytest.raises(UnicodeEncodeError):
            self.masker().maskColumn(["fine", "bad\udc80"])


class ShrinkOnLength(list):
    """A list whose length query empties it."""

    def __len__(self):
        n = list.__len__(self)
        self.clear()
        return n


def test_a_list_is_read_to_its_own_size_whatever_its_length_query_does():
    masker = Masker(b"k" * 32, "hash", {})
    values = ShrinkOnLength(["a", "b", "c"])
    assert masker.maskColumn(values) == masker.maskColumn(["a", "b", "c"])
