"""The module as pip installs it from a wheel, on a machine that has none of
its libraries: what the wheel carries, that nothing it carries meets another
copy of the same library in the host process, and that it masks exactly as
the golden corpus recorded, beside ssl, hashlib, numpy and pyarrow and with
the system's own libcrypto, GMP and oneTBB out of sight.

scripts/test_wheel.sh installs each wheel into a fresh virtual environment and
runs this file there, with MORVO_WHEEL naming the wheel installed.
"""
import glob
import importlib.metadata
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
from pathlib import Path

import pytest

WHEEL = os.environ.get("MORVO_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="runs against an installed wheel: scripts/test_wheel.sh")

ROOT = Path(__file__).resolve().parents[2]
SYSTEM_RUNTIME = re.compile(r"^(libc|libm|libstdc\+\+|libgcc_s|ld-linux[\w-]*|libpthread|libdl|librt)\.so")
# What each library grafted into the wheel is, by the start of its file name.
GRAFTED = {"libgmp": "GMP", "libtbbmalloc": "oneTBB"}
LICENCE_TEXTS = {
    "OpenSSL": ["Apache License\n                           Version 2.0"],
    "GMP": ["GNU LESSER GENERAL PUBLIC LICENSE\n                       Version 3",
            "GNU GENERAL PUBLIC LICENSE\n                       Version 3"],
    "oneTBB": ["Apache License\n                           Version 2.0"],
}
# The system's copies of the libraries that the wheel brings its own of.
SYSTEM_COPIES = ["libcrypto.so*", "libssl.so*", "libgmp.so*", "libgmpxx.so*", "libtbb*.so*"]
# Corpus files whose strategies run through OpenSSL (hash, fpe), GMP (fpe, key
# on long integers, number) and the allocator (all of them).
GOLDEN = ["hash-default", "fpe-default", "fpe-digits", "key-default", "number-default", "fakeName"]

# Masks the GOLDEN files with one and two threads and exits non-zero on the
# first difference from the corpus; prints "golden ok" otherwise.
GOLDEN_CHECK = f"""
    sys.path.insert(0, {str(ROOT / "tests" / "py")!r})
    import test_golden as golden
    for name in {GOLDEN!r}:
        record = golden.load(golden.GOLDEN / (name + ".json.gz"))
        for threads in (1, 2):
            morvo_rs.setThreads(threads)
            masked, problems = golden.masker(record).maskColumn(record["values"])
            found = golden.mismatches(record, [golden.encode(v) for v in masked],
                                      {{i: golden.problem(p) for i, p in problems.items()}})
            if found:
                sys.exit(golden.report(name, record, found, len(masked)))
    print("golden ok")
"""


def module_path():
    import morvo_rs
    return Path(morvo_rs.__file__)


def libs_dir():
    return module_path().parent / "morvo_rs.libs"


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)


def python(source, **kwargs):
    """Runs source in a fresh interpreter of this environment; returns its stdout."""
    done = run([sys.executable, "-c", textwrap.dedent(source)], **kwargs)
    assert done.returncode == 0, f"exit {done.returncode}\nstdout: {done.stdout}\nstderr: {done.stderr}"
    return done.stdout


def dynamic(path, which):
    listed = run(["nm", "-D", which, str(path)], check=True).stdout
    return {line.split()[-1].split("@")[0] for line in listed.splitlines() if line.strip()}


# ---- what the wheel carries ----------------------------------------------

def test_pip_installed_this_wheel_for_this_interpreter():
    import morvo_rs
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    assert module_path().resolve().parent == site, f"{module_path()} is not the installed module"
    name = Path(WHEEL).name
    abi = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert re.fullmatch(rf"morvo_rs-[\w.]+-{abi}-{abi}-manylinux_2_\d+_x86_64\.whl", name), name
    assert morvo_rs.__version__ == importlib.metadata.version("morvo_rs") == name.split("-")[1]


def extension_modules():
    return [Path(f.locate()) for f in importlib.metadata.files("morvo_rs") if len(f.parts) == 1 and f.suffix == ".so"]


def test_the_modules_need_only_the_system_runtime_and_the_libraries_beside_them():
    libs = libs_dir()
    grafted = sorted(p.name for p in libs.iterdir())
    assert {name.split("-")[0] for name in grafted} == set(GRAFTED), grafted
    modules = extension_modules()
    assert module_path() in modules, modules
    # Every library a module or a grafted library loads is either part of the
    # C and C++ runtime or one of the wheel's own copies.
    for binary in [*modules, *libs.iterdir()]:
        linked = run(["ldd", str(binary)], check=True).stdout
        for soname, path in re.findall(r"^\s*(\S+) => (.*?)(?: \(0x[0-9a-f]+\))?$", linked, re.M):
            if SYSTEM_RUNTIME.match(soname):
                continue
            assert Path(path).parent.resolve() == libs.resolve(), f"{binary.name} loads {soname} from {path}"
    for module in modules:
        # OpenSSL is linked in: nothing it calls is left for the loader to
        # bind, so no other libcrypto in the process can stand in for it.
        unbound = dynamic(module, "--undefined-only")
        openssl = sorted(s for s in unbound if re.match(r"(SHA256|AES|HMAC|EVP|OPENSSL|CRYPTO|ERR)_", s))
        assert not openssl, (module.name, openssl)
        assert dynamic(module, "--defined-only") == {"PyInit_" + module.name.split(".")[0]}, module.name
    assert any(s.startswith("__gmp") for s in dynamic(module_path(), "--undefined-only")), \
        "GMP was expected from the grafted copy"


