"""morvo_dask: pandas and Dask DataFrames masked by a policy, equal to one
maskChunk over the whole table, with FALLBACK and REFUSED handled as the
package documents."""
import decimal
import os
import pathlib
import sys

import pytest

import morvo_rs

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pytest.importorskip("morvo_arrow")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
try:
    import morvo_dask
except ImportError:  # the source tree, before the wheel is installed
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "python"))
    import morvo_dask

from conftest import WORDS

ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
MAIL = "Åsa.Berg@mail.example.com"  # not ASCII: a FALLBACK of the email strategy


def subkey(column):
    return bytes([len(column)]) * 16 + column.encode().ljust(16, b".")


POLICY = {
    "id": (subkey("id"), "key", {}),
    "name": (subkey("name"), "fakeName", WORDS),
    "email": (subkey("email"), "email", {"keepDomain": False}),
    "phone": (subkey("phone"), "digits", {"keepLeading": 3}),
    "amount": (subkey("amount"), "number", {"decimals": 2, "variance": "0.2"}),
    "city": (subkey("city"), "fakeCity", WORDS),
    "code": (subkey("code"), "hash", {"length": 8}),
}


def finish(value):
    return "py-" + str(len(value))


def table(rows, seed=3):
    rng = np.random.default_rng(seed)
    i = np.arange(rows)
    first = np.array(WORDS["firstNames"], object)[rng.integers(0, 3, rows)]
    email = pd.Series(first).str.lower() + "." + pd.Series(i.astype(str)) + "@mail.example.com"
    email[i % 97 == 5] = MAIL
    email[i % 101 == 7] = None
    cents = rng.integers(100, 10**7, rows)
    return pd.DataFrame({
        "id": 100_000 + i,
        "name": first + " " + np.array(WORDS["lastNames"], object)[rng.integers(0, 2, rows)],
        "email": email.astype("str"),
        "phone": pd.Series("+47 " + rng.integers(10**7, 10**8, rows).astype(str)).astype("str"),
        "amount": pd.array(pa.array([decimal.Decimal(int(c)).scaleb(-2) for c in cents], pa.decimal128(12, 2)),
                           dtype=pd.ArrowDtype(pa.decimal128(12, 2))),
        "city": pd.Series(rng.choice(["Oslo", "Lima", "Graz"], rows)).astype("str"),
        "code": rng.integers(-10**6, 10**6, rows).astype(np.int32),
        "note": np.where(i % 2 == 0, "even", "odd"),
    }, index=pd.RangeIndex(7, 7 + 2 * rows, 2))


def one_process(frame, policy=POLICY):
    """The whole frame through one maskChunk, FALLBACKs finished by finish()."""
    arrow = pa.Table.from_pandas(frame, preserve_index=False)
    names = list(arrow.column_names)
    maskers = [morvo_rs.Masker(*policy[c]) if c in policy else None for c in names]
    rows, problems = morvo_rs.maskChunk(maskers, list(zip(*(arrow.column(c).to_pylist() for c in names))))
    assert problems and all(marker == morvo_rs.FALLBACK for _, _, marker in problems)
    rows = [list(r) for r in rows]
    for column, row, _ in problems:
        rows[row][column] = finish(arrow.column(column)[row].as_py())
    expected = frame.copy()
    for k, c in enumerate(names):
        if c in policy:
            text = policy[c][1] in ("hash", "email") or policy[c][1].startswith("fake")
            type_ = arrow.schema.field(c).type
            if text and not pa.types.is_large_string(type_):
                type_ = pa.string()
            expected[c] = pd.array(pa.array([r[k] for r in rows], type_), dtype=pd.ArrowDtype(type_))
    return expected


@pytest.mark.filterwarnings("ignore:Sending large graph")
@pytest.mark.skipif(ASAN, reason="worker processes do not start under AddressSanitizer's preload")
def test_a_cluster_of_worker_processes_masks_as_one_maskChunk():
    frame = table(200_000)
    expected = one_process(frame)
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       dashboard_address=None)
    with cluster, distributed.Client(cluster) as client:
        masked = morvo_dask.maskFrame(dd.from_pandas(frame, npartitions=8), POLICY, fallbacks={"email": finish})
        assert masked.npartitions == 8
        assert dict(masked.dtypes[list(POLICY)]) == dict(expected.dtypes[list(POLICY)])  # the meta
        result = masked.compute()
        # Each worker process built its maskers once, for the 8 partitions.
        assert sorted(client.run(lambda: morvo_dask._built).values()) == [1, 1]
    assert result.index.equals(frame.index)
    pd.testing.assert_frame_equal(result[list(POLICY)], expected[list(POLICY)])
    assert result["note"].tolist() == frame["note"].tolist()
    assert (result["id"] != frame["id"]).mean() > 0.99


