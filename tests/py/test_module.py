"""The module's surface and the standard argument errors of every callable."""
import inspect

import pytest

import morvo_rs


def test_constants_and_docstring():
    assert morvo_rs.__version__ == "0.2.2"
    assert morvo_rs.FALLBACK == "fallback"
    assert morvo_rs.REFUSED == "refused"
    assert morvo_rs.__doc__ == ""


def test_surface_is_exactly_the_documented_names():
    public = {n for n in dir(morvo_rs) if not n.startswith("__")}
    assert public == {"FALLBACK", "REFUSED", "Masker", "maskChunk", "columnKinds",
                      "availableCores", "setThreads", "threads"}


@pytest.mark.parametrize("callable_, signature", [
    (morvo_rs.maskChunk, "(maskers, rows)"),
    (morvo_rs.columnKinds, "(rows)"),
    (morvo_rs.setThreads, "(threads)"),
    (morvo_rs.threads, "()"),
    (morvo_rs.availableCores, "()"),
    (morvo_rs.Masker, "(subkey, strategy, options)"),
    (morvo_rs.Masker.maskColumn, "(self, /, values)"),
])
def test_text_signatures(callable_, signature):
    assert str(inspect.signature(callable_)) == signature


def test_docstrings_carry_their_first_paragraphs():
    assert morvo_rs.Masker.__doc__.startswith("One column's masker: the key, the domain")
    assert morvo_rs.Masker.maskColumn.__doc__.startswith("Masks one column.\n\nReturns `(masked, problems)`.")
    assert morvo_rs.threads.__doc__ == "The masking threads in this process."
    assert morvo_rs.setThreads.__doc__ == (
        "How many threads mask a chunk in this process, 1 for the calling thread\n"
        "alone. Results are the same for any count.")
    assert morvo_rs.columnKinds.__doc__.endswith("differently from these.")


def test_mask_chunk_third_paragraph_is_five_short_lines():
    paragraphs = morvo_rs.maskChunk.__doc__.split("\n\n")
    assert len(paragraphs) == 3
    assert paragraphs[1].startswith("Returns `(rows, problems)`")
    lines = paragraphs[2].split("\n")
    assert len(lines) == 5
    assert all(len(line) <= 79 for line in lines)


@pytest.mark.parametrize("call, message", [
    (lambda: morvo_rs.maskChunk([], [], []),
     "maskChunk() takes 2 positional arguments but 3 were given"),
    (lambda: morvo_rs.maskChunk([], rows=[], extra=1),
     "maskChunk() got an unexpected keyword argument 'extra'"),
    (lambda: morvo_rs.maskChunk([], maskers=[]),
     "maskChunk() got multiple values for argument 'maskers'"),
    (lambda: morvo_rs.maskChunk(),
     "maskChunk() missing 2 required positional arguments: 'maskers' and 'rows'"),
    (lambda: morvo_rs.columnKinds(),
     "columnKinds() missing 1 required positional argument: 'rows'"),
    (lambda: morvo_rs.setThreads(1, 2),
     "setThreads() takes 1 positional arguments but 2 were given"),
    (lambda: morvo_rs.Masker(),
     "Masker.__new__() missing 3 required positional arguments: 'subkey', 'strategy', and 'options'"),
    (lambda: morvo_rs.Masker(b"k" * 32, "hash", {}, 4),
     "Masker.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: morvo_rs.Masker(b"k" * 32, "hash", {}).maskColumn(),
     "Masker.maskColumn() missing 1 required positional argument: 'values'"),
    (lambda: morvo_rs.Masker(b"k" * 32, "hash", {}).maskColumn([], values=[]),
     "Masker.maskColumn() got multiple values for argument 'values'"),
])
def test_argument_errors_name_the_callable(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize("function", [morvo_rs.threads, morvo_rs.availableCores])
def test_functions_without_parameters_refuse_arguments(function):
    with pytest.raises(TypeError):
        function(1)
    with pytest.raises(TypeError):
        function(x=1)


def test_masker_accepts_keywords():
    masker = morvo_rs.Masker(options={}, strategy="hash", subkey=b"k" * 32)
    assert masker.maskColumn(values=["a"]) == masker.maskColumn(["a"])
