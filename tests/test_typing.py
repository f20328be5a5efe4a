"""What tools see of velliq: its annotations checked by mypy on a user's calls, the
package's own source clean under mypy --strict, help() and inspect on the
compiled functions, traceback entries and __version__."""

import importlib.metadata
import inspect
import pathlib
import pydoc
import re
import runpy
import shutil
import subprocess
import sys
import textwrap
import tomllib
import traceback

import numpy as np
import pytest
import scipy.stats

import velliq
import velliq.norvane as nv

HERE = pathlib.Path(__file__).parent
SAMPLE = HERE / "typing_sample.py"

# Each line ending in "# E: <code>" must draw a mypy error of that code, and no
# other line any error.
BAD_CALLS = textwrap.dedent("""\
    import numpy as np
    import pandas as pd

    import velliq
    import velliq.dask
    import velliq.norvane as nv

    x = [100.0, 100.0]
    words = np.array(["7.4", "8.3"], dtype=np.str_)
    nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, True)  # E: arg-type
    nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, None)  # E: arg-type
    nv.baw_price("100", 100.0, 0.98, 99.0, 0.2, "c")  # E: arg-type
    nv.baw_implied_vol(7.4, 100.0, 100.0, 0.98, 99.0, flag=False)  # E: arg-type
    nv.vectorized_baw_implied_vol(["7.4", "8.3"], x, x, x, x, ["c", "p"])  # E: list-item
    nv.vectorized_baw_implied_vol(words, x, x, x, x, "cp")  # E: arg-type
    nv.vectorized_baw_implied_vol(x, x, x, x, x, [True, False])  # E: list-item
    nv.vectorized_baw_implied_vol(x, x, x, x, x)  # E: call-arg
    nv.find_forward_baw(x, x, x, 100.0, 0.98, strike_pct="1%")  # E: arg-type
    velliq.nonexistent  # E: attr-defined
    velliq.implied_vol_parallel(x, x, x, x, x, "cp", workers="all")  # E: call-overload
    velliq.implied_vol_parallel(x, x, x, x, x, [None, None])  # E: list-item
    velliq.dask.implied_vol(x, x, x, x, x, [None, None])  # E: list-item
    velliq.dask.implied_vol(x, x, x, x, ["99"], "cp")  # E: list-item
    velliq.sides(None)  # E: call-overload
    velliq.sides([0.5, 1.0])  # E: list-item
    velliq.forward_terms(100.0, "5%", 0.0, 1.0)  # E: arg-type
    velliq.workers("all")  # E: arg-type
    velliq.baw.no_such_ufunc  # E: attr-defined
    velliq.dask.implied_vols(pd.DataFrame(), "underlying")  # E: call-arg
    velliq.dask.no_such_function  # E: attr-defined
    vols: list[float] = nv.vectorized_baw_implied_vol(x, x, x, x, x, "cp")  # E: assignment
    velliq.american.no_such_ufunc  # E: attr-defined
    velliq.chain.implied_vols(pd.DataFrame(), strik="K")  # E: call-arg
    velliq.chain.implied_vols(pd.DataFrame(), rate="4%", workers="all")  # E: arg-type
    """)


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy --strict over the sample and the bad calls in one run: {(file, line): codes}."""
    work = tmp_path_factory.mktemp("mypy")
    shutil.copy(SAMPLE, work / "sample.py")
    (work / "bad_calls.py").write_text(BAD_CALLS)
    # Run where no velliq source tree is in sight, so that the installed package and
    # its annotations are what mypy reads.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-error-summary",
            "--show-error-codes",
            "--cache-dir",
            str(work / "cache"),
            "sample.py",
            "bad_calls.py",
        ],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=work,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for match in re.finditer(r"^(\S+\.py):(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M):
        errors.setdefault((match[1], int(match[2])), set()).add(match[3])
    return errors, result.stdout


# Strict checking of velliq.chain and velliq.cli reads the types of pandas and tqdm.
TYPE_STUBS = ("pandas-stubs", "types-tqdm")


def test_package_source_is_clean_under_mypy_strict(tmp_path):
    missing = [name for name in TYPE_STUBS if not distribution_installed(name)]
    assert not missing, f"mypy --strict needs {', '.join(missing)} installed (the test extra)"
    source = HERE.parent / "src" / "velliq"
    cache = tmp_path  # a fresh cache: the suite may run without pytest's cache provider
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), str(source)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cache,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def distribution_installed(name):
    try:
        importlib.metadata.distribution(name)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def test_mypy_accepts_the_sample(mypy_errors):
    errors, output = mypy_errors
    assert not [key for key in errors if key[0] == "sample.py"], output


def test_mypy_reports_each_bad_call(mypy_errors):
    errors, output = mypy_errors
    expected = {
        ("bad_calls.py", number): {line.rsplit("# E: ", 1)[1]}
        for number, line in enumerate(BAD_CALLS.splitlines(), 1)
        if "# E: " in line
    }
    assert {key: codes for key, codes in errors.items() if key[0] == "bad_calls.py"} == expected, output


@pytest.fixture(scope="module")
def sample():
    """The sample's names after running it."""
    return runpy.run_path(str(SAMPLE), run_name="sample")


