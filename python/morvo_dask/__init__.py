"""Masking pandas and Dask DataFrames by a policy, with morvo_rs maskers.

    masked = morvo_dask.maskFrame(frame, policy, fallbacks={"email": finish})

`policy` maps a column name to `(subkey, strategy, options)`, the arguments
of `morvo_rs.Masker`; the columns it does not name are carried through as
they are. A pandas DataFrame is masked at once and a pandas DataFrame comes
back; a Dask DataFrame is masked lazily, partition by partition, and a Dask
DataFrame comes back. Each partition goes to `morvo_arrow.maskBatch` in its
Arrow form, and every masked column comes back Arrow-backed
(`pd.ArrowDtype` of the masked Arrow type: text for `hash`, `email` and the
fake strategies, the input's own type for `key`, `fpe`, `digits` and
`number`). The result equals masking the whole table in one process with
`morvo_rs.maskChunk`, row for row, whatever the partitions and workers.

Maskers hold their keys natively and are never pickled: the policy itself,
subkeys included, is what travels to the scheduler and the workers, inside
the task graph (both need this package installed to unpickle it).
Every worker process builds its maskers once per policy and keeps them in a
small module-level cache keyed by a SHA-256 digest of the canonical form of
the policy. Send the graph over channels you would trust with the subkeys
(a scheduler and workers of your own, TLS between them where the network
is shared).

Problems: a value the engine hands back as FALLBACK is finished by the
caller's function for its column (`fallbacks={"col": fn}`, `fn(value)`
returns the masked value, or None for null); a column without one raises
`ValueError` (see `noFallback`), so nothing passes unmasked silently. A
REFUSED value raises `ValueError` naming the column, the row's index label
(and for Dask the partition) and the engine's message. Neither message
holds the value itself.
"""
from __future__ import annotations

import collections
import hashlib
import sys
import threading
from collections.abc import Callable, Hashable, Mapping, Sequence
from typing import Any, TypeVar, cast

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc

import morvo_arrow
import morvo_rs

__all__ = ["maskFrame", "noFallback", "policyDigest"]

Policy = Mapping[Hashable, tuple[bytes, str, Mapping[str, Any]]]
Fallback = Callable[[Any], Any]
Frame = TypeVar("Frame")


def noFallback(value: Any) -> Any:
    """The fallback of a column that `fallbacks` does not name: raises.

    The engine could not mask the value (a FALLBACK: say, an e-mail address
    that is not ASCII); rather than letting it through, the whole masking
    fails with `ValueError` naming the column and row.
    """
    raise ValueError("the engine does not mask this value, and the column has no fallback")


# ---- the policy ----------------------------------------------------------


def _canonical(value: Any, out: list[str]) -> None:
    # A text that two equal policies always give alike, whatever the order
    # of their dictionaries or the kind of their sequences.
    if value is None or isinstance(value, (bool, int, float, str, bytes)):
        out.append(f"{type(value).__name__}:{value!r};")
    elif isinstance(value, Mapping):
        items = []
        for key, item in value.items():
            parts: list[str] = []
            _canonical(key, parts)
            _canonical(item, parts)
            items.append("".join(parts))
        out.append(f"map{len(items)}[" + "".join(sorted(items)) + "]")
    elif isinstance(value, (list, tuple)):
        out.append(f"seq{len(value)}[")
        for item in value:
            _canonical(item, out)
        out.append("]")
    else:
        kind = type(value)
        out.append(f"{kind.__module__}.{kind.__qualname__}:{value!r};")


