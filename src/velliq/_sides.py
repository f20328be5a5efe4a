"""Option sides as the ufuncs take them: a boolean ``is_call``.

The vocabulary of velliq's Python functions: ``is_call`` is a boolean (True
for a call), ``side`` a label or anything :func:`sides` reads; ``q`` is only
ever a dividend yield. The core module's ``flag``/``flags`` parameters
(``velliq.norvane``) keep their own, narrower rule.
"""

from typing import Any, NoReturn, cast, overload

import numpy as np
import numpy.typing as npt

from ._typing import Sides

__all__ = ["is_side", "side_argument", "sides"]

_CALLS = ("c", "call")
_PUTS = ("p", "put")
_ACCEPTED = "'c'/'call' or 'p'/'put' (any case), True/False, or 1/-1"

Booleans = npt.NDArray[np.bool_]


def _refuse(values: object, bad: Booleans) -> NoReturn:
    position = np.flatnonzero(bad.ravel())[0]
    index = int(position) if bad.ndim <= 1 else tuple(int(i) for i in np.unravel_index(position, bad.shape))
    value = values.ravel()[position] if isinstance(values, np.ndarray) else values
    if isinstance(value, np.generic):
        value = value.item()
    raise ValueError(f"side {value!r} at position {index} is not {_ACCEPTED}")


def _from_text(text: npt.NDArray[Any]) -> tuple[Booleans, Booleans]:
    lowered = np.char.lower(text.astype(str))
    is_call = np.isin(lowered, _CALLS)
    return is_call, is_call | np.isin(lowered, _PUTS)


def _from_object(values: npt.NDArray[np.object_]) -> tuple[Booleans, Booleans]:
    is_call = np.zeros(values.shape, dtype=bool)
    known = np.zeros(values.shape, dtype=bool)
    for index, value in np.ndenumerate(values):
        if isinstance(value, (bool, np.bool_)):
            is_call[index], known[index] = bool(value), True
        elif isinstance(value, (str, np.str_)):
            lowered = value.lower()
            is_call[index], known[index] = lowered in _CALLS, lowered in _CALLS + _PUTS
        elif isinstance(value, (int, float, np.integer, np.floating)):
            is_call[index], known[index] = value == 1, value in (1, -1)
    return is_call, known


def _categorical(values: object) -> tuple[npt.NDArray[Any], npt.NDArray[np.signedinteger[Any]]] | None:
    """(categories, codes) of a pandas categorical Series or Categorical, else None."""
    if getattr(getattr(values, "dtype", None), "name", None) != "category":
        return None
    categorical: Any = values.array if hasattr(values, "array") else values
    return np.asarray(categorical.categories), np.asarray(categorical.codes)


# One side gives a NumPy bool, many an array of the input's shape.
@overload
def sides(values: str | int) -> np.bool_: ...  # type: ignore[overload-overlap]
@overload
def sides(values: Sides) -> Booleans: ...
def sides(values: Sides) -> np.bool_ | Booleans:
    """``is_call`` booleans for the sides users hold.

    Parameters
    ----------
    values : scalar or array_like
        "c"/"call" and "p"/"put" in any case, booleans, 1 (call) and -1
        (put), as a scalar, any array-like, a pandas Series (categorical
        included).

    Returns
    -------
    numpy.ndarray or numpy.bool
        Booleans of the input's shape (a NumPy bool for a scalar).

    Raises
    ------
    ValueError
        For anything else, a missing value among it, naming the first bad
        value and its position.

    Notes
    -----
    This rule is wider than the core's ``flag`` rule (``velliq.norvane``:
    "c" is a call, everything else a put, so "C" is a put there).
    """
    categorical = _categorical(values)
    if categorical is not None:
        categories, codes = categorical
        category_sides = sides(categories) if len(categories) else np.zeros(0, bool)
        missing = codes < 0
        if missing.any():
            _refuse(np.asarray(values, dtype=object), missing)
        by_code: Booleans = category_sides[codes]
        return by_code

    if not isinstance(values, (str, bytes)) and not hasattr(values, "__len__") and hasattr(values, "__iter__"):
        values = list(values)  # a generator, say
    array = np.asarray(values)
    kind = array.dtype.kind
    if kind == "b":
        return array.astype(bool, copy=False)
    is_call: Booleans
    known: Booleans
    if kind in "iu":
        is_call, known = array == 1, (array == 1) | (array == -1)
    elif kind == "f":
        is_call, known = array == 1.0, (array == 1.0) | (array == -1.0)
    elif kind in "USTa":
        is_call, known = _from_text(array)
    elif kind == "O":
        is_call, known = _from_object(array)
    else:
        is_call, known = np.zeros(array.shape, bool), np.zeros(array.shape, bool)
    if not known.all() and isinstance(values, (list, tuple)) and kind != "O":
        # NumPy turns a list mixing labels, booleans and numbers into text or
        # numbers (False into 0): read such a list element by element.
        array = np.array(values, dtype=object)
        is_call, known = _from_object(array)
    if not known.all():
        _refuse(array, ~known)
    # A 0-d array indexed by () is its scalar, which NumPy's annotations do not say.
    return cast(np.bool_, is_call[()]) if is_call.ndim == 0 else is_call


def side_argument(side: Sides | None, old_name: str, old: Sides | None) -> Sides:
    """``side``, or what the caller passed under the parameter's former
    keyword ``old_name`` (None where not given): renamed parameters keep
    their old keyword working."""
    if old is None:
        if side is None:
            raise TypeError("missing required argument 'side'")
        return side
    if side is not None:
        raise TypeError(f"give side or {old_name}, not both")
    return old


def is_side(label: object) -> bool:
    """Whether :func:`sides` reads ``label`` as a side."""
    try:
        sides(np.array([label], dtype=object))
    except ValueError:
        return False
    return True
