"""The count model of bench/floor.py: its outputs track maskColumn's, and its
counts match what the code does, derived by hand for fixed values."""
import importlib.util
import os
import pathlib
import sys

import pytest

if not os.environ.get("MORVO_PROBE_DIR"):
    pytest.skip("MORVO_PROBE_DIR names the directory of the built probes", allow_module_level=True)

import floor_probe  # noqa: E402

_path = pathlib.Path(__file__).resolve().parents[2] / "bench" / "floor.py"
_spec = importlib.util.spec_from_file_location("floor_bench", _path)
floor = importlib.util.module_from_spec(_spec)
sys.modules["floor_bench"] = floor
_spec.loader.exec_module(floor)

KEY = floor.KEY


@pytest.mark.parametrize("name", sorted(floor.models(floor_probe)))
def test_the_model_computes_what_mask_column_returns(name):
    strategy, options, values = floor.all_columns(300)[name]
    # Raises SystemExit naming the first value where the two disagree.
    digests, compressions, blocks, _ = floor.count_and_check(name, strategy, options, values,
                                                             floor.models(floor_probe)[name], floor_probe, 300)
    assert compressions >= 2 * digests
    assert digests > 0 or blocks > 0 or name in floor.BASES


def counted(model, value):
    tally = floor.Tally(KEY)
    model(tally, value)
    return tally


def test_one_block_and_two_block_digests():
    # 0x00 || "customer-1": 11 bytes, one padded block, then the outer block.
    t = counted(floor.mask_hash, "customer-1")
    assert (t.digests, t.compressions) == (1, 2)
    # 0x00 and 55 bytes need a second padded block: 56 + 9 > 64.
    t = counted(floor.mask_hash, "x" * 55)
    assert (t.digests, t.compressions) == (1, 3)


def test_fake_name_is_two_draws_of_two_digests():
    # below(5000): 2 + 32 = 34 bytes of stream, two digests of
    # "first" || "#" || BE32(i) || 0x00 || "person 1" (19 bytes) each.
    t = counted(floor.mask_fake_name, "person 1")
    assert (t.digests, t.compressions) == (4, 8)


def core_passes(size_minus_one, value, label):
    _, passes = floor_probe.permutePasses(KEY, size_minus_one.to_bytes(16, "big"), value.to_bytes(16, "big"), label)
    return passes


def test_key_integer_rounds_are_one_block():
    # "integer" || "|" || BE4(9 * 10^8) || r || "#" || BE32(0) || 0x00 || BE2(R):
    # 21 bytes, two compressions a round, ten rounds a pass.
    t = counted(floor.mask_key_int, 123456789)
    passes = core_passes(9 * 10**8 - 1, 123456789 - 10**8, "integer")
    assert t.passes == [passes]
    assert (t.digests, t.compressions) == (10 * passes, 20 * passes)


def test_key_text_label_of_a_whole_block_goes_to_the_midstate_once():
    # "text|alphanumeric|" and 23 x "26": a 64-byte label, absorbed once per
    # value; the rest of a round message is 1 + 14 + 7 + 7 = 29 bytes.
    text = "abcdefghijklmnopqrstuvw"
    t = counted(floor.mask_key_text, text)
    label = "text|alphanumeric|" + "26" * 23
    value = 0
    for c in text:
        value = value * 26 + ord(c) - ord("a")
    passes = core_passes(26**23 - 1, value, label)
    assert t.passes == [passes]
    assert (t.digests, t.compressions) == (10 * passes, 1 + 20 * passes)


def test_key_text_round_messages_of_two_blocks():
    # 12 letters: a 42-byte label, then "|", BE8(26^12) and 7 + 4 bytes: 62
    # bytes, two blocks every round, three compressions with the outer one.
    text = "abcdefghijkl"
    t = counted(floor.mask_key_text, text)
    assert t.compressions == 30 * t.passes[0]
    # 20 letters: the label, "|" and BE12(26^20) fill 71 bytes, so the first
    # block holds nothing that changes between rounds and is absorbed once.
    text = "abcdefghijklmnopqrst"
    t = counted(floor.mask_key_text, text)
    assert t.compressions == 1 + 20 * t.passes[0]


def test_ff1_blocks_per_encryption():
    # 10 digits, tweak "integer": P || T || 0^5 is 28 bytes, one whole block
    # shared by the rounds; each round's 4 bytes complete the second block.
    assert floor.ff1_blocks(10, 7) == 11
    # 40 digits: NUM(B) of 9 bytes, pad 15, a 38-byte prefix (two shared
    # blocks) and one more block a round; d = 16, so S is R alone.
    assert floor.ff1_blocks(40, 7) == 12


def test_fpe_walk_of_the_probe_is_the_strategy_s():
    import morvo_rs

    values = [1234567890, 9999999999, 1000000000, 5550001234, 123456]
    masked, problems = morvo_rs.Masker(KEY, "fpe", {}).maskColumn(values)
    assert problems == {}
    walked = [floor_probe.fpeEncryptions(KEY, str(v)) for v in values]
    assert [int(digits) for digits, _ in walked] == masked
