"""morvo_arrow: Arrow arrays and batches masked as maskColumn and maskChunk
would mask the same values.

The reference for every case is morvo_rs itself on the array's Python values,
carried into the Arrow type the way the module documents: an answer the type
cannot hold (an integer beyond the width, a decimal beyond precision or scale,
a float beyond float32) becomes a FALLBACK.
"""
import decimal
import math
import re
import struct

import pytest
from hypothesis import given, settings, strategies as st

import morvo_rs

pa = pytest.importorskip("pyarrow")
morvo_arrow = pytest.importorskip("morvo_arrow")

WORDS = {"firstNames": ["Ann", "Bob", "Cy"], "lastNames": ["Smith", "Jones"], "cities": ["Oslo", "Lima"],
         "streets": ["Elm", "Oak"], "streetKinds": ["Road", "Lane"], "companySuffixes": ["Ltd"],
         "companyWords": ["Acme", "Globex"]}
MASKERS = {
    "key": ("key", {}),
    "fpe": ("fpe", {}),
    "hash": ("hash", {"length": 10}),
    "email": ("email", {}),
    "digits": ("digits", {"keepLeading": 1}),
    "number": ("number", {}),
    "number2": ("number", {"decimals": 2, "variance": "0.5"}),
    "bounded": ("number", {"min": "-50", "max": "5000", "decimals": 1}),
    "fakeName": ("fakeName", WORDS),
    "fakeCity": ("fakeCity", WORDS),
}


def masker(name):
    strategy, options = MASKERS[name]
    return morvo_rs.Masker(bytes(range(32)), strategy, options)


def fits(value, type_):
    if value is None:
        return True
    if pa.types.is_integer(type_):
        info = (type_.bit_width, pa.types.is_signed_integer(type_))
        low, high = (-(1 << (info[0] - 1)), (1 << (info[0] - 1)) - 1) if info[1] else (0, (1 << info[0]) - 1)
        return isinstance(value, int) and low <= value <= high
    if pa.types.is_decimal(type_):
        quantum = decimal.Decimal(1).scaleb(-type_.scale)
        with decimal.localcontext() as context:
            context.prec = 200
            exact = value.quantize(quantum)
            return exact == value and len(exact.as_tuple().digits) <= type_.precision
    if type_ == pa.float32():
        return not math.isfinite(value) or math.isfinite(struct.unpack("f", struct.pack("f", value))[0]) \
            if abs(value) < 3.5e38 else False
    return True


TEXT_STRATEGIES = {"hash", "email", "fakeName", "fakeCity"}


def masked_type(name, type_):
    """The documented type of a masked column."""
    if MASKERS[name][0] in TEXT_STRATEGIES:
        return pa.large_string() if type_ == pa.large_string() else pa.string()
    return type_


def expected(m, array):
    """(values, problems) as maskColumn gives them, carried into the masked type."""
    values, problems = m.maskColumn(array.to_pylist())
    type_ = array.type.value_type if pa.types.is_dictionary(array.type) else array.type
    text = m is not None and any(isinstance(v, str) for v in values)
    for p, v in enumerate(values):
        if not text and not fits(v, type_):
            values[p], problems[p] = None, morvo_rs.FALLBACK
    if type_ == pa.float32():
        values = [None if v is None else struct.unpack("f", struct.pack("f", v))[0] for v in values]
    return values, dict(sorted(problems.items()))


def mask(m, array):
    out, problems = morvo_arrow.maskArray(m, array)
    result = pa.array(out)
    assert len(result) == len(array)
    return result, problems


def check(name, array):
    m = masker(name)
    result, problems = mask(m, array)
    assert (result.to_pylist(), problems) == expected(m, array), (name, array.type)
    type_ = array.type.value_type if pa.types.is_dictionary(array.type) else array.type
    assert (result.type.value_type if pa.types.is_dictionary(result.type) else result.type) == masked_type(name, type_)
    return result


TEXTS = st.lists(st.one_of(st.none(), st.text(max_size=20), st.from_regex(r"[A-Z]{2}-[0-9]{3,9}", fullmatch=True),
                           st.emails(), st.text(alphabet="0123456789 +-", min_size=1, max_size=15)), max_size=40)


@settings(max_examples=40)
@given(values=TEXTS, name=st.sampled_from(sorted(MASKERS)),
       type_=st.sampled_from([pa.string(), pa.large_string(), pa.string_view()]))