def test_the_licences_of_the_bundled_libraries_travel_in_the_wheel():
    files = importlib.metadata.files("morvo_rs")
    bundled = {}
    for f in files:
        parts = f.parts
        if len(parts) == 5 and parts[1:3] == ("licenses", "bundled"):
            bundled.setdefault(parts[3], {})[parts[4]] = f.read_text()
    needed = {"OpenSSL"} | {GRAFTED[p.name.split("-")[0]] for p in libs_dir().iterdir()}
    assert needed <= set(bundled), f"licences missing for {sorted(needed - set(bundled))}"
    for name in needed:
        texts = bundled[name]
        assert f"Upstream-Name: {name}" in texts["copyright"], name
        for heading in LICENCE_TEXTS[name]:
            assert any(heading in t for t in texts.values()), f"{name}: no text with {heading.split()[0:4]}"


def test_the_sdist_holds_every_tracked_source_file():
    sdists = sorted(Path(WHEEL).parent.glob("morvo_rs-*.tar.gz"))
    if not sdists or not shutil.which("git") or not (ROOT / ".git").exists():
        pytest.skip("needs the sdist beside the wheel and a git checkout")
    tracked = [f for f in run(["git", "-C", str(ROOT), "ls-files"], check=True).stdout.splitlines()
               if not re.match(r"(tests|bench|examples|scripts|\.ci)/", f) and (ROOT / f).exists()]
    with tarfile.open(sdists[-1]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    missing = [f for f in tracked if f not in names]
    assert "pyproject.toml" in tracked and not missing, missing


# ---- beside other copies of the same libraries ------------------------------

HOST_LIBRARIES = """
    import hashlib, hmac, ssl
    import numpy, pyarrow, pyarrow.compute
"""
MODULE = """
    import morvo_rs
"""


@pytest.mark.parametrize("first", ["host libraries first", "module first"])
def test_beside_ssl_hashlib_numpy_and_pyarrow(first):
    imports = HOST_LIBRARIES + MODULE if first == "host libraries first" else MODULE + HOST_LIBRARIES
    out = python("\n    import sys" + imports + """
    # The interpreter's OpenSSL at work: a TLS context and HMAC-SHA-256.
    context = ssl.create_default_context()
    assert context.verify_mode == ssl.CERT_REQUIRED and len(ssl.RAND_bytes(16)) == 16
    assert type(hashlib.sha256()).__module__ == "_hashlib", "hashlib is not on OpenSSL here"
    key = bytes(range(32))
    values = pyarrow.array([f"value {i}" for i in range(2000)] + ["", "é"]).to_pylist()
    expected = [hmac.digest(key, b"\\0" + v.encode(), "sha256").hex() for v in values]
    # The module's hash strategy is the same HMAC, computed by its own copy.
    morvo_rs.setThreads(2)
    masked, problems = morvo_rs.Masker(key, "hash", {"length": 64}).maskColumn(values)
    assert masked == expected and not problems
    assert pyarrow.compute.sum(pyarrow.compute.utf8_length(pyarrow.array(masked))).as_py() == 64 * len(values)
    # numpy makes a column of 9-digit integers and checks what comes back.
    numbers = numpy.arange(10**8, 10**8 + 1000, dtype=numpy.int64)
    ints, problems = morvo_rs.Masker(key, "key", {}).maskColumn(numbers.tolist())
    assert not problems and numpy.unique(numpy.array(ints)).size == 1000
    assert numpy.all((numpy.array(ints) >= 10**8) & (numpy.array(ints) < 10**9))
    with open("/proc/self/maps") as maps:
        loaded = {line.split()[-1] for line in maps if "/" in line}
    print("\\n".join(sorted(loaded)))
    """ + GOLDEN_CHECK)
    assert out.rstrip().endswith("golden ok"), out
    loaded = out.splitlines()[:-1]
    # The interpreter's libcrypto is loaded; the module's lives inside it
    # and brings no second file. GMP and the allocator come from the wheel.
    cryptos = [p for p in loaded if re.search(r"/libcrypto[^/]*\.so", p)]
    assert cryptos and not any(str(libs_dir()) in p for p in cryptos), cryptos
    ours = [p for p in loaded if re.search(r"/lib(gmp|tbb)[^/]*\.so", p)]
    assert ours and all(Path(p).parent == libs_dir() for p in ours), ours


def test_imports_and_masks_with_the_system_copies_hidden():
    if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("mount"):
        pytest.skip("hiding the system's libraries needs root, unshare and mount")
    tried = run(["unshare", "-m", "true"])
    if tried.returncode != 0:
        pytest.skip(f"unshare -m is not permitted here: {tried.stderr.strip()}")
    hidden = sorted({os.path.realpath(p) for pattern in SYSTEM_COPIES
                     for p in glob.glob(f"/usr/lib/x86_64-linux-gnu/{pattern}")})
    assert any("libgmp" in p for p in hidden) and any("libtbbmalloc" in p for p in hidden), hidden
    script = textwrap.dedent("""
        import ctypes, sys
        for name in ("libcrypto.so.3", "libgmp.so.10", "libtbbmalloc.so.2"):
            try:
                ctypes.CDLL(name)
            except OSError:
                continue
            sys.exit(f"{name} is still there to load")
        import morvo_rs
        column, problems = morvo_rs.Masker(bytes(32), "fpe", {"strict": True}).maskColumn(["AB-1234-XY"])
        assert len(column[0]) == 10 and column[0] != "AB-1234-XY" and not problems, (column, problems)
    """) + textwrap.dedent(GOLDEN_CHECK)
    mounts = " && ".join(f"mount --bind /dev/null {p}" for p in hidden)
    done = run(["unshare", "-m", "sh", "-c", f'{mounts} && exec "$0" -c "$1"', sys.executable, script])
    assert done.returncode == 0 and done.stdout.strip() == "golden ok", (done.returncode, done.stdout, done.stderr)
