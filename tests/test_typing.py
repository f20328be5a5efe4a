"""What tools see of velliq's compiled functions: help() and inspect, and the
entries they add to tracebacks."""

import inspect
import pydoc
import re
import traceback

import pytest

import velliq.norvane as nv


# --- The compiled functions seen by pydoc and inspect ----------------------------

def test_help_lists_the_functions_with_signatures_and_docs():
    text = pydoc.render_doc(nv, renderer=pydoc.plaintext)
    functions = text.split("\nFUNCTIONS\n", 1)[1].split("\nDATA\n", 1)[0]
    entries = re.findall(r"^    (\w+)(\(.*\))\n((?:        .*\n|\n)*)", functions + "\n", re.M)
    assert [name for name, _, _ in entries] == sorted(["baw_price", "baw_implied_vol",
                                                       "vectorized_baw_implied_vol",
                                                       "find_forward_baw"])
    for name, signature, doc in entries:
        f = getattr(nv, name)
        assert signature == str(inspect.signature(f)), name
        assert inspect.cleandoc(doc) == inspect.cleandoc(f.__doc__), name
    assert "    baw_price(S, K, D, F, sigma, flag)\n        BAW American option price (C++).\n" in text


@pytest.mark.parametrize("name", ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol",
                                  "find_forward_baw"])
def test_functions_are_routines_that_do_not_bind(name):
    f = getattr(nv, name)
    assert inspect.isroutine(f) and inspect.ismethoddescriptor(f)
    holder = type("Holder", (), {"f": f})
    assert holder.f is f and holder().f is f  # as a staticmethod or builtin function would be
    assert f.__get__(None, holder) is f and f.__get__(holder(), holder) is f


@pytest.mark.parametrize("call", [lambda: nv.baw_price("S", 1.0, 1.0, 1.0, 1.0, "c"),
                                  lambda: nv.baw_price(1.0, 1.0, 1.0, 1.0, 1.0, "c", 1.0),
                                  lambda: nv.vectorized_baw_implied_vol([1.0], [1.0], [], [1.0], [1.0], "c")],
                         ids=["conversion", "binding", "short"])
def test_failing_calls_share_their_traceback_code_object(call):
    # Made once per line of a function: no new code object, whose names would be
    # interned anew, on every error.
    codes = []
    for _ in range(2):
        with pytest.raises((TypeError, ValueError)) as info:
            call()
        codes += [frame.f_code for frame, _ in traceback.walk_tb(info.value.__traceback__)
                  if frame.f_code.co_filename == "velliq/norvane.cpp"]
    assert len(codes) == 2 and codes[0] is codes[1]