def test_texts_mask_as_their_python_values(values, name, type_):
    check(name, pa.array(values, type_))


INT_TYPES = [pa.int8(), pa.int16(), pa.int32(), pa.int64(), pa.uint8(), pa.uint16(), pa.uint32(), pa.uint64()]


@st.composite
def int_arrays(draw):
    type_ = draw(st.sampled_from(INT_TYPES))
    bits, signed = type_.bit_width, pa.types.is_signed_integer(type_)
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    values = draw(st.lists(st.one_of(st.none(), st.integers(low, high), st.sampled_from([low, high, 0])),
                           max_size=40))
    return pa.array(values, type_)


@settings(max_examples=60)
@given(array=int_arrays(), name=st.sampled_from(sorted(MASKERS)))
def test_integers_of_every_width_mask_as_their_python_values(array, name):
    check(name, array)


@settings(max_examples=60)
@given(values=st.lists(st.one_of(st.none(), st.floats(allow_nan=True, allow_infinity=True),
                                 st.floats(min_value=-1e6, max_value=1e6)), max_size=30),
       name=st.sampled_from(["number", "number2", "bounded", "key", "hash"]),
       type_=st.sampled_from([pa.float64(), pa.float32()]))
def test_floats_mask_as_their_python_values(values, name, type_):
    if type_ == pa.float32():
        values = [v if v is None or not math.isfinite(v) or abs(v) < 3e38 else None for v in values]
    check(name, pa.array(values, type_))


@st.composite
def decimal_arrays(draw):
    wide = draw(st.booleans())
    precision = draw(st.integers(1, 76 if wide else 38))
    scale = draw(st.integers(-3, precision))  # pyarrow reads no scale beyond the precision
    digits = st.integers(-(10**precision - 1), 10**precision - 1)
    unscaled = draw(st.lists(st.one_of(st.none(), digits, st.just(0)), max_size=25))
    type_ = (pa.decimal256 if wide else pa.decimal128)(precision, scale)
    # Built from its buffers (two's complement, little-endian), so that every
    # scale, negative ones included, arrives exactly as drawn.
    width = 32 if wide else 16
    data = b"".join((d or 0).to_bytes(width, "little", signed=True) for d in unscaled)
    validity = bytes(sum(1 << k for k in range(8) if i + k < len(unscaled) and unscaled[i + k] is not None)
                     for i in range(0, len(unscaled), 8))
    return pa.Array.from_buffers(type_, len(unscaled), [pa.py_buffer(validity), pa.py_buffer(data)])


@settings(max_examples=60)
@given(array=decimal_arrays(), name=st.sampled_from(["number", "number2", "bounded", "key", "hash"]))
def test_decimals_of_any_precision_and_scale_mask_as_their_python_values(array, name):
    check(name, array)


@pytest.mark.parametrize("name", ["key", "digits", "hash", "number"])
def test_bools_and_nulls(name):
    check(name, pa.array([True, None, False]))
    check(name, pa.array([None, None], pa.null()))


def test_slices_and_offsets_are_honoured():
    m = masker("key")
    base = pa.array([f"AB-{i:04}" if i % 5 else None for i in range(100)])
    for start, length in [(0, 100), (7, 50), (99, 1), (30, 0)]:
        part = base.slice(start, length)
        assert check("key", part).to_pylist() == m.maskColumn(part.to_pylist())[0]
    numbers = pa.array(list(range(-50, 50)), pa.int16()).slice(13, 40)
    check("digits", numbers)


def test_a_dictionary_is_masked_once_and_stays_encoded():
    values = pa.array(["x", "y", None, "x", "z", "y"] * 50).dictionary_encode()
    result = check("hash", values)
    assert pa.types.is_dictionary(result.type) and len(result.dictionary) == len(values.dictionary)
    assert result.indices.to_pylist() == values.indices.to_pylist()
    # Entries that become problems make their positions null and problems.
    codes = pa.DictionaryArray.from_arrays(pa.array([0, 1, 1, None, 0], pa.int8()), pa.array(["Ann@x.org", "é"]))
    check("email", codes)
    check("hash", codes.slice(1, 3))


