"""What every part of the command line reports its failures with."""

import importlib.util

__all__ = ["UsageError", "needs", "one_line"]


class UsageError(Exception):
    """The command line or an input file is at fault: exit status 2."""


def needs(module: str, purpose: str) -> None:
    """``RuntimeError`` naming the extra to install when ``module`` is not installed."""
    if importlib.util.find_spec(module) is None:
        raise RuntimeError(f"{purpose} needs {module}: pip install 'velliq[chain]'")


def one_line(error: BaseException) -> str:
    """The first line of an error's message (its type's name when it has none)."""
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__
