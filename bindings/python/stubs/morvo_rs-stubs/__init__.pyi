# Type stubs for the morvo_rs extension module, installed beside it as the
# stub-only package morvo_rs-stubs (a single-module distribution cannot carry
# py.typed). Names starting with "_" exist for type checkers only.
from collections.abc import Iterable, Sequence
from decimal import Decimal
from typing import Final, Literal, Self, SupportsIndex, TypeAlias, TypedDict, TypeVar

from typing_extensions import disjoint_base

__version__: Final[str]
FALLBACK: Final = "fallback"
REFUSED: Final = "refused"

_Fallback: TypeAlias = Literal["fallback"]
_Refusal: TypeAlias = tuple[Literal["refused"], str]
# What stands for a position the module did not answer: FALLBACK, or
# (REFUSED, message).
_Problem: TypeAlias = _Fallback | _Refusal
# A masked value: an int stays an int (under "hash" and the fake strategies it
# becomes a str), a str a str; floats and Decimals come only from "number";
# None where the value was None or where the position is a problem.
_Masked: TypeAlias = int | float | str | Decimal | None
# A word list is read as a sequence of str. A str itself is refused, which a
# Sequence[str] would let through, hence the two concrete types.
_Words: TypeAlias = list[str] | tuple[str, ...]
_T = TypeVar("_T")

class _Options(TypedDict, total=False):
    # "key" and "fpe"
    charset: Literal["alphanumeric", "digits", "hex"]
    # "fpe"
    strict: bool
    # "hash" and "email": hexadecimal characters of the digest
    length: SupportsIndex
    # "hash"
    prefix: str
    # "email"
    mailDomain: str
    keepDomain: bool
    # "digits"
    keepLeading: SupportsIndex
    keepTrailing: SupportsIndex
    # "number"; None is the same as absent
    decimals: SupportsIndex | None
    min: str | None
    max: str | None
    variance: str | None
    # the fake strategies: every one reads all seven lists
    firstNames: _Words
    lastNames: _Words
    cities: _Words
    streets: _Words
    streetKinds: _Words
    companySuffixes: _Words
    companyWords: _Words
    address: str
    maxLength: SupportsIndex | None

@disjoint_base
class Masker:
    # Keys a strategy does not read are ignored, so one dict may serve several
    # strategies; a key no strategy reads is refused here as a likely typo.
    # Options typed Any (read from a policy file, say) are taken as they are.
    def __new__(cls, subkey: bytes, strategy: str, options: _Options) -> Self: ...
    def maskColumn(
        self, values: Iterable[object]
    ) -> tuple[list[_Masked], dict[int, _Problem]]: ...

def maskChunk(
    maskers: Sequence[Masker | None], rows: Iterable[Iterable[_T]]
) -> tuple[list[tuple[_T | _Masked, ...]], list[tuple[int, int, _Problem]]]: ...
def columnKinds(rows: object) -> tuple[list[list[type]], list[bool]] | None: ...
def setThreads(threads: SupportsIndex) -> None: ...
def threads() -> int: ...
def availableCores() -> int: ...