def test_mask_batch_equals_mask_chunk_and_carries_columns_without_a_copy():
    values = [(f"AB-{i:05}", f"n{i}" if i % 7 else None, i * 1.5 if i % 3 else None, decimal.Decimal(i) / 4,
               f"note {i}") for i in range(600)]
    names = ["id", "name", "amount", "price", "note"]
    batch = pa.record_batch([pa.array(c) for c in zip(*values)], names=names)
    rows = [tuple(r.values()) for r in batch.to_pylist()]  # the decimals as the batch holds them
    maskers = [masker("key"), masker("fakeName"), masker("number"), masker("number2"), None]
    for threads in (1, 2):
        morvo_rs.setThreads(threads)
        out, problems = morvo_arrow.maskBatch(maskers, batch)
        result = pa.record_batch(out)
        chunk_rows, chunk_problems = morvo_rs.maskChunk(maskers, rows)
        assert result.schema.names == names
        assert [tuple(r.values()) for r in result.to_pylist()] == chunk_rows
        assert problems == chunk_problems
    assert result.column(4).buffers()[2].address == batch.column(4).buffers()[2].address
    # A slice of a batch, and a batch of carried columns only.
    part = batch.slice(100, 50)
    out, _ = morvo_arrow.maskBatch(maskers, part)
    assert [tuple(r.values()) for r in pa.record_batch(out).to_pylist()] == morvo_rs.maskChunk(maskers, rows[100:150])[0]
    out, problems = morvo_arrow.maskBatch([None] * 5, part)
    assert pa.record_batch(out).equals(part) and problems == []


def test_problems_in_a_batch_come_in_row_then_column_order():
    batch = pa.record_batch({"a": pa.array(["ok", "é", "ok2"]), "b": pa.array(["é", "fine", "é"])})
    m = masker("key")
    _, problems = morvo_arrow.maskBatch([m, m], batch)
    assert problems == morvo_rs.maskChunk([m, m], [("ok", "é"), ("é", "fine"), ("ok2", "é")])[1]
    assert [(c, r) for c, r, _ in problems] == [(1, 0), (0, 1), (1, 2)]


def test_a_masked_array_exports_as_often_as_asked():
    out, _ = morvo_arrow.maskArray(masker("hash"), pa.array(["a", None, "b"]))
    first, second = pa.array(out), pa.array(out)
    assert first.equals(second) and len(out) == 3
    assert pa.DataType._import_from_c_capsule(out.__arrow_c_schema__()) == pa.string()
    del out
    assert first.to_pylist() == second.to_pylist()


@pytest.mark.parametrize("array, named", [
    (pa.array([b"x"]), "z"),
    (pa.array([[1, 2]]), "+l"),
    (pa.array([1], pa.timestamp("s")), "tss:"),
    (pa.array([1.5], pa.float16()), "e"),
])
def test_other_types_raise_type_error_naming_the_type(array, named):
    with pytest.raises(TypeError, match=re.escape(f"'{named}'")):
        morvo_arrow.maskArray(masker("key"), array)
    batch = pa.record_batch({"a": array})
    with pytest.raises(TypeError, match=re.escape(f"'{named}'")):
        morvo_arrow.maskBatch([masker("key")], batch)
    out, _ = morvo_arrow.maskBatch([None], batch)  # carried, any type goes
    assert pa.record_batch(out).equals(batch)


def test_wrong_arguments():
    with pytest.raises(TypeError, match="not an instance of 'Masker'"):
        morvo_arrow.maskArray("key", pa.array([1]))
    with pytest.raises(TypeError, match="does not export an Arrow array"):
        morvo_arrow.maskArray(masker("key"), [1, 2])
    with pytest.raises(ValueError, match=r"the policy covers 1 column\(s\) and the batch has 2"):
        morvo_arrow.maskBatch([None], pa.record_batch({"a": [1], "b": [2]}))
    with pytest.raises(TypeError, match="not an instance of 'Masker'") as raised:
        morvo_arrow.maskBatch([None, 3], pa.record_batch({"a": [1], "b": [2]}))
    assert raised.value.__notes__ == ["while processing 'maskers'"]
    with pytest.raises(TypeError, match="struct array"):
        morvo_arrow.maskBatch([None], pa.array([1]))


def test_malformed_utf8_is_refused():
    data = pa.py_buffer(b"ok\xff\xfe")
    offsets = pa.py_buffer(struct.pack("3i", 0, 2, 4))
    bad = pa.Array.from_buffers(pa.string(), 2, [None, offsets, data])
    with pytest.raises(ValueError, match="UTF-8"):
        morvo_arrow.maskArray(masker("hash"), bad)