def _frozen(value: Any) -> Any:
    # A copy that later changes to the caller's lists and dictionaries do not
    # reach: dictionaries stay dictionaries, sequences become tuples (which
    # every option taking a sequence accepts).
    if isinstance(value, Mapping):
        return {key: _frozen(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return tuple(_frozen(item) for item in value)
    return value


class _Policy:
    """A policy as it travels: frozen, with the digest it is cached under."""

    __slots__ = ("columns", "digest")

    def __init__(self, policy: Policy) -> None:
        if not isinstance(policy, Mapping):
            raise TypeError(f"the policy must be a mapping of column -> (subkey, strategy, options), "
                            f"not {type(policy).__name__}")
        columns = {}
        for column, entry in policy.items():
            if not isinstance(entry, Sequence) or isinstance(entry, (str, bytes)) or len(entry) != 3:
                raise TypeError(f"the policy of column {column!r} must be (subkey, strategy, options)")
            subkey, strategy, options = entry
            if not isinstance(subkey, (bytes, bytearray, memoryview)):
                raise TypeError(f"the subkey of column {column!r} must be bytes, not {type(subkey).__name__}")
            if not isinstance(options, Mapping):
                raise TypeError(f"the options of column {column!r} must be a mapping")
            columns[column] = (bytes(subkey), strategy, _frozen(options))
        self.columns: dict[Hashable, tuple[bytes, str, dict[str, Any]]] = columns
        parts: list[str] = []
        _canonical(columns, parts)
        self.digest = hashlib.sha256("".join(parts).encode()).hexdigest()

    def __getstate__(self) -> tuple[Any, str]:
        return self.columns, self.digest

    def __setstate__(self, state: tuple[Any, str]) -> None:
        self.columns, self.digest = state

    def __dask_tokenize__(self) -> tuple[str, str]:
        return ("morvo_dask.policy", self.digest)


def policyDigest(policy: Policy) -> str:
    """The hexadecimal SHA-256 digest under which workers cache the policy's
    maskers: equal for equal policies, whatever the order of their columns
    and options and whether their sequences are lists or tuples."""
    return _Policy(policy).digest


# Policy digest -> {column: Masker}, most recently used last. A handful of
# policies at a time is the common case; older ones are dropped with their
# keys.
_CACHE_SIZE = 8
_cache: collections.OrderedDict[str, dict[Hashable, morvo_rs.Masker]] = collections.OrderedDict()
_cacheLock = threading.Lock()
_built = 0  # policies built into maskers by this process


def _maskers(policy: _Policy) -> dict[Hashable, morvo_rs.Masker]:
    global _built
    with _cacheLock:  # held while building: one build per process and policy
        maskers = _cache.get(policy.digest)
        if maskers is None:
            maskers = {column: morvo_rs.Masker(subkey, strategy, cast(Any, dict(options)))
                       for column, (subkey, strategy, options) in policy.columns.items()}
            _cache[policy.digest] = maskers
            _built += 1
            while len(_cache) > _CACHE_SIZE:
                _cache.popitem(last=False)
        else:
            _cache.move_to_end(policy.digest)
        return maskers


# ---- one partition -------------------------------------------------------


class _Plan:
    """What every partition needs: the policy, the masked columns in the
    frame's order, their Arrow types (fixed for Dask, so that every partition
    agrees with the meta; None to read them off the data) and the
    fallbacks."""

    __slots__ = ("policy", "columns", "types", "fallbacks")

    def __init__(self, policy: _Policy, columns: list[Hashable], types: list[pa.DataType] | None,
                 fallbacks: dict[Hashable, Fallback]) -> None:
        self.policy = policy
        self.columns = columns
        self.types = types
        self.fallbacks = fallbacks

    def __getstate__(self) -> tuple[Any, ...]:
        return self.policy, self.columns, self.types, self.fallbacks

    def __setstate__(self, state: tuple[Any, ...]) -> None:
        self.policy, self.columns, self.types, self.fallbacks = state

    def __dask_tokenize__(self) -> tuple[Any, ...]:
        from dask.base import tokenize
        return ("morvo_dask.plan", self.policy.digest, tokenize(self.columns, [str(t) for t in self.types or []],
                                                                 self.fallbacks))


def _where(part: pd.DataFrame, row: int, partition: int | None) -> str:
    label = part.index[row]
    if isinstance(label, np.generic):
        label = label.item()
    where = f"row index {label!r}"
    return where if partition is None else f"{where} (partition {partition}, row {row})"


def _maskPartition(part: pd.DataFrame, plan: _Plan, partition_info: dict[str, Any] | None = None) -> pd.DataFrame:
    partition = None if partition_info is None else partition_info.get("number")
    maskers = _maskers(plan.policy)
    columns = plan.columns
    inputs = []
    for i, column in enumerate(columns):
        array = pa.Array.from_pandas(part[column], type=None if plan.types is None else plan.types[i])
        inputs.append(array if isinstance(array, pa.ChunkedArray) else pa.chunked_array([array]))
    table = pa.Table.from_arrays(inputs, names=[f"c{i}" for i in range(len(columns))])
    batches = table.to_batches() or [pa.RecordBatch.from_pylist([], schema=table.schema)]

    chunks: list[list[pa.Array]] = [[] for _ in columns]
    offset = 0
    for batch in batches:
        result, problems = morvo_arrow.maskBatch([maskers[c] for c in columns], batch)
        masked = pa.record_batch(result)
        fixes: dict[int, tuple[list[int], list[Any]]] = {}
        for index, row, marker in problems:
            column = columns[index]
            if marker != morvo_rs.FALLBACK:
                raise ValueError(f"column {column!r}, {_where(part, offset + row, partition)}: {marker[1]}")
            finish = plan.fallbacks.get(column, noFallback)
            try:
                value = finish(batch.column(index)[row].as_py())
            except Exception as error:
                if finish is noFallback:
                    raise ValueError(f"column {column!r}, {_where(part, offset + row, partition)}: the engine "
                                     f"does not mask this value, and the column has no fallback "
                                     f"(fallbacks={{{column!r}: fn}})") from None
                error.add_note(f"in the fallback of column {column!r}, {_where(part, offset + row, partition)}")
                raise
            rows, values = fixes.setdefault(index, ([], []))
            rows.append(row)
            values.append(value)
        for index in range(len(columns)):
            array = masked.column(index)
            if index in fixes:
                rows, values = fixes[index]
                try:
                    replacements = pa.array(values, type=array.type)
                except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError, TypeError) as error:
                    raise TypeError(f"the fallback of column {columns[index]!r} gave a value that the masked "
                                    f"column's type {array.type} cannot hold: {error}") from None
                chosen = np.zeros(len(array), np.bool_)
                chosen[rows] = True
                array = pc.replace_with_mask(array, pa.array(chosen), replacements)
            chunks[index].append(array)
        offset += batch.num_rows

    out = part.copy(deep=False)
    for index, column in enumerate(columns):
        out[column] = pd.arrays.ArrowExtensionArray(pa.chunked_array(chunks[index],
                                                                     type=masked.schema.field(index).type))
    return out


# ---- frames --------------------------------------------------------------


def _checkColumns(frame_columns: pd.Index, policy: _Policy, fallbacks: Mapping[Hashable, Fallback]) -> list[Hashable]:
    missing = [c for c in policy.columns if c not in frame_columns]
    if missing:
        raise KeyError(f"the policy names columns the frame lacks: {', '.join(map(repr, missing))}")
    extra = [c for c in fallbacks if c not in policy.columns]
    if extra:
        raise KeyError(f"fallbacks are given for columns the policy does not mask: {', '.join(map(repr, extra))}")
    twice = [c for c in policy.columns if (frame_columns == c).sum() > 1]
    if twice:
        raise ValueError(f"the frame has more than one column named {twice[0]!r}")
    for column, finish in fallbacks.items():
        if not callable(finish):
            raise TypeError(f"the fallback of column {column!r} must be callable")
    return [c for c in frame_columns if c in policy.columns]


def _arrowType(meta: pd.Series) -> pa.DataType:
    # The Arrow type every partition of a Dask column converts to, read off
    # its dtype alone. An object column could hold anything (Decimals, texts,
    # a mix), so it must be given a dtype first.
    if meta.dtype == object or isinstance(meta.dtype, pd.CategoricalDtype):
        raise TypeError(f"column {meta.name!r} has dtype {meta.dtype}, whose Arrow type a Dask DataFrame "
                        f"cannot tell before it is computed: give it an Arrow-backed dtype first, e.g. "
                        f"frame.astype({{{meta.name!r}: pd.ArrowDtype(pa.decimal128(12, 2))}}), or read it "
                        f"with dtype_backend='pyarrow'")
    return pa.Array.from_pandas(meta.iloc[:0]).type


def maskFrame(frame: Frame, policy: Policy, *, fallbacks: Mapping[Hashable, Fallback] | None = None) -> Frame:
    """Masks a pandas or Dask DataFrame by `policy`.

    `policy` maps column names to `(subkey, strategy, options)` as
    `morvo_rs.Masker` takes them; other columns are carried through as they
    are, and the index is kept. A pandas DataFrame gives a pandas DataFrame
    at once; a Dask DataFrame gives a Dask DataFrame, masked when computed,
    with the same partitions and divisions. Masked columns come back
    Arrow-backed (`pd.ArrowDtype`); NaN in a NumPy float column counts as
    missing, as pandas counts it, and stays missing.

    `fallbacks` maps a masked column to a function that finishes the values
    the engine hands back as FALLBACK: it gets the value (as pyarrow gives
    it in Python: `str`, `int`, `float`, `Decimal`) and returns the masked
    value, which the column's masked type must hold, or None. Columns not in
    `fallbacks` use `noFallback`, which raises `ValueError`. A REFUSED value
    raises `ValueError` with the column, the row's index label and the
    engine's message. For Dask the functions travel to the workers with the
    policy, so they must pickle (cloudpickle takes lambdas and closures).

    Raises before any work (for Dask, while the graph is built): `KeyError`
    for a policy column the frame lacks or a fallback for a column the
    policy does not mask; `TypeError`/`ValueError` from `morvo_rs.Masker`
    for a bad strategy or options; for Dask, `TypeError` for a masked column
    of object or categorical dtype, whose Arrow type is unknown until
    computed.
    """
    plan_policy = _Policy(policy)
    fallbacks = dict(fallbacks or {})
    if isinstance(frame, pd.DataFrame):
        columns = _checkColumns(frame.columns, plan_policy, fallbacks)
        return _maskPartition(frame, _Plan(plan_policy, columns, None, fallbacks))  # type: ignore[return-value]

    dd = sys.modules.get("dask.dataframe")  # a Dask DataFrame comes with its module imported
    if dd is None or not isinstance(frame, dd.DataFrame):
        raise TypeError(f"maskFrame masks a pandas or Dask DataFrame, not {type(frame).__name__}")
    meta = frame._meta
    columns = _checkColumns(meta.columns, plan_policy, fallbacks)
    types = [_arrowType(meta[c]) for c in columns]
    plan = _Plan(plan_policy, columns, types, fallbacks)
    # The meta is the masking of the empty meta: the same code, and the
    # output types exactly as the engine gives them. It builds the maskers
    # here too, so a bad policy fails now rather than on the workers.
    masked_meta = _maskPartition(meta, plan)
    return frame.map_partitions(_maskPartition, plan, meta=masked_meta, transform_divisions=False,
                                token="morvo-mask")  # type: ignore[no-any-return]