@pytest.mark.parametrize("name", ["parallel", "by_old_keyword", "ufunc_vols", "lazy", "lazy_by_old_keyword"])
def test_sample_vols_equal_the_batch_function_by_every_route(sample, name):
    assert np.array_equal(np.asarray(sample[name]), sample["vols"], equal_nan=True)


def test_sample_vols_reprice_its_quotes(sample):
    inputs = zip(
        sample["spots"], sample["strikes"], sample["discounts"], sample["forwards"], sample["vols"], sample["flags"]
    )
    repriced = [nv.baw_price(S, float(K), float(D), float(F), vol, flag) for S, K, D, F, vol, flag in inputs]
    np.testing.assert_allclose(repriced, sample["prices"], rtol=0, atol=1e-9)


def test_sample_accurate_prices_hold_the_european_ones(sample):
    # Early exercise is worth something or nothing: the Black (1976) price, with
    # SciPy's normal distribution, bounds the American one from below.
    F, K = np.asarray(sample["forwards"]), sample["strikes"].astype(float)
    D, sign = sample["discounts"].astype(float), np.where(sample["is_call"], 1.0, -1.0)
    d1 = np.log(F / K) / 0.2 + 0.1
    european = D * sign * (F * scipy.stats.norm.cdf(sign * d1) - K * scipy.stats.norm.cdf(sign * (d1 - 0.2)))
    assert (sample["american_prices"] >= european).all(), (sample["american_prices"], european)


def test_sample_workers_block_and_table_statuses(sample):
    assert sample["threads"] == 2
    assert list(sample["table"]["status"]) == ["ok", "ok"]


# --- The compiled functions seen by pydoc and inspect ----------------------------


def test_help_lists_the_functions_with_signatures_and_docs():
    text = pydoc.render_doc(nv, renderer=pydoc.plaintext)
    functions = text.split("\nFUNCTIONS\n", 1)[1].split("\nDATA\n", 1)[0]
    entries = re.findall(r"^    (\w+)(\(.*\))\n((?:        .*\n|\n)*)", functions + "\n", re.M)
    assert [name for name, _, _ in entries] == sorted(
        ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"]
    )
    for name, signature, doc in entries:
        f = getattr(nv, name)
        assert signature == str(inspect.signature(f)), name
        assert inspect.cleandoc(doc) == inspect.cleandoc(f.__doc__), name
    assert "    baw_price(S, K, D, F, sigma, flag)\n        BAW American option price (C++).\n" in text


@pytest.mark.parametrize("name", ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"])
def test_functions_are_routines_that_do_not_bind(name):
    f = getattr(nv, name)
    assert inspect.isroutine(f) and inspect.ismethoddescriptor(f)
    holder = type("Holder", (), {"f": f})
    assert holder.f is f and holder().f is f  # as a staticmethod or builtin function would be
    assert f.__get__(None, holder) is f and f.__get__(holder(), holder) is f


@pytest.mark.parametrize(
    "call",
    [
        lambda: nv.baw_price("S", 1.0, 1.0, 1.0, 1.0, "c"),
        lambda: nv.baw_price(1.0, 1.0, 1.0, 1.0, 1.0, "c", 1.0),
        lambda: nv.vectorized_baw_implied_vol([1.0], [1.0], [], [1.0], [1.0], "c"),
    ],
    ids=["conversion", "binding", "short"],
)
def test_failing_calls_share_their_traceback_code_object(call):
    # Made once per line of a function: no new code object, whose names would be
    # interned anew, on every error.
    codes = []
    for _ in range(2):
        with pytest.raises((TypeError, ValueError)) as info:
            call()
        codes += [
            frame.f_code
            for frame, _ in traceback.walk_tb(info.value.__traceback__)
            if frame.f_code.co_filename == "velliq/norvane"
        ]
    assert len(codes) == 2 and codes[0] is codes[1]


def test_version_is_the_distribution_version():
    project = tomllib.loads((HERE.parent / "pyproject.toml").read_text())["project"]
    assert velliq.__version__ == importlib.metadata.version("velliq") == project["version"]