def test_pandas_frame_masks_as_one_maskChunk_and_caches_its_maskers():
    frame = table(3_000)
    policy = dict(POLICY, id=(subkey("pandas"), "key", {}))
    built = morvo_dask._built
    first = morvo_dask.maskFrame(frame, policy, fallbacks={"email": finish})
    pd.testing.assert_frame_equal(first, one_process(frame, policy))
    # Same policy, columns in another order and lists as tuples: no new build.
    again = {c: (k, s, {o: tuple(v) if isinstance(v, list) else v for o, v in opts.items()})
             for c, (k, s, opts) in reversed(policy.items())}
    assert morvo_dask.policyDigest(again) == morvo_dask.policyDigest(policy)
    pd.testing.assert_frame_equal(morvo_dask.maskFrame(frame, again, fallbacks={"email": finish}), first)
    assert morvo_dask._built == built + 1
    assert morvo_dask.policyDigest(POLICY) != morvo_dask.policyDigest(policy)


def test_fallbacks_get_the_value_and_a_missing_one_raises():
    frame = pd.DataFrame({"email": ["ann@example.com", MAIL, None]}, index=[40, 41, 42])
    policy = {"email": POLICY["email"]}
    seen = []
    masked = morvo_dask.maskFrame(frame, policy, fallbacks={"email": lambda v: seen.append(v) or "x@y.z"})
    assert seen == [MAIL]
    assert masked["email"].iloc[1] == "x@y.z" and pd.isna(masked["email"].iloc[2])
    with pytest.raises(ValueError, match=r"column 'email', row index 41: .*no fallback") as raised:
        morvo_dask.maskFrame(frame, policy)
    assert MAIL not in str(raised.value)
    with pytest.raises(TypeError, match="int64 cannot hold"):
        morvo_dask.maskFrame(pd.DataFrame({"n": [0, 5]}), {"n": (subkey("n"), "digits", {"keepLeading": 1})},
                             fallbacks={"n": lambda v: "zero"})


def test_a_refusal_raises_with_column_row_index_and_message():
    frame = pd.DataFrame({"account": ["12-34-56", "12-34", "99-88-77"]}, index=["a", "b", "c"])
    policy = {"account": (subkey("account"), "fpe", {"charset": "digits", "strict": True})}
    message = morvo_rs.Masker(*policy["account"]).maskColumn(["12-34"])[1][0][1]
    with pytest.raises(ValueError) as raised:
        morvo_dask.maskFrame(frame, policy)
    assert str(raised.value) == f"column 'account', row index 'b': {message}"
    lazy = morvo_dask.maskFrame(dd.from_pandas(frame, npartitions=2, sort=False), policy)
    with pytest.raises(ValueError, match=r"column 'account', row index 'b' \(partition \d, row \d\): "):
        lazy.compute(scheduler="sync")


def test_bad_policies_fail_while_the_graph_is_built():
    def never(_):
        raise AssertionError("a partition was computed")

    meta = pd.DataFrame({"id": pd.Series([], dtype="int64"), "blob": pd.Series([], dtype=object)})
    with dask.config.set({"dataframe.convert-string": False}):  # keep "blob" an object column
        frame = dd.from_map(never, [0, 1], meta=meta, enforce_metadata=False)
    with pytest.raises(KeyError, match="'missing'"):
        morvo_dask.maskFrame(frame, {"id": POLICY["id"], "missing": POLICY["id"]})
    with pytest.raises(KeyError, match="'blob'"):
        morvo_dask.maskFrame(frame, {"id": POLICY["id"]}, fallbacks={"blob": finish})
    with pytest.raises(TypeError, match="'blob' has dtype object"):
        morvo_dask.maskFrame(frame, {"blob": POLICY["id"]})
    with pytest.raises(ValueError):
        morvo_dask.maskFrame(frame, {"id": (subkey("id"), "nonsense", {})})
    with pytest.raises(TypeError, match="subkey"):  # not bytes(32), an all-zero key
        morvo_dask.maskFrame(frame, {"id": (32, "key", {})})
    lazy = morvo_dask.maskFrame(frame, {"id": POLICY["id"]})  # lazy: nothing computed yet
    assert lazy.dtypes["id"] == pd.ArrowDtype(pa.int64())


def test_dask_meta_matches_every_partition():
    frame = pd.DataFrame({
        "small": np.arange(50, dtype=np.int16) * 300,
        "ratio": np.where(np.arange(50) % 7 == 0, np.nan, np.linspace(1, 2, 50)),
        "label": pd.array([f"L{i}" for i in range(50)], dtype=pd.ArrowDtype(pa.large_string())),
    })
    policy = {"small": (subkey("s"), "hash", {"length": 6}), "ratio": (subkey("r"), "number", {"decimals": 3}),
              "label": (subkey("l"), "key", {})}
    lazy = morvo_dask.maskFrame(dd.from_pandas(frame, npartitions=4), policy)
    computed = lazy.compute(scheduler="sync")
    assert dict(lazy.dtypes) == dict(computed.dtypes) == {
        "small": pd.ArrowDtype(pa.string()), "ratio": pd.ArrowDtype(pa.float64()),
        "label": pd.ArrowDtype(pa.large_string())}
    pd.testing.assert_frame_equal(computed, morvo_dask.maskFrame(frame, policy))
    assert computed["ratio"].isna().tolist() == frame["ratio"].isna().tolist()