def test_floats_read_exactly_as_python_prints_them():
    # The number strategy hashes a float's repr: every layout of repr shows.
    values = [0.1, 1e16, 1e15, 123456789012345.6, 1e-5, 0.0001, 2.5e-308, 5e-324, 1.7976931348623157e308,
              -0.0, 1 / 3, 9007199254740993.0, 1e22, 1.5e300]
    check("number", pa.array(values))
    check("number2", pa.array(values))


class Exporter:
    """Hands maskArray and maskBatch whatever __arrow_c_array__ gives."""

    def __init__(self, make):
        self.make = make

    def __arrow_c_array__(self, requested_schema=None):
        return self.make()


def released_schema():
    schema, array = pa.array(["a"]).__arrow_c_array__()
    pa.DataType._import_from_c_capsule(schema)  # consumes it: its release is cleared
    return schema, array


def foreign_capsule():
    import ctypes
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.c_void_p(1), b"not_arrow", None), pa.array(["a"]).__arrow_c_array__()[1]


def raises():
    raise OSError("the producer failed")


def capsule_pointer(capsule, name):
    import ctypes
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name)


def overlong_struct():
    """A struct of 3 rows whose exported length claims 10: its columns cannot cover it."""
    import ctypes
    schema, array = pa.record_batch({"a": [1, 2, 3], "b": ["x", "y", "z"]}).__arrow_c_array__()
    ctypes.c_int64.from_address(capsule_pointer(array, b"arrow_array")).value = 10  # ArrowArray.length
    return schema, array


@pytest.mark.parametrize("make, error", [
    (released_schema, ValueError),
    (foreign_capsule, ValueError),
    (lambda: ("schema", "array"), ValueError),
    (lambda: (1, 2, 3), TypeError),
    (lambda: None, TypeError),
    (raises, OSError),
], ids=["released", "wrong-name", "not-capsules", "three", "none", "raising"])
def test_hostile_exporters_raise_and_never_crash(make, error):
    with pytest.raises(error):
        morvo_arrow.maskArray(masker("hash"), Exporter(make))
    with pytest.raises(error):
        morvo_arrow.maskBatch([masker("hash")], Exporter(make))


def test_a_batch_whose_columns_do_not_cover_its_rows_is_refused():
    with pytest.raises(ValueError, match="column 0 does not cover"):
        morvo_arrow.maskBatch([morvo_rs.Masker(bytes(32), "key", {}), None], Exporter(overlong_struct))


@pytest.mark.parametrize("threads", [2, 4])
def test_results_do_not_depend_on_the_thread_count(threads):
    batch = pa.record_batch({"id": [f"AB-{i:06}" for i in range(5000)], "n": list(range(5000)),
                             "f": [i / 7 for i in range(5000)]})
    maskers = [masker("key"), masker("digits"), masker("number2")]
    morvo_rs.setThreads(1)
    alone = [(pa.array(morvo_arrow.maskArray(m, batch.column(j))[0]), morvo_arrow.maskArray(m, batch.column(j))[1])
             for j, m in enumerate(maskers)]
    one = morvo_arrow.maskBatch(maskers, batch)
    morvo_rs.setThreads(threads)
    many = morvo_arrow.maskBatch(maskers, batch)
    assert pa.record_batch(one[0]).equals(pa.record_batch(many[0])) and one[1] == many[1]
    for j, m in enumerate(maskers):
        out, problems = morvo_arrow.maskArray(m, batch.column(j))
        assert pa.array(out).equals(alone[j][0]) and problems == alone[j][1]


def test_a_stream_of_chunks_comes_back_as_one_array():
    chunks = pa.chunked_array([["AB-1", None], [], ["CD-22", "é", "EF-333"]])
    check("key", chunks)
    check("digits", pa.chunked_array([pa.array([1, 2], pa.int32()), pa.array([None, 40], pa.int32())]))
    with pytest.raises(ValueError, match="one chunk at a time"):
        morvo_arrow.maskArray(masker("hash"), pa.chunked_array([pa.array(["a"]).dictionary_encode()] * 2))


def test_a_polars_series_masks_through_its_stream():
    pl = pytest.importorskip("polars")
    series = pl.Series("id", ["AB-1234", None, "CD-5678"])
    m = masker("key")
    masked, problems = morvo_arrow.maskArray(m, series)
    assert pl.Series("id", masked).to_list() == m.maskColumn(series.to_list())[0] and problems == {}
